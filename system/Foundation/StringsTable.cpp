#include "Foundation/StringsTable.hpp"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "Foundation/NSBundle.hpp"

namespace foundation {

Result<StringsTable> StringsTable::parse(std::string_view bytes) {
  Result<PropertyList> root = parseInfoPlist(bytes);
  if (!root.ok()) return root.error();
  StringsTable table;
  const auto dict = static_cast<plist_t>(root->get());
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(dict, &it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(dict, it, &key, &value);
    if (key == nullptr) break;
    if (value != nullptr && plist_get_node_type(value) == PLIST_STRING) {
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(value, &length);
      table.strings_.emplace(key, std::string(text, static_cast<std::size_t>(length)));
    }
    std::free(key);
  }
  std::free(it);
  return table;
}

const std::string* StringsTable::find(std::string_view key) const {
  auto it = strings_.find(key);
  return it == strings_.end() ? nullptr : &it->second;
}

}  // namespace foundation

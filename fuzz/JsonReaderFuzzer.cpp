// The payload reader against nlohmann's own parser, on the same text: its first byte is the
// depth allowed (1 to 8), the rest the text. Any difference is a finding: a text one takes and
// the other refuses, a value read differently (its type included), or a text refused as too
// deep that is not.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "host/JsonReader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nlohmann::json;
  if (size == 0) return 0;
  const int depth = data[0] % 8 + 1;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (text.find('\0') != std::string_view::npos) return 0;  // the reader's caller refuses these

  bool tooDeep = false;
  const json expected = json::parse(
      text,
      [&tooDeep, depth](int at, json::parse_event_t event, json&) {
        const bool opens =
            event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
        if (!opens || at < depth) return true;
        tooDeep = true;
        return false;
      },
      /*allow_exceptions=*/false);

  json read;
  switch (host::readJSON(text, depth, read)) {
    case host::JsonRead::value:
      if (expected.is_discarded() || tooDeep) __builtin_trap();
      if (read != expected || read.dump() != expected.dump()) __builtin_trap();
      break;
    case host::JsonRead::invalid:
      if (!expected.is_discarded()) __builtin_trap();
      break;
    case host::JsonRead::tooDeep:
      if (!expected.is_discarded() && !tooDeep) __builtin_trap();
      break;
  }
  return 0;
}

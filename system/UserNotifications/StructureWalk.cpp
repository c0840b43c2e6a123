#include "UserNotifications/StructureWalk.hpp"

#include <algorithm>

namespace user_notifications::structure {

std::string hexByte(unsigned byte) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  return {'0', 'x', kDigits[(byte >> 4) & 15], kDigits[byte & 15]};
}

std::string fourcc(const std::uint8_t* p) {
  std::string text(reinterpret_cast<const char*>(p), 4);
  for (char& c : text) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return text;
}

bool onlyZerosRemain(ByteReader& in) {
  for (;;) {
    const std::span<const std::uint8_t> some = in.peek();
    if (some.empty()) return true;
    if (!std::all_of(some.begin(), some.end(), [](std::uint8_t b) { return b == 0; })) {
      return false;
    }
    in.skip(some.size());
  }
}

Flaw checkImagePixels(const char* format, std::uint64_t width, std::uint64_t height) {
  // Both are below 2^32 in every format, so the product cannot overflow.
  if (width * height > kMaximumImagePixels) {
    return std::string(format) + " of " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels, over the limit of " + std::to_string(kMaximumImagePixels);
  }
  return std::nullopt;
}

}  // namespace user_notifications::structure

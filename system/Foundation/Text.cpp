#include "Foundation/Text.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include <cstddef>
#include <cstdint>

namespace {

// Length of the sequence that `lead` starts and the smallest code point it may encode
// (anything below is an overlong form); 0 for a byte that cannot start a sequence.
struct Lead {
  std::size_t length;
  std::uint32_t minimum;
  std::uint32_t bits;
};

Lead classify(std::uint8_t lead) {
  if (lead < 0x80) return {1, 0, lead};
  if ((lead & 0xE0) == 0xC0) return {2, 0x80, lead & 0x1Fu};
  if ((lead & 0xF0) == 0xE0) return {3, 0x800, lead & 0x0Fu};
  if ((lead & 0xF8) == 0xF0) return {4, 0x10000, lead & 0x07u};
  return {0, 0, 0};
}

bool isWellFormedUTF8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const Lead lead = classify(static_cast<std::uint8_t>(text[i]));
    if (lead.length == 0 || text.size() - i < lead.length) return false;
    std::uint32_t codePoint = lead.bits;
    for (std::size_t k = 1; k < lead.length; ++k) {
      const auto byte = static_cast<std::uint8_t>(text[i + k]);
      if ((byte & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (byte & 0x3Fu);
    }
    if (codePoint < lead.minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += lead.length;
  }
  return true;
}

std::string_view lastComponentView(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<Data> dataUsingUTF8(std::string_view text) noexcept {
  if (!isWellFormedUTF8(text)) return std::nullopt;
  return Data(std::string(text));
}

std::string pathExtension(std::string_view path) noexcept {
  const std::string_view component = lastComponentView(path);
  const std::size_t dot = component.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(component.substr(dot + 1));
}

std::string lastPathComponent(std::string_view path) {
  return std::string(lastComponentView(path));
}

namespace foundation {

std::string hexString(std::span<const std::uint8_t> bytes) noexcept {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * bytes.size());
  for (const std::uint8_t byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

std::string randomHex(std::size_t bytes) noexcept {
  std::uint8_t random[16] = {};
  if (getrandom(random, bytes, GRND_NONBLOCK) != static_cast<ssize_t>(bytes)) {
    static std::atomic<std::uint64_t> counter{0};
    const std::uint64_t values[2] = {
        static_cast<std::uint64_t>(getpid()) << 32 ^ static_cast<std::uint64_t>(time(nullptr)),
        counter.fetch_add(1)};
    std::memcpy(random, values, sizeof random);
  }
  return hexString({random, bytes});
}

std::size_t utf8PrefixLength(std::string_view text, std::size_t bytes) noexcept {
  if (bytes >= text.size()) return text.size();
  // A cut before a continuation byte would split its character: back off to where it starts.
  while (bytes > 0 && (static_cast<std::uint8_t>(text[bytes]) & 0xC0) == 0x80) --bytes;
  return bytes;
}

}  // namespace foundation

#include "Foundation/TemporaryFile.hpp"

#include <climits>

#include <algorithm>

#include "Foundation/Text.hpp"

namespace foundation {

namespace {

constexpr std::size_t kRandomDigits = 12;

bool isLowerHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::string temporaryFileName(std::string_view name) noexcept {
  const std::string random = randomHex(kRandomDigits / 2);
  std::string temporary = "." + std::string(name) + "." + random + ".tmp";
  if (temporary.size() > NAME_MAX) temporary = ".tmp." + random;
  return temporary;
}

bool isTemporaryFileName(std::string_view name) noexcept {
  if (name.size() == 5 + kRandomDigits && name.starts_with(".tmp.")) {
    return isLowerHex(name.substr(5));
  }
  constexpr std::size_t kTail = 1 + kRandomDigits + 4;  // ".<hex>.tmp"
  return name.size() > 1 + kTail && name[0] == '.' && name.ends_with(".tmp") &&
         name[name.size() - kTail] == '.' &&
         isLowerHex(name.substr(name.size() - kTail + 1, kRandomDigits));
}

}  // namespace foundation

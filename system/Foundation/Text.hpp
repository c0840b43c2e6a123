// Text helpers: those the platform offers on its string type, and the hex text of bytes. Text is
// std::string holding UTF-8. Stateless and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Foundation/Data.hpp"
#include "Foundation/Export.hpp"

// The text's bytes when they are well-formed UTF-8 (strict: no overlong forms, no
// surrogates, nothing above U+10FFFF); absent otherwise. The empty text gives empty data.
FOUNDATION_EXPORT std::optional<Data> dataUsingUTF8(std::string_view text) noexcept;

// The path extension of a path text: the part of the last path component after its final
// period, without the period; empty when the last component has no period. Components are
// separated by slashes; trailing slashes do not make an empty last component.
// "a/pic.jpg" -> "jpg", "http://h/pic.jpg?w=100" -> "jpg?w=100", "http://example.com" -> "com".
FOUNDATION_EXPORT std::string pathExtension(std::string_view path) noexcept;

// The last path component by the same rule ("" for "" and "/").
std::string lastPathComponent(std::string_view path);

namespace foundation {

// Each byte as two lowercase hex digits, in order, as "%02x" formats it: the text form of a
// digest ("0cc175b9..." for the MD5 of "a").
FOUNDATION_EXPORT std::string hexString(std::span<const std::uint8_t> bytes) noexcept;

// 2 * `bytes` hex digits of the kernel's randomness, which no one can guess or repeat: for the
// names of files that must not collide with names given before. Where the kernel has none to
// give yet (early at boot), they differ from every name this process gave before, which is all
// a caller that also refuses to replace an existing name needs.
// REQUIRES: bytes <= 16.
FOUNDATION_EXPORT std::string randomHex(std::size_t bytes) noexcept;

// The longest prefix of `text` of at most `bytes` bytes that does not end inside a UTF-8
// sequence: its length. A cut name or message then stays readable text.
FOUNDATION_EXPORT std::size_t utf8PrefixLength(std::string_view text, std::size_t bytes) noexcept;

}  // namespace foundation

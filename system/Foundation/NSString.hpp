// Text helpers that the platform offers on its string type. Text is std::string holding
// UTF-8. Stateless and thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Foundation/Data.hpp"

// The text's bytes when they are well-formed UTF-8 (strict: no overlong forms, no
// surrogates, nothing above U+10FFFF); absent otherwise. The empty text gives empty data.
std::optional<Data> dataUsingUTF8(std::string_view text);

// The path extension of a path text: the part of the last path component after its final
// period, without the period; empty when the last component has no period. Components are
// separated by slashes; trailing slashes do not make an empty last component.
// "a/pic.jpg" -> "jpg", "http://h/pic.jpg?w=100" -> "jpg?w=100", "http://example.com" -> "com".
std::string pathExtension(std::string_view path);

// The last path component by the same rule ("" for "" and "/").
std::string lastPathComponent(std::string_view path);

// URL: an absolute or relative address, or a file URL, as a value. A URL keeps the text it
// was made from: absoluteString() returns it byte for byte. Immutable, so thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Foundation/Export.hpp"

class URL {
 public:
  // A URL from text, parsed strictly by RFC 3986 (uriparser). The empty text and anything
  // the parser rejects (spaces, non-ASCII bytes, a bad percent escape, ...) give absent.
  FOUNDATION_EXPORT static std::optional<URL> fromString(std::string_view text) noexcept;
  // The file URL of an absolute path ("file://" + the path with what a path cannot carry
  // percent-encoded). A relative path is taken against the working directory.
  FOUNDATION_EXPORT static URL fileURLWithPath(std::string_view path) noexcept;

  const std::string& absoluteString() const { return text_; }
  FOUNDATION_EXPORT bool isFileURL() const noexcept;
  // The scheme in lower case ("" when there is none).
  std::string scheme() const;
  // For a file URL, the file-system path (percent-escapes decoded); "" otherwise.
  FOUNDATION_EXPORT std::string path() const noexcept;
  // The host of the authority as written, without user information and port ("" when
  // there is none: "http:///x", "http:x").
  std::string host() const;

  // A new URL with `component` as its last path component. The component is percent-
  // encoded as one path segment, so "/", "?", "#" and "%" stay inside it.
  FOUNDATION_EXPORT URL appendingPathComponent(std::string_view component) const noexcept;
  // A new URL whose last path component has "." and `ext` added, `ext` encoded as in
  // appendingPathComponent. An empty extension, or a URL without a last path component
  // ("http://h/"), leaves the URL as it is. An extension that no file name can carry (one
  // holding "/" or a NUL byte) gives absent.
  FOUNDATION_EXPORT std::optional<URL> appendingPathExtension(std::string_view ext) const noexcept;

  friend bool operator==(const URL& a, const URL& b) { return a.text_ == b.text_; }

 private:
  explicit URL(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

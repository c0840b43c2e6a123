#include "Foundation/URL.hpp"

#include <unistd.h>
#include <uriparser/Uri.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// RFC 3986 pchar without percent-encoding: unreserved, sub-delims, ":" and "@".
bool isSegmentChar(char c) {
  return isAlpha(c) || isDigit(c) ||
         std::string_view("-._~!$&'()*+,;=:@").find(c) != std::string_view::npos;
}

void appendEncoded(std::string& out, std::string_view bytes, bool keepSlashes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : bytes) {
    if (isSegmentChar(c) || (keepSlashes && c == '/')) {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
}

int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int high = text[i] == '%' && i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The three parts of a URL's text: scheme and authority, path, query and fragment. The
// text is valid RFC 3986 (parsed or built here), so "?" and "#" can only open the suffix
// and "/" cannot occur in a scheme.
struct Parts {
  std::string_view prefix;
  std::string_view path;
  std::string_view suffix;
};

std::size_t schemeLength(std::string_view text) {
  if (text.empty() || !isAlpha(text[0])) return 0;
  for (std::size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':') return i;
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  return 0;
}

Parts split(std::string_view text) {
  const std::size_t suffixStart = std::min(text.find_first_of("?#"), text.size());
  const std::string_view head = text.substr(0, suffixStart);
  std::size_t pathStart = 0;
  if (const std::size_t scheme = schemeLength(head); scheme != 0) pathStart = scheme + 1;
  if (head.substr(pathStart, 2) == "//") {
    pathStart = std::min(head.find('/', pathStart + 2), head.size());
  }
  return Parts{head.substr(0, pathStart), head.substr(pathStart), text.substr(suffixStart)};
}

}  // namespace

std::optional<URL> URL::fromString(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  UriUriA uri;
  const char* errorPos = nullptr;
  // The ranged call fails unless the whole text is one URI reference, so trailing bytes
  // the grammar cannot take are rejected rather than cut off.
  const int result = uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &errorPos);
  if (result != URI_SUCCESS) return std::nullopt;
  uriFreeUriMembersA(&uri);
  return URL(std::string(text));
}

URL URL::fileURLWithPath(std::string_view path) noexcept {
  std::string absolute;
  if (path.empty() || path.front() != '/') {
    std::vector<char> buffer(PATH_MAX);
    while (getcwd(buffer.data(), buffer.size()) == nullptr && errno == ERANGE) {
      buffer.resize(buffer.size() * 2);
    }
    absolute = buffer.data();
    if (absolute.empty() || absolute.back() != '/') absolute += '/';
  }
  absolute += path;
  std::string text = "file://";
  appendEncoded(text, absolute, /*keepSlashes=*/true);
  return URL(std::move(text));
}

bool URL::isFileURL() const noexcept { return scheme() == "file"; }

std::string URL::scheme() const {
  std::string scheme(text_, 0, schemeLength(text_));
  for (char& c : scheme) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return scheme;
}

std::string URL::path() const noexcept {
  if (!isFileURL()) return std::string();
  return percentDecode(split(text_).path);
}

std::string URL::host() const {
  const std::string_view prefix = split(text_).prefix;
  const std::size_t slashes = prefix.find("//");
  if (slashes == std::string_view::npos) return std::string();
  std::string_view authority = prefix.substr(slashes + 2);
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  // A port follows the last ":" unless that ":" is inside an IPv6 literal.
  const std::size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos) {
    authority = authority.substr(0, colon);
  }
  return std::string(authority);
}

URL URL::appendingPathComponent(std::string_view component) const noexcept {
  const Parts parts = split(text_);
  std::string text(parts.prefix);
  text += parts.path;
  if (parts.path.empty() ? !parts.prefix.empty() : parts.path.back() != '/') text += '/';
  appendEncoded(text, component, /*keepSlashes=*/false);
  text += parts.suffix;
  return URL(std::move(text));
}

std::optional<URL> URL::appendingPathExtension(std::string_view ext) const noexcept {
  if (ext.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
    return std::nullopt;
  }
  const Parts parts = split(text_);
  std::string_view path = parts.path;
  std::size_t slashes = 0;
  while (slashes < path.size() && path[path.size() - 1 - slashes] == '/') ++slashes;
  const std::string_view stem = path.substr(0, path.size() - slashes);
  if (ext.empty() || stem.empty()) return *this;
  std::string text(parts.prefix);
  text += stem;
  text += '.';
  appendEncoded(text, ext, /*keepSlashes=*/false);
  text += path.substr(stem.size());
  text += parts.suffix;
  return URL(std::move(text));
}

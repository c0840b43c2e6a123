#include "host/JsonReader.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>

namespace host {

namespace {

using nlohmann::json;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A byte that a string holds as it is: printable ASCII but the quote and the backslash.
bool isPlain(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && byte < 0x80 && c != '"' && c != '\\';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

class Reader {
 public:
  Reader(std::string_view text, int maximumDepth)
      : at_(text.data()), end_(text.data() + text.size()), maximumDepth_(maximumDepth) {}

  JsonRead read(json& out) {
    // A byte order mark may open the text; a first byte that starts one must be all of it.
    if (at_ != end_ && static_cast<unsigned char>(*at_) == 0xEF) {
      if (end_ - at_ < 3 || static_cast<unsigned char>(at_[1]) != 0xBB ||
          static_cast<unsigned char>(at_[2]) != 0xBF) {
        return JsonRead::invalid;
      }
      at_ += 3;
    }
    if (!value(out, 0)) return tooDeep_ ? JsonRead::tooDeep : JsonRead::invalid;
    skipSpace();
    return at_ == end_ ? JsonRead::value : JsonRead::invalid;
  }

 private:
  void skipSpace() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
  }

  bool take(char c) {
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }

  // `depth`: the objects and arrays around the value.
  bool value(json& out, int depth) {
    skipSpace();
    if (at_ == end_) return false;
    switch (*at_) {
      case '{':
        return object(out, depth);
      case '[':
        return array(out, depth);
      case '"': {
        ++at_;
        std::string text;
        if (!string(text)) return false;
        out = std::move(text);
        return true;
      }
      case 't':
        return literal("true", json(true), out);
      case 'f':
        return literal("false", json(false), out);
      case 'n':
        return literal("null", json(nullptr), out);
      default:
        return number(out);
    }
  }

  bool literal(std::string_view word, json value, json& out) {
    if (static_cast<std::size_t>(end_ - at_) < word.size() ||
        std::string_view(at_, word.size()) != word) {
      return false;
    }
    at_ += word.size();
    out = std::move(value);
    return true;
  }

  bool object(json& out, int depth) {
    if (depth >= maximumDepth_) {
      tooDeep_ = true;
      return false;
    }
    ++at_;
    out = json::object();
    json::object_t& members = out.get_ref<json::object_t&>();
    skipSpace();
    if (take('}')) return true;
    for (;;) {
      skipSpace();
      std::string key;
      if (!take('"') || !string(key)) return false;
      skipSpace();
      if (!take(':')) return false;
      json item;
      if (!value(item, depth + 1)) return false;
      members.insert_or_assign(std::move(key), std::move(item));
      skipSpace();
      if (take(',')) continue;
      return take('}');
    }
  }

  bool array(json& out, int depth) {
    if (depth >= maximumDepth_) {
      tooDeep_ = true;
      return false;
    }
    ++at_;
    out = json::array();
    json::array_t& items = out.get_ref<json::array_t&>();
    skipSpace();
    if (take(']')) return true;
    for (;;) {
      json item;
      if (!value(item, depth + 1)) return false;
      items.push_back(std::move(item));
      skipSpace();
      if (take(',')) continue;
      return take(']');
    }
  }

  // The rest of a string after its opening quote.
  bool string(std::string& out) {
    for (;;) {
      const char* run = at_;
      while (at_ != end_ && isPlain(*at_)) ++at_;
      out.append(run, at_);
      if (at_ == end_) return false;
      const auto byte = static_cast<unsigned char>(*at_);
      if (byte == '"') {
        ++at_;
        return true;
      }
      if (byte == '\\') {
        ++at_;
        if (!escape(out)) return false;
      } else if (byte < 0x20 || !utf8(out)) {
        return false;
      }
    }
  }

  bool hex4(std::uint32_t& unit) {
    if (end_ - at_ < 4) return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = hexValue(*at_++);
      if (digit < 0) return false;
      unit = unit << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  bool escape(std::string& out) {
    if (at_ == end_) return false;
    switch (*at_++) {
      case '"':
        out += '"';
        return true;
      case '\\':
        out += '\\';
        return true;
      case '/':
        out += '/';
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    std::uint32_t code = 0;
    if (!hex4(code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate alone
    if (code >= 0xD800 && code <= 0xDBFF) {
      // A high surrogate: its low one must follow.
      std::uint32_t low = 0;
      if (!take('\\') || !take('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUtf8(out, code);
    return true;
  }

  // One character of two to four bytes, well formed as UTF-8 has it: no overlong forms, no
  // surrogates, nothing past U+10FFFF.
  bool utf8(std::string& out) {
    const auto first = static_cast<unsigned char>(*at_);
    int more = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;  // the second byte's range; the others are 80..BF
    if (first >= 0xC2 && first <= 0xDF) {
      more = 1;
    } else if (first >= 0xE0 && first <= 0xEF) {
      more = 2;
      if (first == 0xE0) low = 0xA0;
      if (first == 0xED) high = 0x9F;
    } else if (first >= 0xF0 && first <= 0xF4) {
      more = 3;
      if (first == 0xF0) low = 0x90;
      if (first == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (end_ - at_ <= more) return false;
    for (int i = 1; i <= more; ++i) {
      const auto byte = static_cast<unsigned char>(at_[i]);
      if (i == 1 ? byte < low || byte > high : byte < 0x80 || byte > 0xBF) return false;
    }
    out.append(at_, static_cast<std::size_t>(more + 1));
    at_ += more + 1;
    return true;
  }

  bool digits() {
    if (at_ == end_ || !isDigit(*at_)) return false;
    while (at_ != end_ && isDigit(*at_)) ++at_;
    return true;
  }

  bool number(json& out) {
    const char* start = at_;
    const bool negative = take('-');
    if (take('0')) {
      // A leading zero stands alone.
    } else if (!digits()) {
      return false;
    }
    bool integral = true;
    if (take('.')) {
      integral = false;
      if (!digits()) return false;
    }
    if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
      integral = false;
      ++at_;
      if (!take('+')) (void)take('-');
      if (!digits()) return false;
    }
    if (integral && negative) {
      std::int64_t value = 0;
      if (std::from_chars(start, at_, value).ec == std::errc()) {
        out = value;
        return true;
      }
    } else if (integral) {
      std::uint64_t value = 0;
      if (std::from_chars(start, at_, value).ec == std::errc()) {
        out = value;
        return true;
      }
    }
    // A float, or an integer past 64 bits, which becomes one.
    double value = 0;
    const std::from_chars_result read = std::from_chars(start, at_, value);
    if (read.ec == std::errc()) {
      out = value;
      return true;
    }
    // Past a double's range, or below its smallest: the parser's own answer for the number
    // (refused when it overflows, zero or a subnormal below).
    json parsed = json::parse(std::string_view(start, static_cast<std::size_t>(at_ - start)),
                              nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) return false;
    out = std::move(parsed);
    return true;
  }

  const char* at_;
  const char* const end_;
  const int maximumDepth_;
  bool tooDeep_ = false;
};

}  // namespace

JsonRead readJSON(std::string_view text, int maximumDepth, json& out) {
  return Reader(text, maximumDepth).read(out);
}

}  // namespace host

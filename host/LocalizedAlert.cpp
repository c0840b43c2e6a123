#include "host/LocalizedAlert.hpp"

#include <algorithm>
#include <cstddef>

#include "Foundation/NSBundle.hpp"
#include "Foundation/Text.hpp"
#include "host/Input.hpp"

namespace host {

std::string formatAlertString(std::string_view format, const std::vector<std::string>& arguments,
                              std::size_t maximumBytes) {
  std::string text;
  text.reserve(std::min(format.size(), maximumBytes));
  // Appends what fits; false once the text is full, cut where a character starts.
  const auto append = [&text, maximumBytes](std::string_view piece) {
    if (text.size() + piece.size() <= maximumBytes) {
      text += piece;
      return true;
    }
    text += piece.substr(0, foundation::utf8PrefixLength(piece, maximumBytes - text.size()));
    return false;
  };
  std::size_t next = 0;  // the argument the next "%@" takes
  const auto argument = [&arguments](std::size_t index) -> std::string_view {
    return index < arguments.size() ? std::string_view(arguments[index]) : std::string_view();
  };
  for (std::size_t i = 0; i < format.size(); ++i) {
    std::string_view piece = format.substr(i, 1);
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == '%') {
        ++i;
      } else if (format[i + 1] == '@') {
        piece = argument(next++);
        ++i;
      } else {
        // "%n$@": a position of at most a few digits, so that no number overflows.
        std::size_t end = i + 1;
        std::size_t position = 0;
        while (end < format.size() && end - i <= 4 && format[end] >= '0' && format[end] <= '9') {
          position = position * 10 + static_cast<std::size_t>(format[end] - '0');
          ++end;
        }
        if (end > i + 1 && position > 0 && format.substr(end, 2) == "$@") {
          piece = argument(position - 1);
          i = end + 1;
        }
      }
    }
    if (!append(piece)) break;
  }
  return text;
}

std::string localizedAlertString(const NSBundle* app, const std::string& key,
                                 const std::vector<std::string>& arguments) {
  const std::string format = app != nullptr ? app->localizedStringForKey(key, "", "") : key;
  return formatAlertString(format, arguments, kMaximumInputBytes);
}

}  // namespace host

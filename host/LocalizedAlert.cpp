#include "host/LocalizedAlert.hpp"

#include <cstddef>

#include "Foundation/NSBundle.hpp"

namespace host {

std::string formatAlertString(std::string_view format, const std::vector<std::string>& arguments) {
  std::string text;
  text.reserve(format.size());
  std::size_t next = 0;  // the argument the next "%@" takes
  const auto argument = [&arguments](std::size_t index) -> std::string_view {
    return index < arguments.size() ? std::string_view(arguments[index]) : std::string_view();
  };
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      text += format[i];
      continue;
    }
    if (format[i + 1] == '%') {
      text += '%';
      ++i;
    } else if (format[i + 1] == '@') {
      text += argument(next++);
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
        text += argument(position - 1);
        i = end + 1;
      } else {
        text += '%';
      }
    }
  }
  return text;
}

std::string localizedAlertString(const NSBundle* app, const std::string& key,
                                 const std::vector<std::string>& arguments) {
  const std::string format = app != nullptr ? app->localizedStringForKey(key, "", "") : key;
  return formatAlertString(format, arguments);
}

}  // namespace host

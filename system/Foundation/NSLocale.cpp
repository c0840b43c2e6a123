#include "Foundation/NSLocale.hpp"

#include <algorithm>
#include <cstdlib>

namespace {

// The variable's value, or empty when it is unset.
std::string_view environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string_view(value) : std::string_view();
}

}  // namespace

namespace foundation {

std::string languageTagOfLocale(std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale == "C" || locale == "POSIX") return {};
  std::string tag(locale);
  std::replace(tag.begin(), tag.end(), '_', '-');
  return tag;
}

}  // namespace foundation

std::vector<std::string> NSLocale::preferredLanguages() {
  std::string_view locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    locale = environment(name);
    if (!locale.empty()) break;
  }
  // gettext's own test: "C.UTF-8" is a locale of its own, whose LANGUAGE counts.
  if (locale.empty() || locale == "C" || locale == "POSIX") return {};
  std::string_view list = environment("LANGUAGE");
  if (list.empty()) list = locale;
  std::vector<std::string> languages;
  while (!list.empty()) {
    const std::size_t colon = list.find(':');
    std::string tag = foundation::languageTagOfLocale(list.substr(0, colon));
    list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    if (!tag.empty() && std::find(languages.begin(), languages.end(), tag) == languages.end()) {
      languages.push_back(std::move(tag));
    }
  }
  return languages;
}

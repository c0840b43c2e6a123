// NSLocale: the user's language preferences, as the platform's bundles consult them. On this
// system they are the environment's, read in the order gettext reads them: the locale of
// messages is the first of LC_ALL, LC_MESSAGES and LANG that is set and not empty; in the C
// (or POSIX) locale, or without one, there is no preference at all, as gettext then
// translates nothing; otherwise LANGUAGE, a list separated by colons, when it is set and not
// empty, else that locale alone (none for C.UTF-8, which names no language). Stateless; the
// environment is read on each call, so thread-safe as long as no thread changes it meanwhile.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Foundation/Export.hpp"

class NSLocale {
 public:
  // The user's languages, most preferred first, each a language tag without the POSIX
  // locale's codeset or modifier ("fr_CA.UTF-8@euro" is "fr-CA"); none twice.
  static std::vector<std::string> preferredLanguages();
};

namespace foundation {

// The language tag of the POSIX locale name `locale`: "pt_BR.UTF-8" is "pt-BR"; empty for the
// C and POSIX locales.
std::string languageTagOfLocale(std::string_view locale);

}  // namespace foundation

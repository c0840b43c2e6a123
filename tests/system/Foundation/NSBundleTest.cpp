// A bundle's localized texts and resources, against a bundle in a folder of the test's own,
// with the user's languages set in the environment.
#include "Foundation/NSBundle.hpp"

#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Foundation/NSLocale.hpp"
#include "tests/support/ScopedEnvironment.hpp"
#include "tests/support/TempDir.hpp"

namespace {

using testing_support::ScopedEnvironment;
using testing_support::TempDir;

// The environment variables gettext reads, in a row's order; absent: unset.
struct Languages {
  std::optional<std::string> language, lcAll, lcMessages, lang;
};

void setLanguages(ScopedEnvironment& environment, const Languages& languages) {
  environment.set("LANGUAGE", languages.language);
  environment.set("LC_ALL", languages.lcAll);
  environment.set("LC_MESSAGES", languages.lcMessages);
  environment.set("LANG", languages.lang);
}

// A property list of `strings`, as XML or binary.
std::string stringsPlist(const std::map<std::string, std::string>& strings, bool binary) {
  plist_t dict = plist_new_dict();
  for (const auto& [key, text] : strings)
    plist_dict_set_item(dict, key.c_str(), plist_new_string(text.c_str()));
  char* bytes = nullptr;
  std::uint32_t length = 0;
  binary ? plist_to_bin(dict, &bytes, &length) : plist_to_xml(dict, &bytes, &length);
  std::string out(bytes, length);
  std::free(bytes);
  plist_free(dict);
  return out;
}

TEST(NSLocaleTest, PreferredLanguagesAreReadAsGettextReadsThem) {
  const struct {
    Languages set;
    std::vector<std::string> languages;
  } rows[] = {
      {{std::nullopt, std::nullopt, std::nullopt, "fr_CA.UTF-8"}, {"fr-CA"}},
      // LANGUAGE's list comes before the locale, which is then not among them.
      {{"de:pt_BR:de", std::nullopt, std::nullopt, "fr_FR.UTF-8"}, {"de", "pt-BR"}},
      // The locale of messages: LC_ALL, then LC_MESSAGES, then LANG; an empty one is unset.
      {{std::nullopt, "it_IT", "es_ES", "fr_FR"}, {"it-IT"}},
      {{std::nullopt, "", "es_ES@euro", "fr_FR"}, {"es-ES"}},
      // In the C locale, or without a locale, gettext translates nothing, LANGUAGE or not.
      {{"de", std::nullopt, "C", "fr_FR"}, {}},
      {{"de", "POSIX", std::nullopt, std::nullopt}, {}},
      {{"de", std::nullopt, std::nullopt, std::nullopt}, {}},
      // C.UTF-8 is not C to gettext, though it has no language of its own.
      {{"de", std::nullopt, std::nullopt, "C.UTF-8"}, {"de"}},
      {{std::nullopt, std::nullopt, std::nullopt, "C.UTF-8"}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.set.language.value_or("-") + " " + row.set.lcAll.value_or("-") + " " +
                 row.set.lcMessages.value_or("-") + " " + row.set.lang.value_or("-"));
    ScopedEnvironment environment;
    setLanguages(environment, row.set);
    EXPECT_EQ(NSLocale::preferredLanguages(), row.languages);
  }
}

// An app whose development region is English, with a French table (binary, as Xcode writes
// them), a Brazilian one under the POSIX spelling, and a German one that is not a property list.
class NSBundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write("Info.plist", stringsPlist({{"CFBundleDevelopmentRegion", "en"}}, false));
    write("en.lproj/Localizable.strings",
          stringsPlist({{"GREETING", "Hello"}, {"ONLY_EN", "English only"}}, false));
    write("fr.lproj/Localizable.strings", stringsPlist({{"GREETING", "Bonjour"}}, true));
    write("pt_BR.lproj/Localizable.strings", stringsPlist({{"GREETING", "Olá"}}, false));
    write("de.lproj/Localizable.strings", "\"GREETING\" = \"Hallo\";");
    write("chime.wav", "RIFF");
    write("fr.lproj/voix.wav", "RIFF");
  }
  void write(const std::string& name, const std::string& bytes) {
    const std::size_t slash = name.find('/');
    if (slash != std::string::npos) mkdir(app_.file(name.substr(0, slash)).c_str(), 0700);
    testing_support::writeFile(app_.file(name), bytes);
  }

  TempDir app_;
};

TEST_F(NSBundleTest, TextsComeFromThePreferredTablesThenTheDevelopmentRegionThenTheKey) {
  const NSBundle bundle(app_.path());
  EXPECT_EQ(bundle.localizations(), (std::vector<std::string>{"de", "en", "fr", "pt_BR"}));
  const struct {
    std::optional<std::string> language;  // LANGUAGE; LANG is `lang`
    const char* lang;
    const char* key;
    const char* value;
    std::vector<std::string> preferred;
    const char* text;
  } rows[] = {
      {std::nullopt, "fr_FR.UTF-8", "GREETING", "", {"fr", "en"}, "Bonjour"},
      // A key the French table lacks is the development region's.
      {std::nullopt, "fr_FR.UTF-8", "ONLY_EN", "", {"fr", "en"}, "English only"},
      // A key no table has is its own text, unless a value is given.
      {std::nullopt, "fr_FR.UTF-8", "MISSING", "", {"fr", "en"}, "MISSING"},
      {std::nullopt, "fr_FR.UTF-8", "MISSING", "Default", {"fr", "en"}, "Default"},
      {"es:pt-BR", "fr_FR.UTF-8", "GREETING", "", {"pt_BR", "en"}, "Olá"},
      // A table that is not a property list is one without the key.
      {std::nullopt, "de_AT", "GREETING", "", {"de", "en"}, "Hello"},
      {std::nullopt, "C", "GREETING", "", {"en"}, "Hello"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.language.value_or("-") + " " + row.lang + " " + row.key);
    ScopedEnvironment environment;
    setLanguages(environment, {row.language, std::nullopt, std::nullopt, row.lang});
    EXPECT_EQ(bundle.preferredLocalizations(), row.preferred);
    EXPECT_EQ(bundle.localizedStringForKey(row.key, row.value, ""), row.text);
  }
}

TEST_F(NSBundleTest, ResourcesAreFilesOfTheBundlesFolders) {
  ASSERT_EQ(symlink("/etc/passwd", app_.file("linked.wav").c_str()), 0);
  const NSBundle bundle(app_.path());
  ScopedEnvironment environment;
  setLanguages(environment, {std::nullopt, std::nullopt, std::nullopt, "fr_FR"});
  const struct {
    const char* name;
    const char* extension;
    std::optional<std::string> path;
  } rows[] = {
      {"chime", "wav", app_.file("chime.wav")},
      {"chime.wav", "", app_.file("chime.wav")},
      {"voix.wav", "", app_.file("fr.lproj/voix.wav")},
      {"missing.wav", "", std::nullopt},
      // Only a file of the bundle's own: no link out of it, no path through it.
      {"linked.wav", "", std::nullopt},
      {"../chime.wav", "", std::nullopt},
      {"fr.lproj/voix.wav", "", std::nullopt},
      {"..", "", std::nullopt},
      {"", "", std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + row.extension);
    EXPECT_EQ(bundle.pathForResource(row.name, row.extension), row.path);
  }
}

TEST(ContainingAppTest, IsTheFolderAboveTheExtensionsPlugInsFolder) {
  EXPECT_EQ(foundation::containingAppPath("/a/Halvicourt.app/PlugIns/X.appex"),
            "/a/Halvicourt.app");
  EXPECT_EQ(foundation::containingAppPath("/a/Halvicourt.app/Other/X.appex"), std::nullopt);
  EXPECT_EQ(foundation::containingAppPath("/X.appex"), std::nullopt);
}

}  // namespace

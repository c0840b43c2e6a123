// How a localized string takes its arguments. Which table a key's string comes from is the
// bundle's (tests/system/Foundation/NSBundleTest.cpp).
#include "host/LocalizedAlert.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(LocalizedAlert, SpecifiersTakeTheArgumentsInOrderOrByPosition) {
  const std::vector<std::string> two = {"Marie", "3"};
  const struct {
    const char* format;
    std::vector<std::string> arguments;
    const char* text;
  } rows[] = {
      {"%@ shared %@ photos", two, "Marie shared 3 photos"},
      {"%2$@ photos, by %1$@", two, "3 photos, by Marie"},
      // "%@" counts only the "%@" before it, whatever positions came between.
      {"%2$@ %@ %@ %1$@", two, "3 Marie 3 Marie"},
      {"20%% more, %@%%", {"5"}, "20% more, 5%"},
      // An argument that is not there is left out; one too many is not shown.
      {"%@ and %@", {"a"}, "a and "},
      {"%3$@!", two, "!"},
      {"%@", {"a", "b"}, "a"},
      // Anything else after a "%" is text.
      {"%d %s %0$@ %12345$@ 100%", two, "%d %s %0$@ %12345$@ 100%"},
      {"%", {}, "%"},
      // An argument's own "%@" is text, not a specifier.
      {"%@ %@", {"%@", "x"}, "%@ x"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.format);
    EXPECT_EQ(host::formatAlertString(row.format, row.arguments, 1 << 20), row.text);
  }
  // One argument taken again and again fills the text up to its cap, and no further than the
  // last whole character.
  EXPECT_EQ(host::formatAlertString("%1$@%1$@%1$@", {"aé"}, 8), "aéaéa");
}

}  // namespace

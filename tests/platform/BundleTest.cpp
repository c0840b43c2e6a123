// The built executable checked as the platform would load it, through binutils: its run
// paths, its class list and its embedded entitlements.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "tests/support/ExtensionRun.hpp"
#include "tests/support/TempDir.hpp"

namespace {

// What a binutils command prints on standard output.
std::string outputOf(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out.append(buffer, n);
  }
  if (pipe != nullptr) pclose(pipe);
  return out;
}

const std::string kExecutable =
    testing_support::appDirectory() + testing_support::kAppex + "/HalvicourtNotificationService";

TEST(ExecutableTest, FindsTheStandInLibrariesThroughItsRunPathOnly) {
  const std::string dynamic = outputOf("readelf -d '" + kExecutable + "'");
  EXPECT_NE(dynamic.find("(RUNPATH)            Library runpath: "
                         "[$ORIGIN/Frameworks:$ORIGIN/../../Frameworks]\n"),
            std::string::npos)
      << dynamic;
  // DT_RPATH would be searched before LD_LIBRARY_PATH and is not what the bundle declares.
  EXPECT_EQ(dynamic.find("(RPATH)"), std::string::npos) << dynamic;
}

TEST(ExecutableTest, ListsExactlyOneClass) {
  const std::string sections = outputOf("readelf -S -W '" + kExecutable + "'");
  std::smatch size;
  ASSERT_TRUE(
      std::regex_search(sections, size, std::regex(R"(objc_classlist +\w+ +\w+ +\w+ +(\w+))")))
      << sections;
  EXPECT_EQ(std::stoul(size[1], nullptr, 16), sizeof(void*));
}

TEST(ExecutableTest, EmbedsExactlyTheTwoEntitlements) {
  testing_support::TempDir dir;
  outputOf("objcopy --dump-section __entitlements='" + dir.file("raw") + "' '" + kExecutable +
           "' '" + dir.file("copy") + "'");
  const std::string raw = testing_support::readFile(dir.file("raw"));
  const std::string xml = raw.substr(0, raw.find('\0'));
  // "<ten-character team>.<bundle identifier>", and the one keychain group is the same.
  const std::string id = "[^.<]{10}\\." + std::regex_replace(testing_support::bundleIdentifier(),
                                                             std::regex("\\."), "\\.");
  EXPECT_TRUE(std::regex_search(
      xml, std::regex(R"(^<\?xml version="1\.0"[\s\S]*<dict>\s*<key>application-identifier</key>)"
                      R"(\s*<string>()" +
                      id +
                      R"()</string>\s*<key>keychain-access-groups</key>)"
                      R"(\s*<array>\s*<string>\1</string>\s*</array>\s*</dict>\s*</plist>\s*$)")))
      << xml;
}

}  // namespace

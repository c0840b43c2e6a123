// The built executable checked as the platform would load it, through binutils: its run
// paths, its class list and its embedded entitlements.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/ExtensionRun.hpp"
#include "tests/support/TempDir.hpp"

namespace {

using testing_support::runCommand;

const std::string kExecutable =
    testing_support::appDirectory() + testing_support::kAppex + "/HalvicourtNotificationService";

TEST(ExecutableTest, FindsTheStandInLibrariesThroughItsRunPathOnly) {
  const std::string dynamic = runCommand({"/usr/bin/readelf", "-d", kExecutable}).output;
  EXPECT_NE(dynamic.find("(RUNPATH)            Library runpath: "
                         "[$ORIGIN/Frameworks:$ORIGIN/../../Frameworks]\n"),
            std::string::npos)
      << dynamic;
  // DT_RPATH would be searched before LD_LIBRARY_PATH and is not what the bundle declares.
  EXPECT_EQ(dynamic.find("(RPATH)"), std::string::npos) << dynamic;
}

TEST(ExecutableTest, ListsExactlyOneClass) {
  const std::string sections = runCommand({"/usr/bin/readelf", "-S", "-W", kExecutable}).output;
  std::smatch size;
  ASSERT_TRUE(
      std::regex_search(sections, size, std::regex(R"(objc_classlist +\w+ +\w+ +\w+ +(\w+))")))
      << sections;
  EXPECT_EQ(std::stoul(size[1], nullptr, 16), sizeof(void*));
}

TEST(ExecutableTest, EmbedsExactlyTheTwoEntitlements) {
  testing_support::TempDir dir;
  runCommand({"/usr/bin/objcopy", "--dump-section", "__entitlements=" + dir.file("raw"),
              kExecutable, dir.file("copy")});
  const std::string raw = testing_support::readFile(dir.file("raw"));
  const std::string xml = raw.substr(0, raw.find('\0'));
  // "<ten-character team>.<bundle identifier>", and the one keychain group is the same.
  const std::string id = "[^.<]{10}\\." + std::regex_replace(testing_support::bundleIdentifier(),
                                                             std::regex("\\."), "\\.");
  const std::string pattern =
      R"(^<\?xml version="1\.0"[\s\S]*<dict>\s*<key>application-identifier</key>\s*<string>()" +
      id +
      R"()</string>\s*<key>keychain-access-groups</key>\s*<array>\s*<string>\1</string>)"
      R"(\s*</array>\s*</dict>\s*</plist>\s*$)";
  EXPECT_TRUE(std::regex_search(xml, std::regex(pattern))) << xml;
}

}  // namespace

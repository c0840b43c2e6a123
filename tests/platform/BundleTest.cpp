// The built executable checked as the platform would load it, through binutils: its run
// paths and its class list.
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

}  // namespace

// The built bundle checked as the platform would load it: its run paths and its class list
// through binutils, and its signature by running copies of it changed after the build.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/ExtensionRun.hpp"
#include "tests/support/TempDir.hpp"

namespace {

using testing_support::runCommand;
using namespace testing_support;
namespace fs = std::filesystem;

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

class BundleSignatureTest : public ExtensionTest {};

// The signature covers the executable, Info.plist and the app's frameworks: a copy changed
// in any of them is refused before any input is read, as is one re-signed under an identifier
// that could name a directory elsewhere.
TEST_F(BundleSignatureTest, ATamperedCopyOfTheBundleIsRefused) {
  const auto appendTo = [](const std::string& file) {
    writeFile(file, readFile(file) + "appended");  // the library still loads
  };
  const struct {
    const char* what;
    std::function<void(const std::string& app, const std::string& appex)> tamper;
    const char* says;
  } rows[] = {
      {"a byte of the executable changed",
       [](const std::string&, const std::string& appex) {
         const std::string exe = appex + "/HalvicourtNotificationService";
         std::string bytes = readFile(exe);
         // Inside the entitlements: the program would still run.
         bytes[bytes.find("<key>application-identifier</key>") + 5] = 'A';
         writeFile(exe, bytes);
       },
       "HalvicourtNotificationService does not match its signature"},
      {"a framework changed",
       [&](const std::string& app, const std::string&) {
         appendTo(app + "/Frameworks/libobjc.A.so");
       },
       "../../Frameworks/libobjc.A.so does not match its signature"},
      {"a library added to the extension's frameworks",
       [](const std::string& app, const std::string& appex) {
         fs::create_directory(appex + "/Frameworks");
         fs::copy_file(app + "/Frameworks/libobjc.A.so", appex + "/Frameworks/libobjc.A.so");
       },
       "does not cover Frameworks/libobjc.A.so"},
      {"a framework removed",
       [](const std::string& app, const std::string&) {
         fs::remove(app + "/Frameworks/libDesktopNotifications.so");
       },
       "a file the signature covers is missing"},
      {"the signature removed",
       [](const std::string&, const std::string& appex) {
         fs::remove_all(appex + "/_CodeSignature");
       },
       "no signature"},
      {"re-signed under an identifier with a path in it",
       [](const std::string& app, const std::string& appex) {
         const std::string plist = appex + "/Info.plist";
         writeFile(plist, std::regex_replace(readFile(plist), std::regex(bundleIdentifier()),
                                             "com.halvicourt/../../elsewhere"));
         ASSERT_EQ(testing_support::runCommand(
                       {"/usr/bin/cmake", "-DAPP=" + app, "-DAPPEX=" + appex,
                        "-DBUNDLE_ID=com.halvicourt/../../elsewhere", "-P",
                        std::string(HALVICOURT_SOURCE_DIR) + "/platform/Sign.cmake"})
                       .status,
                   0);
       },
       "is not a reverse-DNS identifier"},
      // The app's tables are read for the extension: one it did not ship changes what is shown.
      {"a strings table added to the app",
       [](const std::string& app, const std::string&) {
         fs::create_directory(app + "/de.lproj");
         fs::copy_file(app + "/en.lproj/Localizable.strings",
                       app + "/de.lproj/Localizable.strings");
       },
       "does not cover ../../de.lproj/Localizable.strings"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string app = dir.file("Halvicourt.app");
    fs::copy(appDirectory(), app, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    row.tamper(app, app + kAppex);
    testing_support::Run tampered = run({}, requestLine("t", payload(std::nullopt)));
    tampered.app = app;
    const Outcome outcome = runExtension(tampered);
    EXPECT_EQ(outcome.status, 78) << outcome.stderrText;
    EXPECT_TRUE(outcome.lines.empty());
    const std::size_t refused = outcome.stderrText.find("cannot start the extension");
    ASSERT_NE(refused, std::string::npos) << outcome.stderrText;
    EXPECT_NE(outcome.stderrText.find(row.says, refused), std::string::npos) << outcome.stderrText;
  }
}

}  // namespace

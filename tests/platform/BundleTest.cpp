// The built executable checked as the platform would load it, through binutils: its run
// paths, its embedded entitlements and class list, and the entry it takes from Foundation.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdio>
#include <memory>
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

TEST(ExecutableTest, EntersTheRunnerFromFoundationWithoutAMainOfItsOwn) {
  EXPECT_EQ(outputOf("nm --defined-only '" + kExecutable + "' 2>&1; nm -D --defined-only '" +
                     kExecutable + "'")
                .find(" main\n"),
            std::string::npos);
  EXPECT_NE(outputOf("nm -D --defined-only '" + testing_support::appDirectory() +
                     "/Frameworks/libFoundation.so'")
                .find(" T main\n"),
            std::string::npos);
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
  ASSERT_FALSE(raw.empty());
  const std::string xml = raw.substr(0, raw.find('\0'));
  EXPECT_EQ(xml.rfind("<?xml version=\"1.0\"", 0), 0u) << xml;
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
  std::unique_ptr<void, void (*)(plist_t)> owner(root, &plist_free);
  ASSERT_NE(root, nullptr) << xml;
  ASSERT_EQ(plist_get_node_type(root), PLIST_DICT);
  EXPECT_EQ(plist_dict_get_size(root), 2u);
  auto text = [](plist_t node) {
    std::uint64_t length = 0;
    const char* s =
        plist_get_node_type(node) == PLIST_STRING ? plist_get_string_ptr(node, &length) : "";
    return std::string(s, length);
  };
  plist_t appId = plist_dict_get_item(root, "application-identifier");
  plist_t groups = plist_dict_get_item(root, "keychain-access-groups");
  ASSERT_TRUE(appId != nullptr && groups != nullptr) << xml;
  // "<ten-character team>.<bundle identifier>", and the one keychain group is the same.
  const std::string bundleId = testing_support::bundleIdentifier();
  ASSERT_EQ(text(appId).size(), 11 + bundleId.size()) << text(appId);
  EXPECT_EQ(text(appId).substr(10), "." + bundleId);
  ASSERT_EQ(plist_get_node_type(groups), PLIST_ARRAY);
  ASSERT_EQ(plist_array_get_size(groups), 1u);
  EXPECT_EQ(text(plist_array_get_item(groups, 0)), text(appId));
}

}  // namespace

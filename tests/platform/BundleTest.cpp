// The built executable checked as the platform would load it: its run paths, its embedded
// entitlements and class list, and the entry it takes from Foundation.
#include <elf.h>
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Foundation/NSBundle.hpp"
#include "tests/support/TempDir.hpp"

namespace {

std::string appexDirectory() {
  const char* build = std::getenv("HALVICOURT_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") +
         "/Halvicourt.app/PlugIns/HalvicourtNotificationService.appex";
}

// The sections of one ELF64 file; every read is bounds-checked, so a malformed file gives
// empty answers rather than a crash.
class ElfFile {
 public:
  explicit ElfFile(const std::string& path) : bytes_(testing_support::readFile(path)) {
    Elf64_Ehdr header{};
    if (bytes_.size() < sizeof header) return;
    std::memcpy(&header, bytes_.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return;
    sections_ =
        entries<Elf64_Shdr>(header.e_shoff, std::size_t{header.e_shnum} * sizeof(Elf64_Shdr));
    if (header.e_shstrndx < sections_.size()) names_ = contents(sections_[header.e_shstrndx]);
  }

  const Elf64_Shdr* section(const std::string& name) const {
    for (const Elf64_Shdr& s : sections_) {
      if (stringAt(names_, s.sh_name) == name) return &s;
    }
    return nullptr;
  }
  std::string contents(const Elf64_Shdr& s) const {
    if (s.sh_offset > bytes_.size() || s.sh_size > bytes_.size() - s.sh_offset) return {};
    return bytes_.substr(s.sh_offset, s.sh_size);
  }
  template <class T>
  std::vector<T> entries(std::uint64_t offset, std::uint64_t size) const {
    std::vector<T> out;
    for (std::uint64_t at = offset;
         at + sizeof(T) <= offset + size && at + sizeof(T) <= bytes_.size(); at += sizeof(T)) {
      out.emplace_back();
      std::memcpy(&out.back(), bytes_.data() + at, sizeof(T));
    }
    return out;
  }
  // The text at `offset` of a string table's contents.
  static std::string stringAt(const std::string& table, std::uint64_t offset) {
    return offset < table.size() ? std::string(table.c_str() + offset) : std::string();
  }
  // Whether ".dynsym" or ".symtab" defines `name`.
  bool defines(const std::string& name) const {
    for (const char* table : {".dynsym", ".symtab"}) {
      const Elf64_Shdr* symbols = section(table);
      if (symbols == nullptr || symbols->sh_link >= sections_.size()) continue;
      const std::string strings = contents(sections_[symbols->sh_link]);
      for (const Elf64_Sym& s : entries<Elf64_Sym>(symbols->sh_offset, symbols->sh_size)) {
        if (s.st_shndx != SHN_UNDEF && stringAt(strings, s.st_name) == name) return true;
      }
    }
    return false;
  }

 private:
  std::string bytes_;
  std::vector<Elf64_Shdr> sections_;
  std::string names_;
};

class ExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(elf_.section(".dynamic"), nullptr) << appexDirectory(); }
  ElfFile elf_{appexDirectory() + "/HalvicourtNotificationService"};
};

TEST_F(ExecutableTest, FindsTheStandInLibrariesThroughItsRunPathOnly) {
  const Elf64_Shdr* dynamic = elf_.section(".dynamic");
  const std::string strings = elf_.contents(*elf_.section(".dynstr"));
  std::vector<std::string> runpath;
  for (const Elf64_Dyn& d : elf_.entries<Elf64_Dyn>(dynamic->sh_offset, dynamic->sh_size)) {
    if (d.d_tag == DT_RUNPATH) runpath.push_back(ElfFile::stringAt(strings, d.d_un.d_val));
    // DT_RPATH would be searched before LD_LIBRARY_PATH and is not what the bundle declares.
    EXPECT_NE(d.d_tag, DT_RPATH);
  }
  EXPECT_EQ(runpath, std::vector<std::string>{"$ORIGIN/Frameworks:$ORIGIN/../../Frameworks"});
}

TEST_F(ExecutableTest, EntersTheRunnerFromFoundationWithoutAMainOfItsOwn) {
  EXPECT_FALSE(elf_.defines("main"));
  EXPECT_TRUE(ElfFile(appexDirectory() + "/../../Frameworks/libFoundation.so").defines("main"));
}

TEST_F(ExecutableTest, ListsExactlyOneClass) {
  const Elf64_Shdr* classList = elf_.section("objc_classlist");
  ASSERT_NE(classList, nullptr);
  EXPECT_EQ(classList->sh_size, sizeof(void*));
}

TEST_F(ExecutableTest, EmbedsExactlyTheTwoEntitlements) {
  const Elf64_Shdr* section = elf_.section("__entitlements");
  ASSERT_NE(section, nullptr);
  const std::string raw = elf_.contents(*section);
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
  const std::string bundleId =
      NSBundle(appexDirectory()).bundleIdentifier().value_or("no bundle identifier");
  ASSERT_EQ(text(appId).size(), 11 + bundleId.size()) << text(appId);
  EXPECT_EQ(text(appId).substr(10), "." + bundleId);
  ASSERT_EQ(plist_get_node_type(groups), PLIST_ARRAY);
  ASSERT_EQ(plist_array_get_size(groups), 1u);
  EXPECT_EQ(text(plist_array_get_item(groups, 0)), text(appId));
}

}  // namespace

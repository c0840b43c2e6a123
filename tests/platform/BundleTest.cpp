// The built product checked as the platform would check it: the executable's ELF headers
// (target, position independence, run paths, entry), its embedded entitlements and class
// list, the bundle's Info.plist and its ad hoc signature.
#include <elf.h>
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Foundation/NSExtensionMain.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

extern const objc_class objc_class_NotificationService;

namespace {

namespace fs = std::filesystem;

std::string appDirectory() {
  const char* build = std::getenv("HALVICOURT_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/Halvicourt.app";
}
std::string appexDirectory() {
  return appDirectory() + "/PlugIns/HalvicourtNotificationService.appex";
}
std::string executablePath() { return appexDirectory() + "/HalvicourtNotificationService"; }

// A read-only view of one ELF64 file, enough to answer the questions below. Every read is
// bounds-checked, so a malformed file gives empty answers rather than a crash.
class ElfFile {
 public:
  explicit ElfFile(const std::string& path) : bytes_(testing_support::readFile(path)) {
    if (bytes_.size() < sizeof(Elf64_Ehdr)) return;
    std::memcpy(&header_, bytes_.data(), sizeof header_);
    valid_ = std::memcmp(header_.e_ident, ELFMAG, SELFMAG) == 0 &&
             header_.e_ident[EI_CLASS] == ELFCLASS64;
    if (!valid_) return;
    for (std::size_t i = 0; i < header_.e_shnum; ++i) {
      Elf64_Shdr s{};
      if (read(header_.e_shoff + i * sizeof(Elf64_Shdr), &s)) sections_.push_back(s);
    }
    for (std::size_t i = 0; i < header_.e_phnum; ++i) {
      Elf64_Phdr p{};
      if (read(header_.e_phoff + i * sizeof(Elf64_Phdr), &p)) segments_.push_back(p);
    }
  }

  bool valid() const { return valid_; }
  const Elf64_Ehdr& header() const { return header_; }
  const std::vector<Elf64_Phdr>& segments() const { return segments_; }

  const Elf64_Shdr* section(const std::string& name) const {
    if (header_.e_shstrndx >= sections_.size()) return nullptr;
    for (const Elf64_Shdr& s : sections_) {
      if (string(sections_[header_.e_shstrndx], s.sh_name) == name) return &s;
    }
    return nullptr;
  }
  std::string contents(const Elf64_Shdr& s) const {
    if (s.sh_type == SHT_NOBITS || s.sh_offset > bytes_.size() ||
        s.sh_size > bytes_.size() - s.sh_offset) {
      return {};
    }
    return bytes_.substr(s.sh_offset, s.sh_size);
  }

  // The dynamic section's entries, in order.
  std::vector<Elf64_Dyn> dynamic() const {
    std::vector<Elf64_Dyn> out;
    const Elf64_Shdr* dyn = section(".dynamic");
    if (dyn == nullptr) return out;
    for (std::size_t off = 0; off + sizeof(Elf64_Dyn) <= dyn->sh_size; off += sizeof(Elf64_Dyn)) {
      Elf64_Dyn d{};
      if (!read(dyn->sh_offset + off, &d) || d.d_tag == DT_NULL) break;
      out.push_back(d);
    }
    return out;
  }
  // A string of the dynamic string table (for DT_NEEDED, DT_RUNPATH, ...).
  std::string dynamicString(std::uint64_t offset) const {
    const Elf64_Shdr* dynstr = section(".dynstr");
    return dynstr == nullptr ? std::string() : string(*dynstr, offset);
  }

  struct Symbol {
    std::string name;
    Elf64_Sym sym;
  };
  // The symbols of ".dynsym" or ".symtab".
  std::vector<Symbol> symbols(const std::string& table) const {
    std::vector<Symbol> out;
    const Elf64_Shdr* symtab = section(table);
    if (symtab == nullptr || symtab->sh_link >= sections_.size()) return out;
    for (std::size_t off = 0; off + sizeof(Elf64_Sym) <= symtab->sh_size;
         off += sizeof(Elf64_Sym)) {
      Elf64_Sym s{};
      if (!read(symtab->sh_offset + off, &s)) break;
      out.push_back({string(sections_[symtab->sh_link], s.st_name), s});
    }
    return out;
  }

  // The relocations that the dynamic loader applies (".rela.dyn").
  std::vector<Elf64_Rela> dynamicRelocations() const {
    std::vector<Elf64_Rela> out;
    const Elf64_Shdr* rela = section(".rela.dyn");
    if (rela == nullptr) return out;
    for (std::size_t off = 0; off + sizeof(Elf64_Rela) <= rela->sh_size;
         off += sizeof(Elf64_Rela)) {
      Elf64_Rela r{};
      if (!read(rela->sh_offset + off, &r)) break;
      out.push_back(r);
    }
    return out;
  }

 private:
  template <class T>
  bool read(std::uint64_t offset, T* out) const {
    if (offset > bytes_.size() || sizeof(T) > bytes_.size() - offset) return false;
    std::memcpy(out, bytes_.data() + offset, sizeof(T));
    return true;
  }
  std::string string(const Elf64_Shdr& table, std::uint64_t offset) const {
    if (offset >= table.sh_size || table.sh_offset + offset >= bytes_.size()) return {};
    const char* start = bytes_.data() + table.sh_offset + offset;
    return std::string(start, strnlen(start, bytes_.size() - (table.sh_offset + offset)));
  }

  std::string bytes_;
  Elf64_Ehdr header_{};
  bool valid_ = false;
  std::vector<Elf64_Shdr> sections_;
  std::vector<Elf64_Phdr> segments_;
};

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using Plist = std::unique_ptr<void, PlistFree>;

Plist parsePlist(const std::string& bytes) {
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  return Plist(root);
}

std::optional<std::string> stringAt(plist_t dict, std::initializer_list<const char*> path) {
  plist_t node = dict;
  for (const char* key : path) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_DICT) return std::nullopt;
    node = plist_dict_get_item(node, key);
  }
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return std::string(text, static_cast<std::size_t>(length));
}

std::vector<std::string> dictKeys(plist_t dict) {
  std::vector<std::string> keys;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(dict, &it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(dict, it, &key, &value);
    if (key == nullptr) break;
    keys.emplace_back(key);
    std::free(key);
  }
  std::free(it);
  return keys;
}

// The SHA-256 of a file from coreutils, independent of the code that checks signatures.
std::string sha256sum(const std::string& path) {
  testing_support::ChildOptions options;
  options.argv = {"/usr/bin/sha256sum", path};
  testing_support::ChildProcess child(std::move(options));
  std::optional<std::string> line = child.readLine();
  EXPECT_EQ(child.wait(), 0) << child.stderrText();
  return line ? line->substr(0, 64) : std::string();
}

std::string infoBundleIdentifier() {
  Plist info = parsePlist(testing_support::readFile(appexDirectory() + "/Info.plist"));
  return info ? stringAt(info.get(), {"CFBundleIdentifier"}).value_or("") : "";
}

// --- The executable ---------------------------------------------------------------------

class ExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(elf_.valid()) << executablePath(); }
  ElfFile elf_{executablePath()};
};

TEST_F(ExecutableTest, IsAPositionIndependentX8664ProgramWithAnInterpreter) {
  EXPECT_EQ(elf_.header().e_ident[EI_DATA], ELFDATA2LSB);
  EXPECT_EQ(elf_.header().e_machine, EM_X86_64);
  EXPECT_EQ(elf_.header().e_type, ET_DYN);
  bool interp = false;
  for (const Elf64_Phdr& p : elf_.segments()) interp = interp || p.p_type == PT_INTERP;
  EXPECT_TRUE(interp) << "a shared library, not a program";
  std::uint64_t flags1 = 0;
  for (const Elf64_Dyn& d : elf_.dynamic()) {
    if (d.d_tag == DT_FLAGS_1) flags1 = d.d_un.d_val;
  }
  EXPECT_NE(flags1 & DF_1_PIE, 0u);
}

TEST_F(ExecutableTest, FindsTheStandInLibrariesThroughItsRunPathsOnly) {
  std::vector<std::string> runpath;
  std::vector<std::string> rpath;
  std::vector<std::string> needed;
  for (const Elf64_Dyn& d : elf_.dynamic()) {
    if (d.d_tag == DT_RUNPATH) runpath.push_back(elf_.dynamicString(d.d_un.d_val));
    if (d.d_tag == DT_RPATH) rpath.push_back(elf_.dynamicString(d.d_un.d_val));
    if (d.d_tag == DT_NEEDED) needed.push_back(elf_.dynamicString(d.d_un.d_val));
  }
  EXPECT_EQ(runpath, std::vector<std::string>{"$ORIGIN/Frameworks:$ORIGIN/../../Frameworks"});
  // DT_RPATH would be searched before LD_LIBRARY_PATH and is not what the bundle declares.
  EXPECT_TRUE(rpath.empty()) << ::testing::PrintToString(rpath);
  for (const char* lib :
       {"libobjc.A.so", "libSystem.so", "libFoundation.so", "libUserNotifications.so"}) {
    SCOPED_TRACE(lib);
    EXPECT_NE(std::find(needed.begin(), needed.end(), lib), needed.end());
    EXPECT_TRUE(fs::is_regular_file(appDirectory() + "/Frameworks/" + lib));
  }
}

TEST_F(ExecutableTest, EntersTheRunnerFromFoundationWithoutAMainOfItsOwn) {
  auto definesMain = [](const ElfFile& file) {
    for (const char* table : {".dynsym", ".symtab"}) {
      for (const ElfFile::Symbol& s : file.symbols(table)) {
        if (s.name == "main" && s.sym.st_shndx != SHN_UNDEF) return true;
      }
    }
    return false;
  };
  EXPECT_FALSE(definesMain(elf_));
  ElfFile foundation(appDirectory() + "/Frameworks/libFoundation.so");
  ASSERT_TRUE(foundation.valid());
  EXPECT_TRUE(definesMain(foundation));
}

TEST_F(ExecutableTest, EmbedsExactlyTheTwoEntitlements) {
  const Elf64_Shdr* section = elf_.section("__entitlements");
  ASSERT_NE(section, nullptr);
  const std::string raw = elf_.contents(*section);
  // The XML, then nothing but the terminating zero (and any padding).
  const std::string xml = raw.substr(0, raw.find('\0'));
  EXPECT_EQ(raw.find_first_not_of('\0', xml.size()), std::string::npos);
  EXPECT_EQ(xml.rfind("<?xml version=\"1.0\"", 0), 0u) << xml;
  EXPECT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos) << xml;

  Plist entitlements = parsePlist(xml);
  ASSERT_TRUE(entitlements) << xml;
  ASSERT_EQ(plist_get_node_type(entitlements.get()), PLIST_DICT);
  std::vector<std::string> keys = dictKeys(entitlements.get());
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::string>{"application-identifier", "keychain-access-groups"}));

  const std::string bundleId = infoBundleIdentifier();
  std::optional<std::string> appId = stringAt(entitlements.get(), {"application-identifier"});
  ASSERT_TRUE(appId);
  ASSERT_GT(appId->size(), 11u);
  EXPECT_EQ((*appId)[10], '.') << *appId;
  EXPECT_EQ(appId->substr(11), bundleId);
  EXPECT_EQ(appId->substr(0, 10).find_first_of(". "), std::string::npos) << *appId;

  plist_t groups = plist_dict_get_item(entitlements.get(), "keychain-access-groups");
  ASSERT_NE(groups, nullptr);
  ASSERT_EQ(plist_get_node_type(groups), PLIST_ARRAY);
  ASSERT_EQ(plist_array_get_size(groups), 1u);
  plist_t group = plist_array_get_item(groups, 0);
  ASSERT_EQ(plist_get_node_type(group), PLIST_STRING);
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(group, &length);
  EXPECT_EQ(std::string(text, length), *appId);
}

TEST_F(ExecutableTest, ListsExactlyThePrincipalClass) {
  const Elf64_Shdr* section = elf_.section("objc_classlist");
  ASSERT_NE(section, nullptr);
  ASSERT_EQ(section->sh_size, 8u);
  // The one entry is filled in at load by a relative relocation; its addend is the record.
  std::optional<std::uint64_t> record;
  for (const ElfFile::Symbol& s : elf_.symbols(".symtab")) {
    if (s.name == "objc_class_NotificationService" && s.sym.st_shndx != SHN_UNDEF) {
      record = s.sym.st_value;
    }
  }
  if (!record) GTEST_SKIP() << "the executable has no symbol table to name the record by";
  bool pointsAtRecord = false;
  for (const Elf64_Rela& r : elf_.dynamicRelocations()) {
    if (r.r_offset == section->sh_addr) {
      pointsAtRecord = ELF64_R_TYPE(r.r_info) == R_X86_64_RELATIVE &&
                       static_cast<std::uint64_t>(r.r_addend) == *record;
    }
  }
  EXPECT_TRUE(pointsAtRecord);
}

TEST_F(ExecutableTest, RunsNoStaticInitialiserOfItsOwn) {
  std::map<std::uint64_t, std::string> functions;
  for (const ElfFile::Symbol& s : elf_.symbols(".symtab")) {
    if (ELF64_ST_TYPE(s.sym.st_info) == STT_FUNC && s.sym.st_shndx != SHN_UNDEF) {
      functions[s.sym.st_value] = s.name;
    }
  }
  if (functions.empty()) GTEST_SKIP() << "the executable has no symbol table";
  std::map<std::uint64_t, std::uint64_t> relocated;  // slot address -> target
  for (const Elf64_Rela& r : elf_.dynamicRelocations()) {
    if (ELF64_R_TYPE(r.r_info) == R_X86_64_RELATIVE) {
      relocated[r.r_offset] = static_cast<std::uint64_t>(r.r_addend);
    }
  }
  // Only the toolchain's own entries may run before the runner: the C runtime's frame
  // set-up and, in sanitized builds, the sanitizers' constructors.
  auto allowed = [](const std::string& name) {
    return name == "frame_dummy" || name.find("asan") != std::string::npos ||
           name.find("sanitizer") != std::string::npos || name.find("ubsan") != std::string::npos ||
           name.find("tsan") != std::string::npos;
  };
  for (const char* table : {".preinit_array", ".init_array"}) {
    const Elf64_Shdr* section = elf_.section(table);
    if (section == nullptr) continue;
    const std::string raw = elf_.contents(*section);
    for (std::size_t i = 0; i + 8 <= raw.size(); i += 8) {
      std::uint64_t target = 0;
      std::memcpy(&target, raw.data() + i, 8);
      if (auto r = relocated.find(section->sh_addr + i); r != relocated.end()) target = r->second;
      const std::string name = functions.count(target) ? functions[target] : "?";
      EXPECT_TRUE(allowed(name)) << table << " runs " << name;
    }
  }
}

// --- The bundle -------------------------------------------------------------------------

TEST(BundleTest, InfoPlistNamesTheExtensionPointAndThePrincipalClass) {
  Plist info = parsePlist(testing_support::readFile(appexDirectory() + "/Info.plist"));
  ASSERT_TRUE(info);
  EXPECT_EQ(stringAt(info.get(), {"CFBundleExecutable"}), "HalvicourtNotificationService");
  const std::string bundleId = infoBundleIdentifier();
  const std::string suffix = ".HalvicourtNotificationService";
  ASSERT_GT(bundleId.size(), suffix.size());
  EXPECT_EQ(bundleId.substr(bundleId.size() - suffix.size()), suffix);
  EXPECT_EQ(stringAt(info.get(), {"NSExtension", "NSExtensionPointIdentifier"}),
            "com.apple.usernotifications.service");
  std::optional<std::string> principal =
      stringAt(info.get(), {"NSExtension", "NSExtensionPrincipalClass"});
  ASSERT_TRUE(principal);
  EXPECT_EQ(NSClassFromString(*principal), &objc_class_NotificationService) << *principal;
}

TEST(BundleTest, SignatureNamesTheBundleAndHashesItsFiles) {
  const std::string path = appexDirectory() + "/_CodeSignature/CodeResources";
  Plist signature = parsePlist(testing_support::readFile(path));
  ASSERT_TRUE(signature) << path;
  ASSERT_EQ(plist_get_node_type(signature.get()), PLIST_DICT);
  EXPECT_EQ(stringAt(signature.get(), {"identifier"}), infoBundleIdentifier());
  EXPECT_EQ(plist_dict_get_item(signature.get(), "team-identifier"), nullptr);
  struct Row {
    const char* key;
    std::string file;
  };
  const Row rows[] = {{"HalvicourtNotificationService", executablePath()},
                      {"Info.plist", appexDirectory() + "/Info.plist"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    std::optional<std::string> hash = stringAt(signature.get(), {"files", row.key, "sha256"});
    ASSERT_TRUE(hash);
    EXPECT_EQ(*hash, sha256sum(row.file));
  }
}

}  // namespace

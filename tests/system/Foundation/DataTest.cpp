#include "Foundation/Data.hpp"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "Foundation/URL.hpp"
#include "tests/support/TempDir.hpp"

namespace {

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

std::vector<std::string> entries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

const char* modeName(Data::WritingOptions options) {
  return options == Data::atomic ? "atomic" : "none";
}

class DataWriteTest : public ::testing::TestWithParam<Data::WritingOptions> {
 protected:
  TempDir temp_;
};

INSTANTIATE_TEST_SUITE_P(Modes, DataWriteTest, ::testing::Values(Data::none, Data::atomic),
                         [](const auto& param) { return std::string(modeName(param.param)); });

TEST_P(DataWriteTest, SecondWriteReplacesTheFirst) {
  const URL url = URL::fileURLWithPath(temp_.file("image.jpg"));
  ASSERT_FALSE(Data("a longer first body").write(url, GetParam()).has_value());
  ASSERT_FALSE(Data("second").write(url, GetParam()).has_value());
  EXPECT_EQ(readFile(temp_.file("image.jpg")), "second");
  EXPECT_EQ(entries(temp_.path()), std::vector<std::string>{"image.jpg"});
}

TEST_P(DataWriteTest, EmptyDataGivesAnEmptyFile) {
  const std::string path = temp_.file("empty");
  ASSERT_FALSE(Data().write(URL::fileURLWithPath(path), GetParam()).has_value());
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 0);
}

TEST_P(DataWriteTest, BinaryBodiesArriveWhole) {
  std::string body(1 << 20, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + 3);
  ASSERT_FALSE(Data(body).write(URL::fileURLWithPath(temp_.file("big")), GetParam()));
  EXPECT_EQ(readFile(temp_.file("big")), body);
}

TEST_P(DataWriteTest, FileModeIs0666LessTheUmask) {
  const mode_t old = umask(027);
  const std::optional<NSError> error =
      Data("x").write(URL::fileURLWithPath(temp_.file("f")), GetParam());
  umask(old);
  ASSERT_FALSE(error.has_value());
  struct stat status {};
  ASSERT_EQ(stat(temp_.file("f").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
}

TEST_P(DataWriteTest, FailuresNameTheCallAndLeaveNothingBehind) {
  writeFile(temp_.file("plain"), "a file, not a directory");
  struct Row {
    std::string path;
    int err;
  };
  const Row rows[] = {
      {temp_.file("missing/image.jpg"), ENOENT},
      {temp_.file("plain/image.jpg"), ENOTDIR},
      {temp_.file(std::string(300, 'n')), ENAMETOOLONG},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(modeName(GetParam()) + (" " + row.path));
    const std::optional<NSError> error =
        Data("body").write(URL::fileURLWithPath(row.path), GetParam());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, NSPOSIXErrorDomain);
    EXPECT_EQ(error->code, row.err);
    EXPECT_NE(error->description.find(temp_.path()), std::string::npos) << error->description;
    EXPECT_EQ(entries(temp_.path()), std::vector<std::string>{"plain"});
  }
}

TEST_P(DataWriteTest, RefusesWhatIsNotAFileName) {
  struct Row {
    std::string text;
    long code;
  };
  const Row rows[] = {
      {"http://example.com/x", 518},
      {"file:///tmp/nul%00byte", 514},
      {"file:///tmp/dir/", 514},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const std::optional<NSError> error = Data("x").write(*URL::fromString(row.text), GetParam());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, NSCocoaErrorDomain);
    EXPECT_EQ(error->code, row.code);
  }
}

// Runs a write in a child whose file-size limit is below the body's size and reports
// from there; the limit and the ignored SIGXFSZ must not touch the test process.
TEST_P(DataWriteTest, FileSizeLimitFailsTheWrite) {
  const std::string path = temp_.file("limited");
  const Data::WritingOptions options = GetParam();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, RLIM_INFINITY};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
    const std::optional<NSError> error =
        Data(std::string(64 * 1024, 'x')).write(URL::fileURLWithPath(path), options);
    if (!error) _exit(11);
    if (error->code != EFBIG) _exit(12);
    if (options == Data::atomic && !entries(temp_.path()).empty()) _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setrlimit, 11 no error, 12 not EFBIG, 13 leftovers";
}

TEST(DataAtomicWriteTest, ReplacesASymbolicLinkInsteadOfWritingThroughIt) {
  TempDir outside;
  TempDir cache;
  const std::string victim = outside.file("victim");
  writeFile(victim, "keep me");
  const std::string target = cache.file("image.jpg");
  ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0);

  ASSERT_FALSE(Data("new body").write(URL::fileURLWithPath(target), Data::atomic));

  EXPECT_EQ(readFile(victim), "keep me");
  struct stat status {};
  ASSERT_EQ(lstat(target.c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(readFile(target), "new body");
  EXPECT_EQ(entries(cache.path()), std::vector<std::string>{"image.jpg"});
}

TEST(DataAtomicWriteTest, LongNamesStillGetATemporaryFile) {
  TempDir temp;
  const std::string name(255, 'l');
  ASSERT_FALSE(Data("body").write(URL::fileURLWithPath(temp.file(name)), Data::atomic));
  EXPECT_EQ(readFile(temp.file(name)), "body");
  EXPECT_EQ(entries(temp.path()), std::vector<std::string>{name});
}

}  // namespace

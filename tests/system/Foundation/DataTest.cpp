#include "Foundation/Data.hpp"

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

using testing_support::listDirectory;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

class DataWriteTest : public ::testing::TestWithParam<Data::WritingOptions> {
 protected:
  TempDir temp_;
};

INSTANTIATE_TEST_SUITE_P(Modes, DataWriteTest, ::testing::Values(Data::none, Data::atomic),
                         [](const auto& p) { return p.param == Data::atomic ? "atomic" : "none"; });

TEST_P(DataWriteTest, ReplacesTheFileWithExactlyTheBytesAndTheUmasksMode) {
  std::string binary(1 << 20, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 + 3);
  for (const std::string& body : {std::string(), binary}) {
    SCOPED_TRACE(body.size());
    const URL url = URL::fileURLWithPath(temp_.file("image.jpg"));
    const mode_t old = umask(027);
    const std::optional<NSError> first = Data("a longer first body").write(url, GetParam());
    const std::optional<NSError> error = Data(body).write(url, GetParam());
    umask(old);
    ASSERT_FALSE(first);
    ASSERT_FALSE(error) << error->description;
    EXPECT_EQ(readFile(temp_.file("image.jpg")), body);
    EXPECT_EQ(listDirectory(temp_.path()), std::vector<std::string>{"image.jpg"});
    struct stat status {};
    ASSERT_EQ(stat(temp_.file("image.jpg").c_str(), &status), 0);
    // 0666 less the umask, also when the bytes went to a temporary file first.
    EXPECT_EQ(status.st_mode & 0777, 0640u);
  }
}

TEST_P(DataWriteTest, FailuresNameTheCallAndLeaveNothingBehind) {
  writeFile(temp_.file("plain"), "a file, not a directory");
  struct Row {
    std::string path;
    int code;
  } const rows[] = {
      {temp_.file("missing/image.jpg"), ENOENT},
      {temp_.file("plain/image.jpg"), ENOTDIR},
      {temp_.file(std::string(300, 'n')), ENAMETOOLONG},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const std::optional<NSError> error =
        Data("body").write(URL::fileURLWithPath(row.path), GetParam());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, NSPOSIXErrorDomain);
    EXPECT_EQ(error->code, row.code);
    EXPECT_NE(error->description.find(temp_.path()), std::string::npos) << error->description;
    EXPECT_EQ(listDirectory(temp_.path()), std::vector<std::string>{"plain"});
  }
}

// Runs the write in a child whose file-size limit is below the body's size; the limit and
// the ignored SIGXFSZ must not touch the test process.
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
    if (options == Data::atomic && !listDirectory(temp_.path()).empty()) _exit(13);
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
  writeFile(outside.file("victim"), "keep me");
  const std::string target = cache.file("image.jpg");
  ASSERT_EQ(symlink(outside.file("victim").c_str(), target.c_str()), 0);
  ASSERT_FALSE(Data("new body").write(URL::fileURLWithPath(target), Data::atomic));
  EXPECT_EQ(readFile(outside.file("victim")), "keep me");
  struct stat status {};
  ASSERT_EQ(lstat(target.c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(readFile(target), "new body");
  EXPECT_EQ(listDirectory(cache.path()), std::vector<std::string>{"image.jpg"});
}

}  // namespace

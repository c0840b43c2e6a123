#include "Foundation/Data.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "Foundation/URL.hpp"
#include "tests/support/TempDir.hpp"

namespace {

using testing_support::listDirectory;
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
    const foundation::Status first = Data("a longer first body").write(url, GetParam());
    const foundation::Status second = Data(body).write(url, GetParam());
    umask(old);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok()) << second.error().description;
    const foundation::Result<Data> read = Data::contentsOfFile(temp_.file("image.jpg"));
    ASSERT_TRUE(read.ok()) << read.error().description;
    EXPECT_EQ(read->view(), body);
    EXPECT_EQ(listDirectory(temp_.path()), std::vector<std::string>{"image.jpg"});
    struct stat status {};
    ASSERT_EQ(stat(temp_.file("image.jpg").c_str(), &status), 0);
    // 0666 less the umask, also when the bytes went to a temporary file first.
    EXPECT_EQ(status.st_mode & 0777, 0640u);
  }
}

// Reading the path back fails the same way the write did.
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
    const foundation::Status status =
        Data("body").write(URL::fileURLWithPath(row.path), GetParam());
    ASSERT_FALSE(status.ok());
    const NSError& error = status.error();
    EXPECT_EQ(error.domain, NSPOSIXErrorDomain);
    EXPECT_EQ(error.code, row.code);
    EXPECT_NE(error.description.find(temp_.path()), std::string::npos) << error.description;
    EXPECT_EQ(listDirectory(temp_.path()), std::vector<std::string>{"plain"});
    const foundation::Result<Data> read = Data::contentsOfFile(row.path);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().code, row.code) << read.error().description;
  }
}

}  // namespace

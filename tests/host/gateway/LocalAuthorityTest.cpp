// The state directory: a local authority and server certificate made once, with private
// keys, and a device token kept across runs.
#include "host/gateway/LocalAuthority.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Foundation/FileManager.hpp"
#include "host/gateway/StateFiles.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace host::gateway {
namespace {

mode_t modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

TEST(LocalAuthorityTest, MakesItsCertificatesOnceAndKeepsThem) {
  testing_support::TempDir dir;
  const std::string state = dir.file("state/gateway");
  ASSERT_TRUE(FileManager::defaultManager().createDirectory(state, true, 0700).ok());
  ::umask(0);  // keys must be private whatever the umask says
  foundation::Result<ServerIdentity> first = localServerIdentity(state);
  ::umask(022);
  ASSERT_TRUE(first.ok()) << first.error().description;
  EXPECT_EQ(modeOf(first->privateKeyFile), 0600u);
  EXPECT_EQ(modeOf(state + "/authority.key"), 0600u);
  EXPECT_EQ(modeOf(state), 0700u);
  const std::string chain = testing_support::readFile(first->certificateChainFile);

  // The chain verifies against the authority for each name a client uses.
  for (const std::string name :
       {"-verify_ip=127.0.0.1", "-verify_ip=::1", "-verify_hostname=localhost"}) {
    const testing_support::CommandResult verified =
        testing_support::runCommand({"/usr/bin/openssl", "verify", "-purpose", "sslserver", name,
                                     "-CAfile", first->authorityFile, first->certificateChainFile});
    EXPECT_EQ(verified.status, 0) << name << ": " << verified.output;
  }

  foundation::Result<ServerIdentity> second = localServerIdentity(state);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(testing_support::readFile(second->certificateChainFile), chain);

  // A server certificate that no longer goes with its key is made again, by the same
  // authority.
  const std::string authority = testing_support::readFile(first->authorityFile);
  testing_support::writeFile(first->privateKeyFile,
                             testing_support::readFile(state + "/authority.key"));
  foundation::Result<ServerIdentity> third = localServerIdentity(state);
  ASSERT_TRUE(third.ok());
  EXPECT_NE(testing_support::readFile(third->certificateChainFile), chain);
  EXPECT_EQ(testing_support::readFile(third->authorityFile), authority);
  EXPECT_EQ(modeOf(third->privateKeyFile), 0600u);
}

TEST(LocalAuthorityTest, KeepsTheDeviceToken) {
  testing_support::TempDir dir;
  foundation::Result<std::string> token = deviceTokenIn(dir.path());
  ASSERT_TRUE(token.ok()) << token.error().description;
  EXPECT_EQ(token->size(), 64u);
  EXPECT_EQ(token->find_first_not_of("0123456789abcdef"), std::string::npos) << *token;
  EXPECT_EQ(*deviceTokenIn(dir.path()), *token);
  // A simulator's longer token, kept by hand, is used as it is.
  const std::string simulator(160, 'a');
  testing_support::writeFile(dir.file("device-token"), simulator + "\n");
  EXPECT_EQ(*deviceTokenIn(dir.path()), simulator);
  testing_support::writeFile(dir.file("device-token"), "not hex\n");
  EXPECT_FALSE(deviceTokenIn(dir.path()).ok());
  EXPECT_EQ(testing_support::readFile(dir.file("device-token")), "not hex\n");
}

}  // namespace
}  // namespace host::gateway

#include "host/Options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace host;

TEST(Options, CommandLines) {
  constexpr std::uint64_t MiB = 1 << 20;
  struct Row {
    std::vector<std::string> args;
    const char* error;  // null when accepted
    Options expected = {};
  } const rows[] = {
      {{}, nullptr, {}},
      {{"--time-limit", "2.5", "a.json", "-", "--", "--help"},
       nullptr,
       {.timeLimit = 2.5, .files = {"a.json", "-", "--help"}}},
      {{"--time-limit=0", "--desktop", "--log", "debug", "--help", "--version"},
       nullptr,
       {.timeLimit = 0, .desktop = true, .log = LogLevel::debug, .help = true, .version = true}},
      {{"--log=info", "--cache-limit", "0", "--attachments-limit=3G"},
       nullptr,
       {.log = LogLevel::info, .cacheLimit = 0, .attachmentsLimit = 3072 * MiB}},
      {{"--cache-limit=512K", "--attachments-limit", "18446744073709551615"},
       nullptr,
       {.cacheLimit = 512 * 1024, .attachmentsLimit = 18446744073709551615u}},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--desktop=yes"}, "unknown option '--desktop=yes'"},
      {{"--time-limit"}, "--time-limit needs a number of seconds"},
      {{"--time-limit", "soon"}, "--time-limit: 'soon' is not a number of seconds"},
      {{"--time-limit=-1"}, "--time-limit: '-1'"},
      {{"--time-limit=86401"}, "--time-limit: '86401'"},
      {{"--time-limit=nan"}, "--time-limit: 'nan'"},
      {{"--time-limit=0x2"}, "--time-limit: '0x2'"},
      {{"--time-limit", " 2"}, "--time-limit: ' 2'"},
      {{"--log"}, "--log needs a level"},
      {{"--log", "trace"}, "--log: 'trace' is not a level (info or debug)"},
      {{"--cache-limit"}, "--cache-limit needs a size"},
      {{"--cache-limit", "1.5M"}, "--cache-limit: '1.5M' is not a size"},
      {{"--cache-limit=-1"}, "--cache-limit: '-1'"},
      {{"--cache-limit=M"}, "--cache-limit: 'M'"},
      {{"--cache-limit=10m"}, "--cache-limit: '10m'"},
      {{"--attachments-limit="}, "--attachments-limit: ''"},
      {{"--attachments-limit=18446744073709551616"}, "--attachments-limit: '1844674407370955"},
      {{"--attachments-limit=17179869184G"}, "--attachments-limit: '17179869184G'"},
      {{"--listen", "0", "--desktop"},
       nullptr,
       {.desktop = true, .listen = ListenOptions{.address = "0"}}},
      // The key id comes from the key's conventional file name; a token goes to lowercase.
      {{"--listen=[::1]:2197", "--provider-key", "keys/AuthKey_ABC123.p8", "--team-id=T1",
        "--provider-ca", "ca.pem", "--device-token", "0A1b"},
       nullptr,
       {.listen = ListenOptions{.address = "[::1]:2197",
                                .providerKeyFile = "keys/AuthKey_ABC123.p8",
                                .keyId = "ABC123",
                                .teamId = "T1",
                                .providerAuthorityFile = "ca.pem",
                                .deviceToken = "0a1b"}}},
      {{"--listen", "0.0.0.0:2197", "--provider-ca", "ca.pem", "--listen-certificate", "c.pem",
        "--listen-key", "k.pem"},
       nullptr,
       {.listen = ListenOptions{.address = "0.0.0.0:2197",
                                .certificateFile = "c.pem",
                                .keyFile = "k.pem",
                                .providerAuthorityFile = "ca.pem"}}},
      {{"--listen", "2197", "a.json"}, "--listen takes no payload files ('a.json')"},
      {{"--listen", "192.168.1.2:2197"},
       "--listen 192.168.1.2:2197: pushes without authentication are taken only on a loopback"},
      {{"--listen", "host:2197"}, "--listen host:2197: the host is not a numeric address"},
      {{"--listen"}, "--listen needs [HOST:]PORT"},
      {{"--provider-ca", "ca.pem"}, "--provider-ca needs --listen"},
      {{"--listen", "0", "--listen-certificate", "c.pem"},
       "--listen-certificate needs --listen-key"},
      {{"--listen", "0", "--provider-key", "AuthKey_A.p8"}, "--provider-key needs --team-id"},
      {{"--listen", "0", "--provider-key", "key.pem", "--team-id", "T"},
       "--provider-key needs --key-id: 'key.pem' is not named AuthKey_<ID>.p8"},
      {{"--listen", "0", "--team-id", "T"}, "--team-id needs --provider-key"},
      {{"--listen", "0", "--device-token", "xyz"}, "--device-token: 'xyz' is not hex digits"},
      {{"--listen", "0", "--key-id="}, "--key-id needs an ID"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    foundation::Result<Options> parsed = parseOptions(row.args);
    if (row.error != nullptr) {
      ASSERT_FALSE(parsed.ok());
      EXPECT_EQ(parsed.error().domain, NSPOSIXErrorDomain);
      EXPECT_EQ(parsed.error().description.find(row.error), 0u) << parsed.error().description;
      continue;
    }
    ASSERT_TRUE(parsed.ok()) << parsed.error().description;
    EXPECT_TRUE(*parsed == row.expected);
  }
}

}  // namespace

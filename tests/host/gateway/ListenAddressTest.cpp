// --listen's addresses, and the gateway's refusal to take unauthenticated pushes elsewhere
// than on loopback.
#include "host/gateway/ListenAddress.hpp"

#include <gtest/gtest.h>

#include "host/gateway/Gateway.hpp"

namespace host::gateway {
namespace {

TEST(ListenAddressTest, ParsesHostAndPort) {
  const struct {
    const char* text;
    const char* parsed;  // "" when refused
    bool loopback;
  } rows[] = {
      {"2197", "127.0.0.1:2197", true},
      {"0", "127.0.0.1:0", true},
      {"127.0.0.1:2197", "127.0.0.1:2197", true},
      {"127.9.9.9:1", "127.9.9.9:1", true},
      {"localhost:2197", "127.0.0.1:2197", true},
      {"[::1]:2197", "[::1]:2197", true},
      {"[::ffff:127.0.0.1]:2197", "[::ffff:127.0.0.1]:2197", true},
      {"0.0.0.0:2197", "0.0.0.0:2197", false},
      {"192.0.2.7:443", "192.0.2.7:443", false},
      {"[::]:2197", "[::]:2197", false},
      {"::1:2197", "", false},
      {"[::1]2197", "", false},
      {"127.0.0.1:", "", false},
      {"127.0.0.1:65536", "", false},
      {"127.0.0.1:-1", "", false},
      {"push.example:443", "", false},
      {"", "", false},
  };
  for (const auto& row : rows) {
    const foundation::Result<ListenAddress> address = parseListenAddress(row.text);
    if (*row.parsed == '\0') {
      EXPECT_FALSE(address.ok()) << row.text;
      if (!address.ok()) {
        EXPECT_NE(address.error().description.find("--listen"), std::string::npos);
      }
      continue;
    }
    ASSERT_TRUE(address.ok()) << row.text << ": " << address.error().description;
    EXPECT_EQ(address->text(), row.parsed) << row.text;
    EXPECT_EQ(isLoopback(*address), row.loopback) << row.text;
  }
}

TEST(ListenAddressTest, RefusesToOpenWithoutAuthenticationBeyondLoopback) {
  struct NoSink : PushSink {
    Answer take(Push) noexcept override { return {}; }
  } sink;
  GatewayOptions options;
  options.listen = *parseListenAddress("0.0.0.0:0");
  const foundation::Result<std::unique_ptr<Gateway>> opened = Gateway::open(options, sink);
  ASSERT_FALSE(opened.ok());
  EXPECT_NE(opened.error().description.find("loopback"), std::string::npos)
      << opened.error().description;
  // Nor does it stand for a device whose token is not hex.
  options.listen = *parseListenAddress("0");
  options.deviceToken = "not-a-token";
  options.topic = "com.halvicourt.app";
  const foundation::Result<std::unique_ptr<Gateway>> badToken = Gateway::open(options, sink);
  ASSERT_FALSE(badToken.ok());
  EXPECT_NE(badToken.error().description.find("not hex"), std::string::npos);
}

}  // namespace
}  // namespace host::gateway

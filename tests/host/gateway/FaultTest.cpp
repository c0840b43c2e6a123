// Bad peers: each fault costs its own connection or stream, and a good connection opened
// meanwhile still gets its answers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include "System/os_log.hpp"
#include "tests/host/gateway/GatewayRun.hpp"
#include "tests/host/gateway/H2Client.hpp"
#include "tests/host/gateway/TestCredentials.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/LogCapture.hpp"

namespace host::gateway::testing {
namespace {

const std::string kBody = R"({"aps":{"alert":"still here"}})";
const std::vector<std::pair<std::string, std::string>> kTopicHeader = {{"apns-topic", kTopic}};

class FaultTest : public ::testing::Test {
 protected:
  void start(GatewayLimits limits = {}) {
    GatewayOptions options = GatewayRun::defaults();
    options.limits = limits;
    gateway_ = std::make_unique<GatewayRun>(std::move(options), sink_, state_.path());
  }
  H2Client::Options client() const { return gateway_->client(); }
  std::unique_ptr<H2Client> connect(H2Client::Options options) {
    std::string error;
    std::unique_ptr<H2Client> made = H2Client::connect(options, &error);
    EXPECT_TRUE(made) << error;
    return made;
  }
  // A push on a new connection of its own is answered 200.
  void expectGoodConnection(const char* after) {
    std::unique_ptr<H2Client> good = connect(client());
    ASSERT_TRUE(good) << after;
    const H2Response& response =
        good->awaitResponse(good->push(gateway_->deviceToken(), kBody, kTopicHeader));
    EXPECT_EQ(response.status, 200) << after << ": " << response.body;
  }

  testing_support::TempDir state_;
  RecordingSink sink_;
  std::unique_ptr<GatewayRun> gateway_;
};

TEST_F(FaultTest, BytesThatAreNotTlsCloseTheirConnection) {
  start();
  const struct {
    const char* what;
    std::string bytes;
  } rows[] = {
      {"garbage", std::string("\x00\xff\x13\x37 not a hello", 16)},
      {"a plain-text request", "POST /3/device/00 HTTP/1.1\r\nHost: localhost\r\n\r\n"},
      {"the HTTP/2 preface in clear text", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"},
  };
  for (const auto& row : rows) {
    const RawExchange exchange = rawExchange(gateway_->port(), row.bytes);
    EXPECT_TRUE(exchange.peerClosed) << row.what;
    EXPECT_EQ(exchange.received.find("HTTP/1.1"), std::string::npos) << row.what;
    expectGoodConnection(row.what);
  }
}

TEST_F(FaultTest, ASilentClientHoldsOnlyItsOwnConnectionUntilItsDeadline) {
  GatewayLimits limits;
  // Long enough for a good client's handshake on a loaded machine, short enough to wait for.
  limits.firstFrame = std::chrono::seconds(3);
  start(limits);
  // Half a ClientHello, then nothing.
  const int halfOpen = connectLoopback(gateway_->port());
  ASSERT_GE(halfOpen, 0);
  const std::string hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  ASSERT_EQ(send(halfOpen, hello.data(), hello.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(hello.size()));
  // A finished handshake and no HTTP/2 after it.
  H2Client::Options quiet = client();
  quiet.preface = false;
  std::unique_ptr<H2Client> silent = connect(quiet);
  ASSERT_TRUE(silent);
  expectGoodConnection("while two connections are silent");
  EXPECT_TRUE(readUntilClosed(halfOpen));
  close(halfOpen);
  EXPECT_TRUE(silent->pumpUntil([&] { return silent->closed(); }));
}

TEST_F(FaultTest, ABadHttp2PeerLosesOnlyItsConnection) {
  start();
  testing_support::LogCapture log(OS_LOG_TYPE_DEBUG);
  // HTTP/1.1 over TLS, without ALPN: the gateway speaks h2, and the request is not its preface.
  H2Client::Options noAlpn = client();
  noAlpn.alpn = {};
  noAlpn.preface = false;
  std::unique_ptr<H2Client> http11 = connect(noAlpn);
  ASSERT_TRUE(http11);
  http11->writeRaw("POST /3/device/00 HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n\r\n{}");
  EXPECT_TRUE(http11->pumpUntil([&] { return http11->closed(); }));
  expectGoodConnection("HTTP/1.1 over TLS");

  // ALPN offering only http/1.1 fails the handshake.
  H2Client::Options onlyHttp11 = client();
  onlyHttp11.alpn = {"http/1.1"};
  EXPECT_FALSE(H2Client::connect(onlyHttp11));
  expectGoodConnection("ALPN http/1.1");

  // No ALPN at all, as some providers' clients send: h2 is spoken.
  noAlpn.preface = true;
  std::unique_ptr<H2Client> bare = connect(noAlpn);
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->alpn(), "");
  EXPECT_EQ(bare->awaitResponse(bare->push(gateway_->deviceToken(), kBody, kTopicHeader)).status,
            200);

  // Resets, stream after stream.
  std::unique_ptr<H2Client> flood = connect(client());
  ASSERT_TRUE(flood);
  for (int i = 0; i < 20000 && !flood->closed() && !flood->goawayReceived(); ++i) {
    const std::int32_t stream = flood->push(gateway_->deviceToken(), "", kTopicHeader, false);
    flood->reset(stream);
    flood->flush();
    flood->pumpAvailable();
  }
  EXPECT_TRUE(flood->pumpUntil([&] { return flood->goawayReceived() || flood->closed(); }));
  // libnghttp2 may refuse the flood itself (INTERNAL_ERROR) before the gateway's own bound
  // (ENHANCE_YOUR_CALM) does.
  EXPECT_TRUE(flood->goawayCode() == 11u || flood->goawayCode() == 2u) << flood->goawayCode();
  expectGoodConnection("a flood of resets");

  gateway_->stop();
  bool refusedAlpnLogged = false;
  bool notHttp2Logged = false;
  for (const auto& event : log.events()) {
    if (event["event"] != "connection.closed") continue;
    const std::string reason = event["reason"];
    refusedAlpnLogged |=
        reason.find("ALPN") != std::string::npos && reason.find("http/1.1") != std::string::npos;
    notHttp2Logged |= reason.find("not HTTP/2") != std::string::npos;
  }
  EXPECT_TRUE(refusedAlpnLogged) << log.text();
  EXPECT_TRUE(notHttp2Logged) << log.text();
}

TEST_F(FaultTest, ABadRequestLosesOnlyItsStream) {
  start();
  std::unique_ptr<H2Client> c = connect(client());
  ASSERT_TRUE(c);
  const std::string token = gateway_->deviceToken();
  // A header list past the bound.
  const H2Response& huge = c->awaitResponse(
      c->push(token, kBody, {{"apns-topic", kTopic}, {"x-padding", std::string(20000, 'p')}}));
  EXPECT_TRUE(huge.reset);
  EXPECT_EQ(huge.status, 0);
  // A body that never ends: answered once past its limit, and the rest refused.
  const std::int32_t endless = c->push(token, "{", kTopicHeader, false);
  for (int i = 0; i < 8 && !c->responses()[endless].closed; ++i) {
    c->sendData(endless, std::string(1024, ' '), false);
    c->pumpAvailable();
  }
  const H2Response& cut = c->awaitResponse(endless);
  EXPECT_EQ(cut.status, 413);
  EXPECT_EQ(cut.body, R"({"reason":"PayloadTooLarge"})");
  // A slow body holds its stream, not the connection.
  const std::int32_t slow = c->push(token, "{", kTopicHeader, false);
  EXPECT_EQ(c->awaitResponse(c->push(token, kBody, kTopicHeader)).status, 200);
  c->sendData(slow, "}", true);
  EXPECT_EQ(c->awaitResponse(slow).status, 200);
  EXPECT_FALSE(c->goawayReceived());
  EXPECT_EQ(sink_.taken().size(), 2u);
}

TEST_F(FaultTest, ConnectionsPastTheBoundAreClosedAtOnce) {
  GatewayLimits limits;
  limits.connections = 2;
  start(limits);

  std::unique_ptr<H2Client> first = connect(client());
  std::unique_ptr<H2Client> second = connect(client());
  ASSERT_TRUE(first && second);
  // Both are counted once the gateway has answered on them.
  EXPECT_EQ(first->awaitResponse(first->push(gateway_->deviceToken(), kBody, kTopicHeader)).status,
            200);
  EXPECT_EQ(
      second->awaitResponse(second->push(gateway_->deviceToken(), kBody, kTopicHeader)).status,
      200);
  EXPECT_FALSE(H2Client::connect(client()));
  first.reset();
  // The gateway notices the close on its own time: a new connection gets in once it has.
  std::unique_ptr<H2Client> third;
  EXPECT_TRUE(
      testing_support::waitFor([&] { return (third = H2Client::connect(client())) != nullptr; }));
  if (third) {
    EXPECT_EQ(
        third->awaitResponse(third->push(gateway_->deviceToken(), kBody, kTopicHeader)).status,
        200);
  }
}

}  // namespace
}  // namespace host::gateway::testing

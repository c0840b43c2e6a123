// Transfers as users meet them, through the extension process: HTTPS from nginx (TLS 1.2 and
// 1.3, HTTP/2) with a private authority trusted through OpenSSL's variables, and proxies
// from the environment (tinyproxy), all on loopback.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ExtensionRun.hpp"
#include "tests/support/ForwardProxy.hpp"
#include "tests/support/TestServer.hpp"
#include "tests/support/TlsServer.hpp"

namespace {

using nlohmann::json;
using namespace testing_support;

// Each request fetches the address it is named after; with a time limit far beyond the
// test, each must deliver by itself.
Outcome fetch(const std::vector<std::string>& addresses, std::vector<std::string> env) {
  std::string input;
  for (const std::string& address : addresses) input += requestLine(address, payload(address));
  return runExtension(
      {.args = {"--time-limit", "3600", "--log", "info"}, .input = input, .env = std::move(env)});
}

std::size_t attachments(const Outcome& outcome, const std::string& id) {
  return outcome.shown(id)["content"]["attachments"].size();
}

TEST(Transfers, APrivateAuthorityIsTrustedThroughOpenSSLsVariablesAndOthersAreRefused) {
  TlsServer server, impostor("Another Test Authority");
  const std::vector<std::string> addresses = {
      server.url("/image.png?1"), server.url("/image.png?2"), server.url("/image.png?3")};
  const std::string refused = impostor.url("/image.png");
  std::size_t served = 0;
  for (const std::string& setting : {"SSL_CERT_FILE=" + server.certificateFile(),
                                     "SSL_CERT_DIR=" + server.certificateDirectory()}) {
    SCOPED_TRACE(setting);
    std::vector<std::string> all = addresses;
    all.push_back(refused);
    const Outcome outcome = fetch(all, {setting});
    EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
    expectEachShownOnce(outcome, all);
    for (const std::string& address : addresses) EXPECT_EQ(attachments(outcome, address), 1u);
    // Refused at the handshake, the request is shown at once without its image, and the log
    // says why.
    EXPECT_EQ(attachments(outcome, refused), 0u);
    EXPECT_EQ(outcome.shown(refused)["expired"], false);
    EXPECT_NE(outcome.stderrText.find("SSL certificate problem: unable to get local issuer"),
              std::string::npos)
        << outcome.stderrText;
    // Over HTTP/2, all on one connection.
    served += addresses.size();
    ASSERT_TRUE(server.waitForRequests(served));
    const std::vector<TlsServer::Request> requests = server.requests();
    for (std::size_t i = served - addresses.size(); i < served; ++i) {
      EXPECT_EQ(requests[i].protocol, "HTTP/2.0") << requests[i].target;
      EXPECT_EQ(requests[i].connection, requests[served - 1].connection) << requests[i].target;
    }
  }
}

TEST(Transfers, ProxiesComeFromTheEnvironment) {
  TestServer origin;
  TlsServer secure;
  ForwardProxy proxy;
  const std::string plain = origin.url("/image.png"), tunnelled = secure.url("/image.png");
  const Outcome outcome = fetch(
      {plain, tunnelled}, {"http_proxy=" + proxy.url(), "https_proxy=" + proxy.url(),
                           "no_proxy=", "NO_PROXY=", "SSL_CERT_FILE=" + secure.certificateFile()});
  EXPECT_EQ(outcome.status, 0) << outcome.stderrText;
  EXPECT_EQ(attachments(outcome, plain), 1u);
  EXPECT_EQ(attachments(outcome, tunnelled), 1u);
  EXPECT_TRUE(proxy.waitForLog("GET " + plain + " HTTP/1.1")) << proxy.log();
  EXPECT_TRUE(proxy.waitForLog("CONNECT 127.0.0.1:" + std::to_string(secure.port())))
      << proxy.log();
}

}  // namespace

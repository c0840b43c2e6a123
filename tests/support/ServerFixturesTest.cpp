// The servers that the HTTPS and proxy tests run against, checked with the curl command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/ForwardProxy.hpp"
#include "tests/support/TestServer.hpp"
#include "tests/support/TlsServer.hpp"

namespace testing_support {
namespace {

// curl fetching `urls` into nowhere, printing "<HTTP version> <status>" for each.
CommandResult curl(std::vector<std::string> options, const std::vector<std::string>& urls) {
  options.insert(options.begin(), {"/usr/bin/curl", "--silent", "--show-error", "--write-out",
                                   "%{http_version} %{http_code}\\n"});
  for (const std::string& url : urls) options.insert(options.end(), {"--output", "/dev/null", url});
  return runCommand(options);
}

TEST(ServerFixtures, TlsServerSpeaksHttp2ToClientsThatTrustItsAuthorityOnly) {
  TlsServer server, impostor("Another Test Authority");

  CommandResult fetched = curl({"--noproxy", "*", "--cacert", server.certificateFile()},
                               {server.url("/image.png"), server.url("/pic.jpg?n=2")});
  EXPECT_EQ(fetched.output, "2 200\n2 200\n");
  ASSERT_TRUE(server.waitForRequests(2));
  const std::vector<TlsServer::Request> requests = server.requests();
  EXPECT_EQ(requests[0].protocol, "HTTP/2.0");
  EXPECT_EQ(requests[1].target, "/pic.jpg?n=2");
  EXPECT_EQ(requests[0].connection, requests[1].connection) << "one connection for both";

  const std::string byName = "https://localhost:" + std::to_string(server.port()) + "/image.webp";
  fetched = curl({"--noproxy", "*", "--capath", server.certificateDirectory()}, {byName});
  EXPECT_EQ(fetched.output, "2 200\n");

  fetched =
      curl({"--noproxy", "*", "--cacert", server.certificateFile()}, {impostor.url("/image.png")});
  EXPECT_EQ(fetched.status, 60) << fetched.output;  // CURLE_PEER_FAILED_VERIFICATION
}

TEST(ServerFixtures, ForwardProxyForwardsAndTunnelsAndLogsEachRequest) {
  TestServer origin;
  TlsServer secure;
  ForwardProxy proxy;

  CommandResult fetched = curl({"--proxy", proxy.url()}, {origin.url("/image.png")});
  EXPECT_EQ(fetched.output, "1.1 200\n");
  EXPECT_EQ(origin.hits("/image.png"), 1);
  EXPECT_TRUE(proxy.waitForLog("GET " + origin.url("/image.png") + " HTTP/1.1")) << proxy.log();

  fetched = curl({"--proxy", proxy.url(), "--cacert", secure.certificateFile()},
                 {secure.url("/image.gif")});
  EXPECT_EQ(fetched.output, "2 200\n");
  EXPECT_TRUE(proxy.waitForLog("CONNECT 127.0.0.1:" + std::to_string(secure.port())))
      << proxy.log();
}

}  // namespace
}  // namespace testing_support

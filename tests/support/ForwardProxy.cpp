#include "tests/support/ForwardProxy.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace testing_support {

ForwardProxy::ForwardProxy() {
  // Without ConnectPort lines tinyproxy tunnels to every port.
  const std::string config =
      "Listen 127.0.0.1\nAllow 127.0.0.1\nTimeout 60\nMaxClients 100\n"
      "LogLevel Info\nLogFile \"" +
      dir_.file("tinyproxy.log") + "\"\n";
  port_ = startOnFreePort(
      tinyproxy_, dir_.file("tinyproxy.out"),
      [&](int port) {
        writeFile(dir_.file("tinyproxy.conf"), "Port " + std::to_string(port) + "\n" + config);
        writeFile(dir_.file("tinyproxy.log"), "");
        return std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c",
                                        dir_.file("tinyproxy.conf")};
      },
      // It logs this once it holds the port.
      [&] { return log().find("Accepting connections") != std::string::npos; });
  EXPECT_NE(port_, 0) << "tinyproxy did not start: " << log()
                      << readFile(dir_.file("tinyproxy.out"));
}

bool ForwardProxy::waitForLog(const std::string& text) const {
  return waitFor([&] { return log().find(text) != std::string::npos; });
}

}  // namespace testing_support

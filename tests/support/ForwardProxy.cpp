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
  for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
    const int port = freeLoopbackPort();
    writeFile(dir_.file("tinyproxy.conf"), "Port " + std::to_string(port) + "\n" + config);
    writeFile(dir_.file("tinyproxy.log"), "");
    tinyproxy_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", dir_.file("tinyproxy.conf")},
        dir_.file("tinyproxy.out"));
    // It logs this once it holds the port, and exits when it cannot have it.
    waitFor([&] {
      return !tinyproxy_->running() || log().find("Accepting connections") != std::string::npos;
    });
    if (tinyproxy_->running()) port_ = port;
  }
  EXPECT_NE(port_, 0) << "tinyproxy did not start: " << log()
                      << readFile(dir_.file("tinyproxy.out"));
}

bool ForwardProxy::waitForLog(const std::string& text) const {
  return waitFor([&] { return log().find(text) != std::string::npos; });
}

}  // namespace testing_support

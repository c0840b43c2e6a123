// The gateway as its tests run it: in the test process, on a thread of its own, with a
// RecordingSink of the test's that records what it took and answers as told. Not
// thread-safe, except RecordingSink, which the gateway's thread and the test share.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/FileDescriptor.hpp"
#include "base/Mutex.hpp"
#include "host/gateway/Gateway.hpp"
#include "tests/host/gateway/H2Client.hpp"
#include "tests/support/TempDir.hpp"

namespace host::gateway::testing {

// Takes every push until `bound` were taken, then answers 429 TooManyRequests; refuses a
// body that does not start with '{' with 400 BadPayload, as a host refuses a payload it
// cannot read. Each take writes a "sink.take" event to the log, under the caller's activity.
class RecordingSink : public PushSink {
 public:
  Answer take(Push push) noexcept override EXCLUDES(mu_);

  void setBound(std::size_t bound) EXCLUDES(mu_);
  std::vector<Push> taken() const EXCLUDES(mu_);
  std::size_t refusedCount() const EXCLUDES(mu_);
  // Waits until at least `count` pushes were taken; false after a minute.
  bool waitForTaken(std::size_t count) EXCLUDES(mu_);

 private:
  mutable base::Mutex mu_;  // guards everything below
  std::vector<Push> taken_ GUARDED_BY(mu_);
  std::size_t bound_ GUARDED_BY(mu_) = static_cast<std::size_t>(-1);
  std::size_t refused_ GUARDED_BY(mu_) = 0;
  std::condition_variable changed_;
};

class GatewayRun {
 public:
  // Options for a gateway on 127.0.0.1, port 0, for kTopic, without authentication.
  static GatewayOptions defaults();

  // Opens the gateway, its device token and local authority in `stateDirectory` (failing the
  // test when it cannot), and runs it on a thread.
  GatewayRun(GatewayOptions options, PushSink& sink, const std::string& stateDirectory);
  ~GatewayRun() { stop(); }
  GatewayRun(const GatewayRun&) = delete;
  GatewayRun& operator=(const GatewayRun&) = delete;

  int port() const { return gateway_ ? gateway_->address().port() : 0; }
  const std::string& deviceToken() const { return gateway_->deviceToken(); }
  // The local authority's certificate, which clients trust.
  const std::string& authorityFile() const { return authorityFile_; }
  // The device's address at `host`, for a provider.
  std::string deviceUrl(const std::string& host = "127.0.0.1") const {
    return "https://" + host + ":" + std::to_string(port()) + "/3/device/" + deviceToken();
  }
  // What a client of the tests' own needs to connect.
  H2Client::Options client() const { return {.port = port(), .authorityFile = authorityFile_}; }
  // Makes the stop descriptor readable and waits for run() to return.
  void stop();

 private:
  std::unique_ptr<Gateway> gateway_;
  std::string authorityFile_;
  base::FileDescriptor stopRead_;
  base::FileDescriptor stopWrite_;
  std::thread thread_;
};

}  // namespace host::gateway::testing

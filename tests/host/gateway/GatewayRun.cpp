#include "tests/host/gateway/GatewayRun.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "System/os_log.hpp"
#include "tests/host/gateway/TestCredentials.hpp"

namespace host::gateway::testing {

Answer RecordingSink::take(Push push) noexcept {
  static const os_log_t log = os_log_create("com.halvicourt.UserNotifications", "test-sink");
  SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "sink.take", {{"apnsId", push.apnsId}});
  base::MutexLock lock(mu_);
  if (push.payload.empty() || push.payload[0] != '{') {
    ++refused_;
    return {400, "BadPayload"};
  }
  if (taken_.size() >= bound_) {
    ++refused_;
    return {429, "TooManyRequests"};
  }
  taken_.push_back(std::move(push));
  changed_.notify_all();
  return {};
}

void RecordingSink::setBound(std::size_t bound) {
  base::MutexLock lock(mu_);
  bound_ = bound;
}

std::vector<Push> RecordingSink::taken() const {
  base::MutexLock lock(mu_);
  return taken_;
}

std::size_t RecordingSink::refusedCount() const {
  base::MutexLock lock(mu_);
  return refused_;
}

bool RecordingSink::waitForTaken(std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  base::MutexLock lock(mu_);
  while (taken_.size() < count) {
    if (!lock.waitUntil(changed_, deadline)) return taken_.size() >= count;
  }
  return true;
}

GatewayOptions GatewayRun::defaults() {
  GatewayOptions options;
  options.listen = *parseListenAddress("127.0.0.1:0");
  options.topic = kTopic;
  return options;
}

GatewayRun::GatewayRun(GatewayOptions options, PushSink& sink, const std::string& stateDirectory) {
  foundation::Result<std::string> authority = useStateDirectory(options, stateDirectory);
  if (!authority.ok()) {
    ADD_FAILURE() << authority.error().description;
    return;
  }
  authorityFile_ = *authority;
  foundation::Result<std::unique_ptr<Gateway>> opened = Gateway::open(std::move(options), sink);
  if (!opened.ok()) {
    ADD_FAILURE() << opened.error().description;
    return;
  }
  gateway_ = std::move(*opened);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) std::abort();
  stopRead_ = base::FileDescriptor(ends[0]);
  stopWrite_ = base::FileDescriptor(ends[1]);
  thread_ = std::thread([this] { gateway_->run(stopRead_.get()); });
}

void GatewayRun::stop() {
  if (!thread_.joinable()) return;
  const char byte = 1;
  if (::write(stopWrite_.get(), &byte, 1) != 1) std::abort();
  thread_.join();
}

}  // namespace host::gateway::testing

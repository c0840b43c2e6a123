// Activities: the request an event carries across threads and scopes, and what it counts.
#include "System/os_activity.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/LogCapture.hpp"

namespace {

using testing_support::LogCapture;

TEST(os_activity, EventsCarryTheRequestAcrossAThreadHandOff) {
  LogCapture capture(OS_LOG_TYPE_INFO);
  os_log_t log = os_log_create("com.halvicourt.test", "activity");
  os_activity_t captured;
  {
    os_activity_t request =
        os_activity_create("request-1", OS_ACTIVITY_NONE, OS_ACTIVITY_FLAG_DEFAULT);
    system_log::ActivityScope scope(request);
    SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "made");
    captured = system_log::currentActivity();
  }
  // The creator's handle and scope are gone; the capture alone keeps the activity.
  SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "outside");
  std::thread([&] {
    system_log::ActivityScope scope(captured);
    SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "completed");
    {
      system_log::ActivityScope child(
          os_activity_create("write", OS_ACTIVITY_CURRENT, OS_ACTIVITY_FLAG_DEFAULT));
      SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "child");
    }
    {
      system_log::ActivityScope none(OS_ACTIVITY_NONE);
      SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "none");
    }
    {
      system_log::ActivityScope detached(
          os_activity_create("request-2", OS_ACTIVITY_CURRENT, OS_ACTIVITY_FLAG_DETACHED));
      SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "detached");
    }
    SYSTEM_LOG_EVENT(log, OS_LOG_TYPE_INFO, "restored");
  }).join();

  std::string seen;
  for (const auto& event : capture.events()) {
    seen += event["event"].get<std::string>() + "=" +
            (event["id"].is_null() ? "null" : event["id"].get<std::string>()) + " ";
  }
  EXPECT_EQ(seen,
            "made=request-1 outside=null completed=request-1 child=request-1 none=null "
            "detached=request-2 restored=request-1 ");
}

TEST(os_activity, CountsTransfersUnderItAndItsAncestors) {
  os_activity_t request =
      os_activity_create("request-3", OS_ACTIVITY_NONE, OS_ACTIVITY_FLAG_DEFAULT);
  os_activity_t retry = os_activity_create("retry", request, OS_ACTIVITY_FLAG_DEFAULT);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([mine = t % 2 == 0 ? request : retry] {
      for (int i = 0; i < 250; ++i) system_log::addTransfer(mine);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(system_log::transferCount(request), 1000u);
  EXPECT_EQ(system_log::transferCount(retry), 500u);
  system_log::addTransfer(OS_ACTIVITY_NONE);
  EXPECT_EQ(system_log::transferCount(OS_ACTIVITY_NONE), 0u);
}

}  // namespace

// The scheduler's rules, run against a clock whose time moves only when the scheduler would
// otherwise sleep, a sink that keeps its lines, and extensions of the test's own: expiry, the
// original shown when nothing was delivered, a push handed to the app, a collapse id, the
// bound on requests under way, the end of the run and the stop. No process, no real time, no
// files.
#include "host/Scheduler.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "System/Block.hpp"
#include "UserNotifications/UNNotificationServiceExtension.hpp"
#include "host/Payload.hpp"

namespace {

using host::Clock;
using nlohmann::json;

// Time moves only when the scheduler sleeps with nothing to do: then it jumps to the deadline.
class ManualClock final : public Clock {
 public:
  TimePoint now() override {
    std::lock_guard<std::mutex> lock(mu_);
    return now_;
  }
  void wait(std::span<pollfd> fds, std::optional<TimePoint> deadline) override {
    if (poll(fds.data(), fds.size(), 0) > 0 || !deadline) {
      if (!deadline) poll(fds.data(), fds.size(), -1);
      return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    now_ = std::max(now_, *deadline);
  }

 private:
  std::mutex mu_;
  TimePoint now_{};
};

class Lines final : public host::LineSink {
 public:
  // Fails every write from the `failAt`th on (1 for the first).
  explicit Lines(std::size_t failAt = 0) : failAt_(failAt) {}
  Written writeLine(std::string line) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return Written::closed;
    if (failAt_ != 0 && lines_.size() + 1 >= failAt_) return Written::failed;
    lines_.push_back(json::parse(line));
    return Written::yes;
  }
  void close() override {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
  }
  std::vector<json> lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  std::vector<json> of(const std::string& id) {
    std::vector<json> found;
    for (const json& line : lines()) {
      if (line["id"] == id) found.push_back(line);
    }
    return found;
  }

 private:
  std::mutex mu_;
  const std::size_t failAt_;
  bool closed_ = false;
  std::vector<json> lines_;
};

class Around final : public host::Scheduler::Listener {
 public:
  void beforeStart() override {}
  void lineWritten() override {}
  void shown(const std::string& id, const UNNotificationContent&,
             const host::ShownNotification* replaced) override {
    std::lock_guard<std::mutex> lock(mu_);
    shown_.push_back(id);
    replaced_.push_back(replaced != nullptr ? replaced->id : "");
  }
  std::vector<std::string> shownIds() {
    std::lock_guard<std::mutex> lock(mu_);
    return shown_;
  }
  // What each shown line replaced, in the order of shownIds(); "" for nothing.
  std::vector<std::string> replacedIds() {
    std::lock_guard<std::mutex> lock(mu_);
    return replaced_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> shown_;
  std::vector<std::string> replaced_;
};

class Unread final : public host::Diagnostics {
 public:
  void report(const std::string&) noexcept override {}
};

// The test's extensions: one delivers within the request message, one when its time runs out,
// one never; how many of them exist at once is counted.
std::atomic<int> gLiving{0};

class TestExtension final : public UNNotificationServiceExtension {
 public:
  explicit TestExtension(Class cls) : UNNotificationServiceExtension(cls) { ++gLiving; }
  ~TestExtension() override {
    if (block != nullptr) _Block_release(block);
    --gLiving;
  }
  void* block = nullptr;
  objc::Strong<UNNotificationContent> content;
};

enum class Delivers { atOnce, atExpiry, never };

id createTestExtension(Class cls) { return new TestExtension(cls); }
id initTestExtension(id self, SEL) { return self; }

template <Delivers kWhen>
void didReceive(id self, SEL, UNNotificationRequest* request, void* block) {
  if (kWhen == Delivers::atOnce) {
    blocks::invoke<void, UNNotificationContent*>(block, request->content().get());
  } else if (kWhen == Delivers::atExpiry) {
    auto* extension = static_cast<TestExtension*>(self);
    extension->block = _Block_copy(block);
    extension->content = request->content();
  }
}

void timeWillExpire(id self, SEL) {
  auto* extension = static_cast<TestExtension*>(self);
  if (extension->block != nullptr) {
    blocks::invoke<void, UNNotificationContent*>(extension->block, extension->content.get());
  }
}

template <Delivers kWhen>
constinit const objc_method kMethods[] = {
    {user_notifications::kDidReceiveNotificationRequestSelector, "v32@0:8@16@?24",
     OBJC_IMP(didReceive<kWhen>)},
    {user_notifications::kServiceExtensionTimeWillExpireSelector, "v16@0:8",
     OBJC_IMP(timeWillExpire)},
    {"init", "@16@0:8", OBJC_IMP(initTestExtension)},
};

template <Delivers kWhen>
constinit const objc_class kExtension = objc::makeClass(&objc_class_UNNotificationServiceExtension,
                                                        "SchedulerTestExtension",
                                                        sizeof(TestExtension), kMethods<kWhen>, {},
                                                        &createTestExtension);

host::PushRequest request(const std::string& id, bool mutableContent = true) {
  const json payload = {{"aps", {{"alert", "Hi"}, {"mutable-content", mutableContent ? 1 : 0}}}};
  return *host::requestFromPayload(id, payload);
}

// The extensions here start no transfers.
class NoTransfers final : public host::Scheduler::Transfers {
 public:
  bool waitUntilIdle(std::chrono::steady_clock::time_point) override { return true; }
  void cancelAll() override {}
};

// The same, come as a push of `pushType` under `collapseId` ("" for none).
host::PushRequest pushed(const std::string& id, const std::string& pushType,
                         const std::string& collapseId = "", bool mutableContent = true) {
  host::PushRequest made = request(id, mutableContent);
  made.push = host::PushHeaders{.apnsId = id,
                                .uniqueId = "u-" + id,
                                .topic = "com.halvicourt.app",
                                .pushType = pushType,
                                .priority = 10,
                                .expiration = std::nullopt,
                                .collapseId = collapseId};
  return made;
}

// One scheduler and everything it runs against.
struct Rig {
  explicit Rig(Class principal, host::Scheduler::Settings settings = {}, std::size_t failAt = 0)
      : stop(*host::Stop::make()),
        lines(failAt),
        scheduler(principal, settings, clock, lines, around, diagnostics, transfers, *stop) {}

  std::unique_ptr<host::Stop> stop;
  ManualClock clock;
  Lines lines;
  Around around;
  Unread diagnostics;
  NoTransfers transfers;
  host::Scheduler scheduler;
};

TEST(Scheduler, EachRequestIsShownOnceByTheRuleThatApplies) {
  struct Row {
    const char* id;
    Class principal;
    bool mutableContent;
    json shown;                      // the fields of its one line
    const char* pushType = nullptr;  // a push of this type; null for a line of input
  } const rows[] = {
      {"not mutable",
       &kExtension<Delivers::atOnce>,
       false,
       {{"source", "original"}, {"reason", "not-mutable"}, {"shown", true}}},
      {"delivers at once",
       &kExtension<Delivers::atOnce>,
       true,
       {{"source", "extension"}, {"call", 1}, {"expired", false}, {"shown", true}}},
      {"delivers at expiry",
       &kExtension<Delivers::atExpiry>,
       true,
       {{"source", "extension"}, {"call", 1}, {"expired", true}, {"shown", true}}},
      // The extension has been told, and still did not deliver: the original is shown.
      {"never delivers",
       &kExtension<Delivers::never>,
       true,
       {{"source", "original"}, {"reason", "no-delivery"}, {"shown", true}}},
      // The platform wakes the app with it: no notification, so no extension to wait for,
      // however mutable.
      {"a voip push",
       &kExtension<Delivers::never>,
       true,
       {{"source", "app"}, {"shown", false}, {"push", {{"pushType", "voip"}}}},
       "voip"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    Rig rig(row.principal, {.timeLimitSeconds = 30});
    rig.scheduler.submit(row.pushType != nullptr ? pushed(row.id, row.pushType)
                                                 : request(row.id, row.mutableContent));
    rig.scheduler.inputEnded();
    const Clock::TimePoint started = rig.clock.now();
    rig.scheduler.run();
    const std::vector<json> lines = rig.lines.of(row.id);
    ASSERT_EQ(lines.size(), 1u);
    for (const auto& [key, value] : row.shown.items()) {
      if (key == "push") {
        EXPECT_EQ(lines[0]["push"]["pushType"], value["pushType"]);
        EXPECT_EQ(lines[0]["push"]["apnsId"], row.id);
      } else {
        EXPECT_EQ(lines[0][key], value) << key;
      }
    }
    EXPECT_EQ(lines[0].contains("push"), row.pushType != nullptr);
    // Only a request the extension has not delivered waits out its time.
    const bool waited =
        row.shown.value("reason", "") == "no-delivery" || row.shown.value("expired", false);
    EXPECT_EQ(rig.clock.now() - started >= std::chrono::seconds(30), waited);
    // What is not shown is not on screen, so never on the desktop.
    EXPECT_EQ(rig.around.shownIds(), row.shown["shown"] == true ? std::vector<std::string>{row.id}
                                                                : std::vector<std::string>{});
    EXPECT_EQ(gLiving, 0);
  }
}

// The shown line of a push under a collapse id replaces the notification shown last under it,
// and says which; the listener hears it too, to take it off the screen.
TEST(Scheduler, APushUnderACollapseIdReplacesTheOneShownBeforeIt) {
  struct Row {
    const char* id;
    const char* pushType;
    const char* collapseId;
    const char* replaces;  // "" for nothing
  } const rows[] = {
      {"first", "alert", "harbour", ""},
      {"second", "alert", "harbour", "first"},
      {"elsewhere", "alert", "quay", ""},
      {"no collapse id", "alert", "", ""},
      // Not shown, so it takes no notification's place, and no later one takes its place.
      {"for the app", "background", "harbour", ""},
      {"third", "alert", "harbour", "second"},
  };
  // Shown as they arrived, in the order they arrived.
  Rig rig(&kExtension<Delivers::atOnce>);
  for (const Row& row : rows) {
    rig.scheduler.submit(pushed(row.id, row.pushType, row.collapseId, /*mutableContent=*/false));
  }
  rig.scheduler.inputEnded();
  rig.scheduler.run();
  std::vector<std::string> replaced;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    const std::vector<json> lines = rig.lines.of(row.id);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].value("replaces", ""), row.replaces);
    EXPECT_EQ(lines[0]["push"]["collapseId"],
              *row.collapseId != '\0' ? json(row.collapseId) : json());
    if (std::string(row.pushType) == "alert") replaced.push_back(row.replaces);
  }
  EXPECT_EQ(rig.around.replacedIds(), replaced);
}

// Requests handed over and not yet shown are held to the bound: a reader waits for room, a
// push is refused.
TEST(Scheduler, RequestsUnderWayAreHeldToTheBound) {
  Rig rig(&kExtension<Delivers::never>, {.timeLimitSeconds = 1, .maximumUnderWay = 2});
  EXPECT_TRUE(rig.scheduler.trySubmit(request("a")));
  EXPECT_TRUE(rig.scheduler.trySubmit(request("b")));
  EXPECT_FALSE(rig.scheduler.trySubmit(request("refused")));
  // The reader's third request waits until the first two have been shown.
  std::thread reader([&] {
    for (const char* id : {"c", "d", "e"}) rig.scheduler.submit(request(id), /*waitForRoom=*/true);
    rig.scheduler.inputEnded();
  });
  rig.scheduler.run();
  reader.join();
  const std::vector<json> lines = rig.lines.lines();
  std::vector<std::string> ids;
  for (const json& line : lines) ids.push_back(line["id"]);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
}

// A caller that hands over far ahead of the host thread waits until it has taken what was
// handed over; when the host thread does not take it, no longer than the caller asked.
TEST(Scheduler, AHandOverFarAheadWaitsForTheHostThread) {
  Rig rig(&kExtension<Delivers::never>, {.timeLimitSeconds = 1});
  for (const char* id : {"a", "b", "c"}) {
    ASSERT_TRUE(rig.scheduler.trySubmit(request(id, false), /*wake=*/false));
  }
  rig.scheduler.waitForHostThread(3, std::chrono::minutes(10));  // not ahead: at once
  rig.scheduler.waitForHostThread(1, std::chrono::milliseconds(1));
  std::thread host([&] { rig.scheduler.run(); });
  rig.scheduler.wake();
  rig.scheduler.waitForHostThread(0, std::chrono::minutes(10));  // the test's timeout otherwise
  rig.scheduler.inputEnded();
  host.join();
  EXPECT_EQ(rig.lines.lines().size(), 3u);
}

// After the run's end nothing more is written: a late delivery is dropped.
TEST(Scheduler, TheRunEndsOnceEveryRequestIsShownAndDropsWhatComesAfter) {
  Rig rig(&kExtension<Delivers::atExpiry>, {.timeLimitSeconds = 5});
  rig.scheduler.submit(request("r"));
  rig.scheduler.inputEnded();
  rig.scheduler.run();
  EXPECT_EQ(rig.lines.of("r").size(), 1u);
  EXPECT_EQ(rig.lines.writeLine(R"({"id":"late"})"), host::LineSink::Written::closed);
}

// At the stop, every request not yet shown is told its time is over and shown at once, and
// the run ends without waiting: the clock does not move.
TEST(Scheduler, TheStopShowsEveryRequestAtOnce) {
  Rig rig(&kExtension<Delivers::never>, {.timeLimitSeconds = 3600});
  rig.scheduler.submit(request("a"));
  rig.scheduler.submit(request("b"));
  rig.stop->request();
  rig.scheduler.inputEnded();
  const Clock::TimePoint started = rig.clock.now();
  rig.scheduler.run();
  EXPECT_EQ(rig.clock.now(), started);
  for (const char* id : {"a", "b"}) {
    const std::vector<json> lines = rig.lines.of(id);
    ASSERT_EQ(lines.size(), 1u) << id;
    EXPECT_EQ(lines[0]["reason"], "no-delivery");
  }
}

// Once a line cannot be written, nobody reads what is shown: the run ends as at the stop.
TEST(Scheduler, AFailedLineRequestsTheStop) {
  Rig rig(&kExtension<Delivers::never>, {.timeLimitSeconds = 3600}, /*failAt=*/2);
  rig.scheduler.submit(request("first", false));
  rig.scheduler.submit(request("second", false));
  rig.scheduler.submit(request("waits", true));
  rig.scheduler.inputEnded();
  const Clock::TimePoint started = rig.clock.now();
  rig.scheduler.run();
  EXPECT_TRUE(rig.stop->requested());
  EXPECT_EQ(rig.clock.now(), started);
  EXPECT_EQ(rig.lines.lines().size(), 1u);
}

}  // namespace

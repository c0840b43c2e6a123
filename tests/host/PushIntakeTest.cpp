// What the host answers each push that passed the gateway's checks: the body as a payload, the
// scheduler's bound, and the request it hands over for one it takes.
#include "host/PushIntake.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using host::gateway::Answer;
using host::gateway::Push;

TEST(PushIntake, AnswersEachPushAndHandsOverOnlyThoseItTakes) {
  struct Row {
    const char* what;
    std::string payload;
    bool room;  // the scheduler has room for one more
    int status;
    std::string reason;
  } const rows[] = {
      {"a payload it takes", R"({"aps":{"alert":"Hi","mutable-content":1}})", true, 200, ""},
      {"not JSON", "{\"aps\":", true, 400, "not valid JSON"},
      {"an array", "[1]", true, 400, "payload is not a JSON object"},
      {"a field of the wrong type", R"({"aps":{"badge":"3"}})", true, 400,
       "\"aps.badge\" is not a number"},
      {"no room", R"({"aps":{"alert":"Hi"}})", false, 429, "TooManyRequests"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<host::PushRequest> submitted;
    host::PushIntake intake([&](host::PushRequest request) {
      if (row.room) submitted.push_back(std::move(request));
      return row.room;
    });
    const Answer answer = intake.take(Push{.apnsId = "6f1c1a9e-3b2d-4c5e-8f70-112233445566",
                                           .uniqueId = "u",
                                           .topic = "com.halvicourt.app",
                                           .pushType = "alert",
                                           .priority = 5,
                                           .expiration = 1900000000,
                                           .collapseId = "harbour",
                                           .payload = row.payload});
    EXPECT_EQ(answer.status, row.status);
    EXPECT_EQ(answer.reason, row.reason);
    ASSERT_EQ(submitted.size(), row.status == 200 ? 1u : 0u);
    if (submitted.empty()) continue;
    const host::PushRequest& request = submitted[0];
    EXPECT_EQ(request.request->identifier(), "6f1c1a9e-3b2d-4c5e-8f70-112233445566");
    EXPECT_TRUE(request.mutableContent);
    ASSERT_TRUE(request.push);
    EXPECT_EQ(request.push->apnsId, "6f1c1a9e-3b2d-4c5e-8f70-112233445566");
    EXPECT_EQ(request.push->uniqueId, "u");
    EXPECT_EQ(request.push->priority, 5);
    EXPECT_EQ(request.push->expiration, 1900000000);
    EXPECT_EQ(request.push->collapseId, "harbour");
  }
}

}  // namespace

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
      // What is wrong with it, in the words a bad input line gets (PayloadTest has them all).
      {"a payload it refuses", R"({"aps":{"badge":"3"}})", true, 400,
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
    Push push;
    push.apnsId = "6f1c1a9e-3b2d-4c5e-8f70-112233445566";
    push.collapseId = "harbour";
    push.payload = row.payload;
    const Answer answer = intake.take(std::move(push));
    EXPECT_EQ(answer.status, row.status);
    EXPECT_EQ(answer.reason, row.reason);
    ASSERT_EQ(submitted.size(), row.status == 200 ? 1u : 0u);
    if (submitted.empty()) continue;
    // The request is the push's: its apns-id names it, and its headers go with it.
    EXPECT_EQ(submitted[0].request->identifier(), "6f1c1a9e-3b2d-4c5e-8f70-112233445566");
    ASSERT_TRUE(submitted[0].push);
    EXPECT_EQ(submitted[0].push->collapseId, "harbour");
  }
}

}  // namespace

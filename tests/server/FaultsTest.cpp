// Fault rules that wait for their turn, apply before failing, and the request counters.
#include "server/Faults.h"

#include <gtest/gtest.h>

#include "server/ServerTestSupport.h"

namespace keel::server::testing {
namespace {

class FaultsTest : public ::testing::Test {
 protected:
  void addRule(const std::string& rule) { ASSERT_EQ(client_.send("POST", "/__keel/faults", rule).status, 200) << rule; }
  json::object control() { return client_.send("GET", "/__keel/faults").object(); }

  TestServer server_;
  HttpClient client_{server_.port()};
};

TEST_F(FaultsTest, FailsOnlyAfterLettingTheFirstRequestsThrough) {
  // The third page of a sync fails, once; other paths never count towards it.
  addRule(R"({"path": "/1/classes/Video", "after": 2, "status": 503})");
  EXPECT_EQ(client_.find("Video").status, 200);
  EXPECT_EQ(client_.find("Other").status, 200);
  EXPECT_EQ(client_.find("Video").status, 200);
  EXPECT_EQ(client_.find("Video").status, 503);
  EXPECT_EQ(client_.find("Video").status, 200);
  EXPECT_TRUE(control().at("rules").as_array().empty());
}

TEST_F(FaultsTest, AWaitingRuleCountsRequestsThatAnotherRuleAnswers) {
  addRule(R"({"path": "/1/classes/*", "status": 500, "count": 2})");
  addRule(R"({"path": "/1/classes/Video", "after": 2, "status": 418})");
  EXPECT_EQ(client_.find("Video").status, 500);
  EXPECT_EQ(client_.find("Video").status, 500);
  EXPECT_EQ(client_.find("Video").status, 418);
}

TEST_F(FaultsTest, CountsRequestsPerPathAndMethodUntilCleared) {
  client_.find("Video");
  client_.find("Video");
  client_.get("/1/classes/Video");
  client_.get("/1/unknown");
  auto counters = control();
  EXPECT_EQ(counters.at("requests").at("/1/classes/Video").as_int64(), 3);
  EXPECT_EQ(counters.at("requests").at("/1/unknown").as_int64(), 1);
  EXPECT_EQ(counters.at("requestsByMethod").at("POST /1/classes/Video").as_int64(), 2);
  EXPECT_EQ(counters.at("requestsByMethod").at("GET /1/classes/Video").as_int64(), 1);
  // The control path itself is not counted.
  EXPECT_FALSE(counters.at("requests").as_object().contains("/__keel/faults"));
  ASSERT_EQ(client_.send("DELETE", "/__keel/faults").status, 200);
  EXPECT_TRUE(control().at("requests").as_object().empty());
}

TEST_F(FaultsTest, AnAppliedRequestTakesEffectAlthoughItsReplyFails) {
  addRule(R"({"path": "/1/classes/Note", "method": "POST", "apply": true, "status": 503})");
  EXPECT_EQ(client_.post("/1/classes/Note", {{"text", "kept"}}).status, 503);
  auto found = client_.find("Note");
  ASSERT_EQ(found.status, 200);
  EXPECT_EQ(results(found).size(), 1u);

  addRule(R"({"path": "/1/classes/Note", "method": "POST", "apply": true, "drop": true})");
  HttpClient fresh(server_.port());
  EXPECT_THROW(fresh.post("/1/classes/Note", {{"text", "lost reply"}}), boost::system::system_error);
  EXPECT_EQ(results(client_.find("Note", {{"where", {{"text", "lost reply"}}}})).size(), 1u);
}

TEST_F(FaultsTest, RefusesMalformedWaitingAndApplyingRules) {
  EXPECT_EQ(client_.send("POST", "/__keel/faults", R"({"path": "/x", "status": 500, "after": -1})").status, 400);
  EXPECT_EQ(client_.send("POST", "/__keel/faults", R"({"path": "/x", "status": 500, "after": "2"})").status, 400);
  EXPECT_EQ(client_.send("POST", "/__keel/faults", R"({"path": "/x", "status": 500, "apply": 1})").status, 400);
}

TEST(FaultsCounterTest, StopsCountingNewPathsAtItsLimit) {
  Faults faults;
  for (std::size_t i = 0; i < Faults::kMaxCountedPaths + 5; ++i) faults.take("GET", "/1/classes/A/" + std::to_string(i));
  faults.take("GET", "/1/classes/A/0");
  const auto counters = faults.counters();
  EXPECT_EQ(counters.at("requests").as_object().size(), Faults::kMaxCountedPaths);
  EXPECT_EQ(counters.at("requests").at("/1/classes/A/0").as_int64(), 2);
}

}  // namespace
}  // namespace keel::server::testing

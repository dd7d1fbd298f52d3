// Changes sent with "X-Keel-Request-Id" take effect once, however often they are sent.
#include "server/RequestLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "server/ServerTestSupport.h"

namespace keel::server::testing {
namespace {

// A backend on a database file, with a clock the test moves.
class Backend {
 public:
  Backend(const std::string& path, std::atomic<std::int64_t>& now, const std::string& appId = kAppId)
      : store_(path, 2),
        api_(store_, config(appId, now), faults_),
        server_(TestServer::quietOptions(), [this](const ApiRequest& r) { return api_.handle(r); }, &faults_) {
    server_.start();
  }
  std::uint16_t port() const { return server_.port(); }

 private:
  static ApiConfig config(const std::string& appId, std::atomic<std::int64_t>& now) {
    ApiConfig c{appId, kClientKey, kMasterKey, {}, true, {}};
    c.requestIdRetention = std::chrono::hours(1);
    c.clock = [&now] { return now.load(); };
    return c;
  }
  Store store_;
  Faults faults_;
  Api api_;
  HttpServer server_;
};

std::map<std::string, std::string> headersWithId(const std::string& id, const std::string& appId = kAppId) {
  return {{"X-Keel-Application-Id", appId}, {"X-Keel-Client-Key", kClientKey}, {"X-Keel-Request-Id", id}};
}

const std::string kIncrement = R"({"n": {"__op": "Increment", "amount": 1}})";

class RequestIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto r = client_.post("/1/classes/Counter", {{"n", 0}});
    ASSERT_EQ(r.status, 201) << r.body;
    path_ = "/1/classes/Counter/" + std::string(r.object().at("objectId").as_string());
  }
  std::int64_t counter() { return client_.get(path_).object().at("n").as_int64(); }
  Reply increment(HttpClient& c, const std::string& id) { return c.send("PUT", path_, kIncrement, headersWithId(id)); }

  TempDatabase db_{"request-ids"};
  std::atomic<std::int64_t> now_{1700000000000};
  std::unique_ptr<Backend> backend_ = std::make_unique<Backend>(db_.path(), now_);
  HttpClient client_{backend_->port()};
  std::string path_;
};

TEST_F(RequestIdTest, ARepeatedChangeGetsTheFirstReplyAndAppliesOnce) {
  const auto first = increment(client_, "Command-0001");
  ASSERT_EQ(first.status, 200) << first.body;
  auto again = increment(client_, "Command-0001");
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(again.body, first.body);
  EXPECT_EQ(again.headers["X-Keel-Replayed"], "true");
  EXPECT_EQ(first.headers.count("X-Keel-Replayed"), 0u);
  EXPECT_EQ(counter(), 1);
  EXPECT_EQ(increment(client_, "Command-0002").status, 200);
  EXPECT_EQ(counter(), 2);

  // A create repeated gives the same object, not a second one.
  const auto created = client_.send("POST", "/1/classes/Note", R"({"text": "once"})", headersWithId("Command-0003"));
  ASSERT_EQ(created.status, 201);
  const auto recreated = client_.send("POST", "/1/classes/Note", R"({"text": "once"})", headersWithId("Command-0003"));
  EXPECT_EQ(recreated.status, 201);
  EXPECT_EQ(recreated.body, created.body);
  EXPECT_EQ(results(client_.find("Note")).size(), 1u);
}

TEST_F(RequestIdTest, ConcurrentDuplicatesApplyOnceAndAllGetTheSameReply) {
  constexpr int kSenders = 8;
  std::vector<Reply> replies(kSenders);
  std::vector<std::thread> senders;
  for (int i = 0; i < kSenders; ++i)
    senders.emplace_back([&, i] {
      HttpClient own(backend_->port());
      replies[i] = increment(own, "Command-race");
    });
  for (auto& t : senders) t.join();
  for (const auto& r : replies) {
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body, replies[0].body);
  }
  EXPECT_EQ(counter(), 1);
}

TEST_F(RequestIdTest, AReplyLostOnTheWayIsAnsweredFromTheLog) {
  ASSERT_EQ(client_.send("POST", "/__keel/faults", R"({"path": "/1/classes/Counter/*", "method": "PUT",
                                                       "apply": true, "drop": true})").status, 200);
  HttpClient lost(backend_->port());
  EXPECT_THROW(increment(lost, "Command-lost"), boost::system::system_error);
  HttpClient retry(backend_->port());
  auto replayed = increment(retry, "Command-lost");
  EXPECT_EQ(replayed.status, 200);
  EXPECT_EQ(replayed.headers["X-Keel-Replayed"], "true");
  EXPECT_EQ(counter(), 1);
}

TEST_F(RequestIdTest, TheLogOutlivesARestart) {
  ASSERT_EQ(increment(client_, "Command-restart").status, 200);
  backend_.reset();
  backend_ = std::make_unique<Backend>(db_.path(), now_);
  HttpClient after(backend_->port());
  EXPECT_EQ(increment(after, "Command-restart").headers["X-Keel-Replayed"], "true");
  EXPECT_EQ(after.get(path_).object().at("n").as_int64(), 1);
}

TEST_F(RequestIdTest, ALogNotKeptPerCallerIsDroppedAtStartUp) {
  backend_.reset();
  {
    // The layout of a log that did not know who sent a change, holding a reply for anyone.
    platform::Database db(db_.path());
    db.exec("DROP TABLE request_log");
    db.exec("CREATE TABLE request_log(application TEXT NOT NULL, request_id TEXT NOT NULL, method TEXT NOT NULL, "
            "path TEXT NOT NULL, status INTEGER NOT NULL, reply TEXT NOT NULL, written_at INTEGER NOT NULL, "
            "PRIMARY KEY(application, request_id)) WITHOUT ROWID");
    db.exec("INSERT INTO request_log VALUES('" + std::string(kAppId) + "', 'Command-old', 'PUT', '" + path_ +
            "', 200, '{\"someone\": \"else\"}', " + std::to_string(now_.load()) + ")");
  }
  backend_ = std::make_unique<Backend>(db_.path(), now_);
  HttpClient after(backend_->port());
  auto reply = increment(after, "Command-old");
  EXPECT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.headers.count("X-Keel-Replayed"), 0u);
  EXPECT_EQ(after.get(path_).object().at("n").as_int64(), 1);
  EXPECT_EQ(increment(after, "Command-old").headers["X-Keel-Replayed"], "true");
}

TEST_F(RequestIdTest, ARefusedChangeLeavesNothingSoItsRetryRuns) {
  auto refused = client_.send("PUT", path_, R"({"n": "text"})", headersWithId("Command-fix"));
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(increment(client_, "Command-fix").status, 200);
  EXPECT_EQ(counter(), 1);
}

TEST_F(RequestIdTest, ABatchIsOneChangeAndItsRefusedEntriesLeaveNothing) {
  const std::string body = R"({"requests": [
      {"method": "PUT", "path": ")" + path_ + R"(", "body": {"n": {"__op": "Increment", "amount": 5}}},
      {"method": "POST", "path": "/1/classes/Counter", "body": {"n": "not a number", "m": 1}},
      {"method": "POST", "path": "/1/classes/Other", "body": {"x": 1}}]})";
  const auto first = client_.send("POST", "/1/batch", body, headersWithId("Command-batch"));
  ASSERT_EQ(first.status, 200) << first.body;
  const auto parsed = first.json();
  const auto& entries = parsed.as_array();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_TRUE(entries[0].as_object().contains("success"));
  EXPECT_TRUE(entries[1].as_object().contains("error"));
  EXPECT_TRUE(entries[2].as_object().contains("success"));
  const auto again = client_.send("POST", "/1/batch", body, headersWithId("Command-batch"));
  EXPECT_EQ(again.body, first.body);
  EXPECT_EQ(counter(), 5);
  EXPECT_EQ(results(client_.find("Counter")).size(), 1u);
  EXPECT_EQ(results(client_.find("Other")).size(), 1u);
}

TEST_F(RequestIdTest, RefusesIdsReusedForAnotherRequestAndMalformedIds) {
  ASSERT_EQ(increment(client_, "Command-one").status, 200);
  const auto reused = client_.send("POST", "/1/classes/Note", R"({"a": 1})", headersWithId("Command-one"));
  EXPECT_EQ(reused.status, 400);
  EXPECT_EQ(reused.object().at("code").as_int64(), 107);
  for (const std::string& bad : {std::string(), std::string("has space"), std::string(RequestLog::kMaxIdLength + 1, 'x')})
    EXPECT_EQ(increment(client_, bad).status, 400) << bad;
  EXPECT_EQ(results(client_.find("Note")).size(), 0u);
  EXPECT_EQ(counter(), 1);
}

TEST_F(RequestIdTest, ReadsWithAnIdAreAnsweredAfresh) {
  auto read = [&] { return client_.send("GET", path_, {}, headersWithId("Command-read")).object().at("n").as_int64(); };
  EXPECT_EQ(read(), 0);
  ASSERT_EQ(increment(client_, "Command-change").status, 200);
  EXPECT_EQ(read(), 1);
}

TEST_F(RequestIdTest, IdsExpireAfterTheRetentionWindowAndBelongToOneApplication) {
  ASSERT_EQ(increment(client_, "Command-old").status, 200);
  now_ += std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::minutes(59)).count();
  EXPECT_EQ(increment(client_, "Command-old").headers["X-Keel-Replayed"], "true");
  now_ += std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::minutes(2)).count();
  EXPECT_EQ(increment(client_, "Command-old").headers.count("X-Keel-Replayed"), 0u);
  EXPECT_EQ(counter(), 2);

  // Another application served from the same database has ids of its own.
  Backend other(db_.path(), now_, "other-app");
  HttpClient otherClient(other.port());
  auto r = otherClient.send("PUT", path_, kIncrement, headersWithId("Command-old", "other-app"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers.count("X-Keel-Replayed"), 0u);
  EXPECT_EQ(counter(), 3);
}

}  // namespace
}  // namespace keel::server::testing

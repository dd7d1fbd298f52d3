// The run forms of Query through a configured Keel: against keel-server for what a query finds,
// against a scripted server for timing, bad replies and what goes on the wire.
#include <keel/objects/Query.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>

#include <keel/base/Exception.h>
#include <keel/core/CoreManager.h>
#include <keel/core/Keel.h>
#include <keel/core/KeelManager.h>
#include <keel/objects/KeyValueCache.h>
#include <keel/objects/Object.h>
#include <keel/objects/QueryController.h>
#include <keel/objects/SessionTokenProvider.h>
#include <keel/platform/Dispatch.h>

#include "support/KeelServerProcess.h"
#include "support/ScriptedHttpServer.h"
#include "support/StorageTestSupport.h"

namespace keel {
namespace {

using namespace std::chrono_literals;
using testing::KeelServerProcess;
using testing::ScriptedHttpServer;
using testing::ScriptedResponse;

class QueryRunTest : public testing::SandboxedTest {
 protected:
  static void SetUpTestSuite() { server_ = new KeelServerProcess(KEEL_SERVER_BINARY); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    SandboxedTest::SetUp();
    ASSERT_TRUE(server_->started());
    configure(server_->url());
    if (ids_.empty()) {
      for (const char* name : {"breathe", "stretch", "walk"}) {
        Dictionary fields;
        fields.set("name", Value(name));
        auto command = RESTCommand::commandWithHTTPPath("classes/Exercise", "POST", fields, std::nullopt);
        ErrorPtr error;
        auto reply = Keel::_currentManager()->commandRunner()->runCommandAsync(command, 0).waitForResult(&error, false);
        ASSERT_TRUE(reply) << (error ? error->description() : "");
        ids_[name] = reply->result().get("objectId").stringValue();
      }
    }
  }

  void configure(const std::string& url) {
    Keel::_clearCurrentManager();
    Keel::setServer(url);
    Keel::setApplicationId(server_->options().applicationId, server_->options().clientKey);
  }

  static QueryPtr exercises() {
    auto query = Query::queryWithClassName("Exercise");
    query->orderByAscending("name");
    return query;
  }
  static std::string nameOf(const ObjectPtr& object) {
    auto name = object ? object->objectForKey("name") : std::nullopt;
    return name && name->isString() ? name->stringValue() : "?";
  }

  static KeelServerProcess* server_;
  static std::map<std::string, std::string> ids_;
};

KeelServerProcess* QueryRunTest::server_ = nullptr;
std::map<std::string, std::string> QueryRunTest::ids_;

TEST_F(QueryRunTest, FindCountFirstAndGetAgainstTheServer) {
  ErrorPtr error;
  auto found = exercises()->findObjects(&error);
  ASSERT_FALSE(error) << error->description();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(nameOf(found[0]), "breathe");
  EXPECT_EQ(exercises()->countObjects(), 3);

  // The first of the order, not the last, and the query itself now asks for one.
  auto first = exercises();
  EXPECT_EQ(nameOf(first->getFirstObject()), "breathe");
  EXPECT_EQ(first->limit(), 1);

  auto byId = exercises();
  byId->whereKeyEqualTo("name", Value("nothing of that name"));
  EXPECT_EQ(nameOf(byId->getObjectWithId(ids_["walk"])), "walk");
  EXPECT_EQ(nameOf(Query::getObjectOfClass("Exercise", ids_["stretch"])), "stretch");

  ErrorPtr missing;
  EXPECT_EQ(Query::getObjectOfClass("Exercise", "no-such-id", &missing), nullptr);
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->code(), kQueryErrorObjectNotFound);
  EXPECT_EQ(missing->localizedDescription(), "No results matched the query.");
}

TEST_F(QueryRunTest, CacheThenNetworkAnswersTwiceAndOnlyFromACallback) {
  auto query = exercises();
  query->setCachePolicy(CachePolicy::CacheThenNetwork);
  EXPECT_THROW(query->findObjects(), InternalInconsistencyException);
  EXPECT_THROW(query->countObjectsInBackground(), InternalInconsistencyException);
  EXPECT_FALSE(query->isRunning());

  std::vector<std::pair<std::size_t, long>> calls;  // objects, error code (0: none)
  auto record = [&](std::vector<ObjectPtr> objects, ErrorPtr error) {
    calls.emplace_back(objects.size(), error ? error->code() : 0);
  };
  query->findObjectsInBackgroundWithBlock(record);
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return calls.size() == 2 && !query->isRunning(); }, 10000ms));
  EXPECT_EQ(calls[0], std::make_pair(std::size_t{0}, kQueryErrorCacheMiss));
  EXPECT_EQ(calls[1], std::make_pair(std::size_t{3}, 0L));

  // The network half stored its result: now both halves find.
  calls.clear();
  query->findObjectsInBackgroundWithBlock(record);
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return calls.size() == 2 && !query->isRunning(); }, 10000ms));
  EXPECT_EQ(calls[0], std::make_pair(std::size_t{3}, 0L));
  EXPECT_TRUE(query->hasCachedResult());
  query->clearCachedResult();
  keyValueCache(*Keel::_currentManager()->coreManager())->waitForOutstandingOperations();
  EXPECT_FALSE(query->hasCachedResult());
}

class QueryRunScriptedTest : public QueryRunTest {
 protected:
  void SetUp() override {
    QueryRunTest::SetUp();
    configure(scripted.baseURL());
  }
  ScriptedHttpServer scripted;
};

TEST_F(QueryRunScriptedTest, CancellingBetweenTheHalvesOfCacheThenNetworkStopsTheNetworkHalf) {
  scripted.setDefaultResponse(ScriptedResponse::json(200, R"({"results": [{"objectId": "x"}]})"));
  auto query = exercises();
  query->setCachePolicy(CachePolicy::CacheThenNetwork);
  std::atomic<int> calls = 0;
  bool runningInBetween = false;
  query->findObjectsInBackgroundWithBlock([&](std::vector<ObjectPtr>, ErrorPtr) {
    if (++calls == 1) {
      runningInBetween = query->isRunning();
      query->cancel();
    }
  });
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return calls >= 1; }, 10000ms));
  platform::MainLoop::drain();
  EXPECT_TRUE(runningInBetween);

  // A later run's request is the only one the server ever sees.
  auto probe = exercises();
  ErrorPtr error;
  EXPECT_EQ(probe->findObjectsInBackground().waitForResult(&error, false).size(), 1u);
  EXPECT_EQ(scripted.requestCount(), 1u);
  platform::MainLoop::drain();
  EXPECT_EQ(calls, 1);
}

TEST_F(QueryRunScriptedTest, ARunningQueryRefusesBuildersAndARefusedRunLeavesItIdle) {
  ScriptedResponse slow = ScriptedResponse::json(200, R"({"results": []})");
  slow.delay = 300ms;
  scripted.enqueue(slow);
  auto query = exercises();
  auto task = query->findObjectsInBackground();
  EXPECT_THROW(query->whereKeyEqualTo("name", Value("x")), InternalInconsistencyException);
  EXPECT_THROW(query->findObjectsInBackground(), InternalInconsistencyException);
  task.waitForResult(nullptr, false);
  EXPECT_FALSE(query->isRunning());
  EXPECT_NO_THROW(query->whereKeyEqualTo("name", Value("x")));

  // An or-query whose subquery has a limit is refused before it is marked running.
  auto limited = exercises();
  limited->setLimit(2);
  auto either = Query::orQueryWithSubqueries({limited, exercises()});
  EXPECT_THROW(either->findObjectsInBackground(), InvalidArgumentException);
  EXPECT_FALSE(either->isRunning());
}

TEST_F(QueryRunScriptedTest, BadRepliesAreErrorsOfBlockingRunsNeverExceptions) {
  scripted.setDefaultResponse(ScriptedResponse::json(200, R"({"count": "many", "results": [7]})"));
  ErrorPtr findError;
  std::vector<ObjectPtr> found;
  EXPECT_NO_THROW(found = exercises()->findObjects(&findError));
  ASSERT_TRUE(findError);
  EXPECT_EQ(findError->code(), kQueryErrorInternalServer);
  ErrorPtr countError;
  EXPECT_EQ(exercises()->countObjects(&countError), -1);
  ASSERT_TRUE(countError);
  EXPECT_EQ(countError->code(), kQueryErrorInternalServer);
}

class FixedSession : public SessionTokenProvider {
 public:
  Task<std::optional<std::string>> currentSessionTokenAsync() override {
    return Task<std::optional<std::string>>::taskWithResult(std::string("r:alice"));
  }
};

TEST_F(QueryRunScriptedTest, TheSignedInUsersTokenGoesWithTheQueryAndKeysItsCache) {
  scripted.setDefaultResponse(ScriptedResponse::json(200, R"({"results": [{"objectId": "x"}]})"));
  auto query = exercises();
  query->setCachePolicy(CachePolicy::NetworkOnly);
  query->findObjects();
  auto core = Keel::_currentManager()->coreManager();
  keyValueCache(*core)->waitForOutstandingOperations();
  EXPECT_TRUE(query->hasCachedResult());

  core->setComponent<SessionTokenProvider>(std::make_shared<FixedSession>());
  EXPECT_FALSE(query->hasCachedResult());
  query->findObjects();
  EXPECT_EQ(scripted.requests().back().header("x-keel-session-token"), "r:alice");
  keyValueCache(*core)->waitForOutstandingOperations();
  EXPECT_TRUE(query->hasCachedResult());
}

}  // namespace
}  // namespace keel

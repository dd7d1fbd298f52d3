#include <keel/objects/QueryController.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>

#include <keel/network/URLSessionCommandRunner.h>
#include <keel/objects/KeyValueCache.h>
#include <keel/objects/Query.h>
#include <keel/objects/RESTQueryCommand.h>

#include "client/objects/ObjectTestSupport.h"
#include "support/KeelServerProcess.h"
#include "support/ScriptedHttpServer.h"
#include "support/StorageTestSupport.h"

namespace keel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::KeelServerProcess;
using testing::ScriptedHttpServer;
using testing::ScriptedResponse;

class NoRequestData : public CommandRequestDataSource {
 public:
  std::string installationIdentifier() override { return "query-controller-test"; }
};

// A runner and a cache the test chooses; either may be swapped between runs.
class TestQuerySource : public QueryControllerDataSource {
 public:
  std::shared_ptr<CommandRunning> commandRunner() override { return runner; }
  std::shared_ptr<KeyValueCache> keyValueCache() override { return cache; }
  std::shared_ptr<URLSessionCommandRunner> runner;
  std::shared_ptr<KeyValueCache> cache;
};

struct FindOutcome {
  std::vector<ObjectPtr> objects;
  ErrorPtr error;
  bool cancelled = false;
  std::exception_ptr exception;
};

class QueryControllerTest : public testing::SandboxedTest {
 protected:
  static void SetUpTestSuite() { server_ = new KeelServerProcess(KEEL_SERVER_BINARY); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    SandboxedTest::SetUp();
    ASSERT_TRUE(server_->started()) << "keel-server did not start";
    source->cache = std::make_shared<KeyValueCache>(root + "/cache");
    useServer(server_->url());
    controller = CachedQueryController::controllerWithCommonDataSource(source);
    seedOnce();
  }

  // Points the controller at `url`, retrying quickly so that a dead server fails fast.
  void useServer(const std::string& url) {
    source->runner = URLSessionCommandRunner::commandRunnerWithDataSource(
        requestData_, server_->options().applicationId, server_->options().clientKey, url);
    source->runner->setInitialRetryDelay(0.001);
  }
  void useDeadServer() { useServer("http://127.0.0.1:" + std::to_string(testing::unusedLoopbackPort())); }

  // Three "Exercise" objects, made once for the suite.
  void seedOnce() {
    if (seeded_) return;
    for (const char* name : {"breathe", "stretch", "walk"}) {
      Dictionary fields;
      fields.set("name", Value(name));
      auto command = RESTCommand::commandWithHTTPPath("classes/Exercise", "POST", fields, std::nullopt);
      ErrorPtr error;
      source->runner->runCommandAsync(command, 0).waitForResult(&error, false);
      ASSERT_FALSE(error) << error->description();
    }
    seeded_ = true;
  }

  static QueryStatePtr exercises(CachePolicy policy, std::optional<std::string> className = std::nullopt) {
    auto query = Query::queryWithClassName(className.value_or("Exercise"));
    query->orderByAscending("name").setCachePolicy(policy);
    return query->state();
  }

  FindOutcome find(const QueryStatePtr& state, const std::optional<std::string>& sessionToken = std::nullopt,
                   const CancellationTokenPtr& token = nullptr) {
    auto task = controller->findObjectsAsync(state, token, sessionToken);
    task.waitUntilFinished();
    return {task.result(), task.error(), task.isCancelled(), task.exception()};
  }

  static std::vector<std::string> names(const std::vector<ObjectPtr>& objects) {
    std::vector<std::string> out;
    for (const auto& object : objects) {
      auto name = object->objectForKey("name");
      out.push_back(name && name->isString() ? name->stringValue() : "?");
    }
    return out;
  }

  bool cached(const QueryStatePtr& state, const std::optional<std::string>& sessionToken = std::nullopt) {
    source->cache->waitForOutstandingOperations();
    return controller->hasCachedResultForQueryState(*state, sessionToken);
  }

  const std::vector<std::string> all_ = {"breathe", "stretch", "walk"};
  std::shared_ptr<TestQuerySource> source = std::make_shared<TestQuerySource>();
  std::shared_ptr<QueryController> controller;
  std::atomic<Date> clock_{dateFromMillis(1'700'000'000'000)};
  std::shared_ptr<NoRequestData> requestData_ = std::make_shared<NoRequestData>();
  static KeelServerProcess* server_;
  static bool seeded_;
};

KeelServerProcess* QueryControllerTest::server_ = nullptr;
bool QueryControllerTest::seeded_ = false;

TEST_F(QueryControllerTest, EveryPolicyWithTheServerUp) {
  struct Case {
    CachePolicy policy;
    bool finds;
    bool stores;
  };
  for (const Case& c : {Case{CachePolicy::IgnoreCache, true, false}, Case{CachePolicy::CacheOnly, false, false},
                        Case{CachePolicy::NetworkOnly, true, true}, Case{CachePolicy::CacheElseNetwork, true, true},
                        Case{CachePolicy::NetworkElseCache, true, true}}) {
    SCOPED_TRACE(static_cast<int>(c.policy));
    controller->clearAllCachedResults();
    auto state = exercises(c.policy);
    auto outcome = find(state);
    if (c.finds) {
      ASSERT_FALSE(outcome.error) << outcome.error->description();
      EXPECT_EQ(names(outcome.objects), all_);
    } else {
      ASSERT_TRUE(outcome.error);
      EXPECT_EQ(outcome.error->code(), kQueryErrorCacheMiss);
      EXPECT_EQ(outcome.error->localizedDescription(), "Cache miss.");
    }
    EXPECT_EQ(cached(state), c.stores);
  }
}

TEST_F(QueryControllerTest, EveryPolicyWithTheServerDown) {
  // Warm: what the network stored answers the cache policies; the network policies fail.
  ASSERT_FALSE(find(exercises(CachePolicy::NetworkOnly)).error);
  useDeadServer();
  for (CachePolicy policy : {CachePolicy::CacheOnly, CachePolicy::CacheElseNetwork, CachePolicy::NetworkElseCache}) {
    SCOPED_TRACE(static_cast<int>(policy));
    auto outcome = find(exercises(policy));
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(names(outcome.objects), all_);
  }
  for (CachePolicy policy : {CachePolicy::IgnoreCache, CachePolicy::NetworkOnly}) {
    auto outcome = find(exercises(policy));
    ASSERT_TRUE(outcome.error);
    EXPECT_NE(outcome.error->code(), kQueryErrorCacheMiss);
  }

  // Cold: network-else-cache ends with the cache's miss, cache-else-network with the network's
  // error.
  controller->clearAllCachedResults();
  auto networkElseCache = find(exercises(CachePolicy::NetworkElseCache));
  ASSERT_TRUE(networkElseCache.error);
  EXPECT_EQ(networkElseCache.error->code(), kQueryErrorCacheMiss);
  auto cacheElseNetwork = find(exercises(CachePolicy::CacheElseNetwork));
  ASSERT_TRUE(cacheElseNetwork.error);
  EXPECT_NE(cacheElseNetwork.error->code(), kQueryErrorCacheMiss);
}

TEST_F(QueryControllerTest, ACachedResultIsServedUpToItsMaxAgeExactly) {
  source->cache = std::make_shared<KeyValueCache>(root + "/cache", [this] { return clock_.load(); });
  ASSERT_FALSE(find(exercises(CachePolicy::NetworkOnly)).error);
  auto withMaxAge = [](double seconds) {
    auto query = Query::queryWithState(*exercises(CachePolicy::CacheOnly));
    query->setMaxCacheAge(seconds);
    return query->state();
  };
  clock_ = clock_.load() + std::chrono::seconds(10);
  EXPECT_FALSE(find(withMaxAge(10)).error);
  clock_ = clock_.load() + std::chrono::milliseconds(1);
  auto stale = find(withMaxAge(10));
  ASSERT_TRUE(stale.error);
  EXPECT_EQ(stale.error->code(), kQueryErrorCacheMiss);
  // The stale entry is gone, not merely skipped.
  EXPECT_TRUE(find(withMaxAge(1e9)).error);
}

TEST_F(QueryControllerTest, DamagedCacheEntriesAreMissesAndCacheElseNetworkRecovers) {
  auto state = exercises(CachePolicy::NetworkOnly);
  ASSERT_FALSE(find(state).error);
  source->cache->waitForOutstandingOperations();

  // Flip a byte of every entry file, then start over with a cache that has nothing in memory.
  for (const auto& entry : fs::directory_iterator(root + "/cache")) {
    std::fstream file(entry.path(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(fs::file_size(entry.path()) - 3));
    file.put('#');
  }
  source->cache = std::make_shared<KeyValueCache>(root + "/cache");

  auto cacheOnly = find(exercises(CachePolicy::CacheOnly));
  ASSERT_TRUE(cacheOnly.error);
  EXPECT_EQ(cacheOnly.error->localizedDescription(), "Cache miss.");
  auto recovered = find(exercises(CachePolicy::CacheElseNetwork));
  ASSERT_FALSE(recovered.error) << recovered.error->description();
  EXPECT_EQ(names(recovered.objects), all_);
  EXPECT_TRUE(cached(state));

  // An entry that is not JSON, and one that is JSON but no find reply.
  const std::string key = *controller->cacheKeyForQueryState(*state, std::nullopt);
  source->cache->setObject("{\"results\": [", key);
  auto corrupt = find(exercises(CachePolicy::CacheOnly));
  ASSERT_TRUE(corrupt.error);
  EXPECT_EQ(corrupt.error->code(), kQueryErrorCacheMiss);
  EXPECT_EQ(corrupt.error->localizedDescription(), "Cache contains corrupted JSON.");
  source->cache->setObject("{\"results\": 7}", key);
  auto wrongShape = find(exercises(CachePolicy::CacheOnly));
  ASSERT_TRUE(wrongShape.error);
  EXPECT_EQ(wrongShape.error->code(), kQueryErrorInternalServer);
}

TEST_F(QueryControllerTest, CountsThroughTheCacheToo) {
  ErrorPtr error;
  EXPECT_EQ(controller->countObjectsAsync(exercises(CachePolicy::NetworkOnly), nullptr, std::nullopt)
                .waitForResult(&error, false),
            3);
  ASSERT_FALSE(error) << error->description();
  useDeadServer();
  EXPECT_EQ(controller->countObjectsAsync(exercises(CachePolicy::CacheElseNetwork), nullptr, std::nullopt)
                .waitForResult(&error, false),
            3);
  // The count is cached under its own key, never served as a find.
  EXPECT_EQ(find(exercises(CachePolicy::CacheOnly)).error->code(), kQueryErrorCacheMiss);
}

// ---- Against a scripted server: replies keel-server never sends -----------------------------

class QueryControllerReplyTest : public QueryControllerTest {
 protected:
  void SetUp() override {
    QueryControllerTest::SetUp();
    useServer(scripted.baseURL());
  }
  void answer(const std::string& body) { scripted.setDefaultResponse(ScriptedResponse::json(200, body)); }
  ScriptedHttpServer scripted;
};

TEST_F(QueryControllerReplyTest, MalformedFindRepliesAreErrorsAndAreNotCached) {
  for (const char* body : {R"({})", R"({"results": {}})", R"({"results": [{"objectId": "a"}, 3]})",
                           R"([{"objectId": "a"}])", R"({"results": [], "className": 5})",
                           R"({"results": [{"objectId": "a"}], "className": "../up"})"}) {
    SCOPED_TRACE(body);
    answer(body);
    auto state = exercises(CachePolicy::NetworkOnly);
    // A blocking wait returns the error; nothing is thrown at the waiter.
    ErrorPtr error;
    std::vector<ObjectPtr> objects;
    EXPECT_NO_THROW(objects = controller->findObjectsAsync(state, nullptr, std::nullopt).waitForResult(&error, false));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kQueryErrorInternalServer);
    EXPECT_TRUE(objects.empty());
    EXPECT_FALSE(cached(state));
  }
}

TEST_F(QueryControllerReplyTest, MalformedCountRepliesAreErrors) {
  for (const char* body : {R"({})", R"({"count": "3"})", R"({"count": -1})", R"({"count": 2.5})",
                           R"({"count": true})", R"({"count": null})"}) {
    SCOPED_TRACE(body);
    answer(body);
    ErrorPtr error;
    auto count = controller->countObjectsAsync(exercises(CachePolicy::IgnoreCache), nullptr, std::nullopt)
                     .waitForResult(&error, false);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kQueryErrorInternalServer);
    EXPECT_EQ(count, 0);
  }
  answer(R"({"results": [], "count": 4.0})");
  EXPECT_EQ(controller->countObjectsAsync(exercises(CachePolicy::IgnoreCache), nullptr, std::nullopt)
                .waitForResult(nullptr, false),
            4);
}

TEST_F(QueryControllerReplyTest, TheReplysClassNameAndTraceAreHonoured) {
  answer(R"({"className": "Video", "trace": "scan 3 rows\n", "results": [{"objectId": "v1"}, {"objectId": "v2"}]})");
  testing::CapturedLog log;
  auto outcome = find(exercises(CachePolicy::IgnoreCache));
  ASSERT_FALSE(outcome.error);
  ASSERT_EQ(outcome.objects.size(), 2u);
  EXPECT_EQ(outcome.objects[0]->className(), "Video");
  EXPECT_EQ(outcome.objects[1]->objectId(), "v2");
  std::string written;
  for (const auto& line : log.lines) written += line + "|";
  EXPECT_NE(written.find("Pre-processing took "), std::string::npos) << written;
  EXPECT_NE(written.find("scan 3 rows"), std::string::npos) << written;
  EXPECT_NE(written.find("Client side parsing took "), std::string::npos) << written;
}

TEST_F(QueryControllerReplyTest, CancellingStopsTheRunAndStoresNothing) {
  // Cancelled before it starts: nothing is sent.
  auto early = CancellationTokenSource::cancellationTokenSource();
  early->cancel();
  EXPECT_TRUE(find(exercises(CachePolicy::NetworkOnly), std::nullopt, early->token()).cancelled);
  EXPECT_EQ(scripted.requestCount(), 0u);

  // Cancelled while the server takes its time.
  ScriptedResponse slow = ScriptedResponse::json(200, R"({"results": [{"objectId": "late"}]})");
  slow.delay = 10s;
  scripted.enqueue(slow);
  auto source = CancellationTokenSource::cancellationTokenSource();
  auto state = exercises(CachePolicy::NetworkElseCache);
  auto task = controller->findObjectsAsync(state, source->token(), std::nullopt);
  ASSERT_TRUE(scripted.waitForRequests(1, 5s));
  source->cancel();
  task.waitUntilFinished();
  EXPECT_TRUE(task.isCancelled());
  EXPECT_FALSE(cached(state));
}

}  // namespace
}  // namespace keel

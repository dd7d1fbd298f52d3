#include <keel/network/URLSessionCommandRunner.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <sstream>

#include <keel/tasks/Executor.h>
#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>
#include <keel/platform/Dispatch.h>
#include "support/ScriptedHttpServer.h"

namespace keel {
namespace {

using namespace std::chrono_literals;
using testing::ReceivedRequest;
using testing::ScriptedHttpServer;
using testing::ScriptedResponse;

class MapLocalIdStore : public LocalIdLookup {
 public:
  std::optional<std::string> objectIdForLocalId(const std::string& localId) override {
    std::lock_guard lock(mutex);
    auto it = ids.find(localId);
    if (it == ids.end()) return std::nullopt;
    return it->second;
  }
  void record(const std::string& localId, const std::string& objectId) {
    std::lock_guard lock(mutex);
    ids[localId] = objectId;
  }

 private:
  std::mutex mutex;
  std::map<std::string, std::string> ids;
};

class TestDataSource : public CommandRequestDataSource {
 public:
  std::string installationIdentifier() override { return "inst-test"; }
  std::shared_ptr<LocalIdLookup> objectLocalIdStore() override { return store; }
  std::shared_ptr<MapLocalIdStore> store = std::make_shared<MapLocalIdStore>();
};

template <typename T>
bool finishes(const Task<T>& task, std::chrono::milliseconds timeout = 10s) {
  auto done = std::make_shared<platform::Semaphore>(0);
  task.continueWithExecutor(Executor::immediateExecutor(), [done](const Task<T>&) { done->signal(); });
  return done->waitFor(timeout);
}

// Counts the runner's retry log lines while alive.
class RetryLogCounter {
 public:
  RetryLogCounter() {
    previous_ = Logger::sharedLogger().setSink([this](const std::string& line) {
      if (line.find("Network connection failed. Making attempt") != std::string::npos) count.fetch_add(1);
    });
  }
  ~RetryLogCounter() { Logger::sharedLogger().setSink(previous_); }
  std::atomic<int> count{0};

 private:
  Logger::Sink previous_;
};

class CommandRunnerTest : public ::testing::Test {
 protected:
  std::shared_ptr<URLSessionCommandRunner> makeRunner(const ScriptedHttpServer& server, bool trustServer = true) {
    platform::HTTPSessionConfiguration configuration;
    if (trustServer) configuration.extraTrustedCAFile = server.caCertificatePath();
    auto runner = URLSessionCommandRunner::commandRunnerWithDataSource(source, "app-id", "client-key", server.baseURL(),
                                                                       configuration);
    runner->setInitialRetryDelay(0.02);
    return runner;
  }

  static RESTCommandPtr findVideos() {
    return RESTCommand::commandWithHTTPPath("classes/Video", "GET", Dictionary{{"limit", Value(2)}},
                                            std::string("r:session"));
  }

  std::shared_ptr<TestDataSource> source = std::make_shared<TestDataSource>();
};

TEST_F(CommandRunnerTest, SendsTheFullRequestShapeAndReturnsTheParsedReply) {
  ScriptedHttpServer server;
  server.enqueue(ScriptedResponse::json(200, R"({"results":[{"objectId":"v1"}]})"));
  auto runner = makeRunner(server);
  auto task = runner->runCommandAsync(findVideos(), kCommandRunningOptionRetryIfFailed);
  ASSERT_TRUE(finishes(task));
  ASSERT_FALSE(task.isFaulted()) << task.error()->description();
  CommandResultPtr result = task.result();
  EXPECT_EQ(result->httpResponse().statusCode, 200);
  EXPECT_EQ(result->result().get("results").arrayValue().at(0).get("objectId"), Value("v1"));
  EXPECT_EQ(result->resultString(), R"({"results":[{"objectId":"v1"}]})");

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const ReceivedRequest& r = requests[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.target, "/1/classes/Video");
  EXPECT_EQ(*JSONSerialization::JSONObjectFromString(r.body),
            Value(Dictionary{{"limit", Value(2)}, {"_method", Value("GET")}}));
  EXPECT_EQ(r.header("content-type"), "application/json; charset=utf-8");
  EXPECT_EQ(r.header("x-keel-application-id"), "app-id");
  EXPECT_EQ(r.header("x-keel-client-key"), "client-key");
  EXPECT_EQ(r.header("x-keel-client-version"), "i1.9.1");
  EXPECT_EQ(r.header("x-keel-installation-id"), "inst-test");
  EXPECT_EQ(r.header("x-keel-session-token"), "r:session");
  EXPECT_FALSE(r.header("x-keel-os-version").empty());
  EXPECT_EQ(r.header("cookie"), "");
}

TEST_F(CommandRunnerTest, FailsAtOnceOnAClientErrorEvenWithTheRetryOption) {
  ScriptedHttpServer server;
  server.setDefaultResponse(ScriptedResponse::json(404, R"({"code":101,"error":"Object not found."})"));
  auto runner = makeRunner(server);
  auto task = runner->runCommandAsync(findVideos(), kCommandRunningOptionRetryIfFailed);
  ASSERT_TRUE(finishes(task));
  ASSERT_TRUE(task.error());
  EXPECT_EQ(task.error()->domain(), "Keel");
  EXPECT_EQ(task.error()->code(), 101);
  EXPECT_EQ(task.error()->userInfo()["temporary"], Value(0));
  EXPECT_EQ(task.error()->localizedDescription(), "Object not found.");
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(CommandRunnerTest, SendsAServerErrorFiveTimesWithDoublingWaitsThenFailsWithItsCode) {
  ScriptedHttpServer server;
  server.setDefaultResponse(ScriptedResponse::json(500, R"({"code":1,"error":"Internal"})"));
  server.enqueue(ScriptedResponse::json(503, R"({"code":155,"error":"Busy"})"));
  auto runner = makeRunner(server);
  RetryLogCounter log;
  auto task = runner->runCommandAsync(findVideos(), kCommandRunningOptionRetryIfFailed);
  ASSERT_TRUE(finishes(task));
  ASSERT_TRUE(task.error());
  EXPECT_EQ(task.error()->code(), 1);
  EXPECT_EQ(task.error()->userInfo()["temporary"], Value(1));

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(log.count.load(), 4);
  // Waits are d, 2d, 4d, 8d with d in [20 ms, 40 ms].
  for (std::size_t i = 1; i < requests.size(); ++i) {
    auto gap = requests[i].receivedAt - requests[i - 1].receivedAt;
    EXPECT_GE(gap, 20ms * (1 << (i - 1))) << "wait " << i;
  }

  auto once = runner->runCommandAsync(findVideos(), kCommandRunningOptionNone);
  ASSERT_TRUE(finishes(once));
  EXPECT_EQ(server.requestCount(), 6u);
}

TEST_F(CommandRunnerTest, RetriesARefusedConnectionAndFailsWithTheTransportError) {
  ScriptedHttpServer unused;
  auto runner = makeRunner(unused);
  runner->requestConstructor()->setServerURLString("http://127.0.0.1:" + std::to_string(testing::unusedLoopbackPort()));
  RetryLogCounter log;
  auto task = runner->runCommandAsync(findVideos(), kCommandRunningOptionRetryIfFailed);
  ASSERT_TRUE(finishes(task));
  ASSERT_TRUE(task.error());
  EXPECT_EQ(task.error()->code(), 100);
  EXPECT_EQ(task.error()->userInfo()["temporary"], Value(1));
  ErrorPtr original = Error::fromValue(task.error()->userInfo()["originalError"]);
  ASSERT_TRUE(original);
  EXPECT_EQ(original->code(), platform::kHTTPErrorCannotConnectToHost);
  EXPECT_EQ(task.error()->localizedDescription(), original->localizedDescription());
  EXPECT_EQ(log.count.load(), 4);
}

TEST_F(CommandRunnerTest, TreatsADroppedConnectionAsATemporaryTransportFailure) {
  ScriptedHttpServer server;
  server.enqueue(ScriptedResponse::dropped());
  server.enqueue(ScriptedResponse::json(201, R"({"objectId":"new"})"));
  auto runner = makeRunner(server);
  auto task = runner->runCommandAsync(
      RESTCommand::commandWithHTTPPath("classes/Video", "POST", Dictionary{{"Mins", Value(5)}}, std::nullopt),
      kCommandRunningOptionRetryIfFailed);
  ASSERT_TRUE(finishes(task));
  ASSERT_FALSE(task.isFaulted());
  EXPECT_EQ(task.result()->result().get("objectId"), Value("new"));
  EXPECT_EQ(server.requestCount(), 2u);
}

// Replies are read by the library's own parser: deeper documents than a default Boost.JSON
// parse allows come through, exact to the last digit, and a number no double can hold is a
// corrupt reply rather than an exception on the session's thread.
TEST_F(CommandRunnerTest, ReadsDeepAndPreciseRepliesAndRefusesNumbersOutOfRange) {
  ScriptedHttpServer server;
  std::string deep = "1.0000000000000002";
  for (int i = 0; i < 40; ++i) deep = "[" + deep + "]";
  server.enqueue(ScriptedResponse::json(200, R"({"deep":)" + deep + R"(,"score":4.1851944843074307E-7})"));
  server.enqueue(ScriptedResponse::json(200, R"({"n":1e400})"));
  auto runner = makeRunner(server);

  auto ok = runner->runCommandAsync(findVideos(), kCommandRunningOptionNone);
  ASSERT_TRUE(finishes(ok));
  ASSERT_FALSE(ok.isFaulted()) << (ok.error() ? ok.error()->description() : "");
  Value inner = ok.result()->result().get("deep");
  for (int i = 0; i < 40; ++i) inner = inner.arrayValue().at(0);
  EXPECT_EQ(inner.doubleValue(), 1.0000000000000002);
  EXPECT_EQ(ok.result()->result().get("score").doubleValue(), 4.1851944843074307E-7);

  auto huge = runner->runCommandAsync(findVideos(), kCommandRunningOptionNone);
  ASSERT_TRUE(finishes(huge));
  ASSERT_TRUE(huge.error());
  EXPECT_EQ(huge.error()->domain(), kJSONErrorDomain);
  EXPECT_EQ(huge.error()->code(), kJSONErrorCodeCorrupt);
}

TEST_F(CommandRunnerTest, ReportsBodiesThatAreNotJSONOrAreMissing) {
  ScriptedHttpServer server;
  server.enqueue(ScriptedResponse::json(200, "<html>oops</html>"));
  server.enqueue(ScriptedResponse::json(200, ""));
  server.enqueue(ScriptedResponse::json(500, "[1,2]"));
  server.enqueue(ScriptedResponse::json(302, "[1,2]"));
  auto runner = makeRunner(server);

  auto notJSON = runner->runCommandAsync(findVideos(), kCommandRunningOptionRetryIfFailed);
  ASSERT_TRUE(finishes(notJSON));
  ASSERT_TRUE(notJSON.error());
  EXPECT_EQ(notJSON.error()->domain(), kJSONErrorDomain);
  EXPECT_EQ(notJSON.error()->code(), kJSONErrorCodeCorrupt);

  auto empty = runner->runCommandAsync(findVideos(), kCommandRunningOptionRetryIfFailed);
  ASSERT_TRUE(finishes(empty));
  ASSERT_TRUE(empty.error());
  EXPECT_EQ(empty.error()->domain(), "Keel");
  EXPECT_EQ(empty.error()->code(), 1);

  auto noErrorEntry = runner->runCommandAsync(findVideos(), kCommandRunningOptionRetryIfFailed);
  ASSERT_TRUE(finishes(noErrorEntry));
  ASSERT_TRUE(noErrorEntry.error());
  EXPECT_EQ(noErrorEntry.error()->code(), 1);
  EXPECT_EQ(noErrorEntry.error()->localizedDescription(), "[1,2]");

  auto redirect = runner->runCommandAsync(findVideos(), kCommandRunningOptionNone);
  ASSERT_TRUE(finishes(redirect));
  ASSERT_FALSE(redirect.isFaulted());
  EXPECT_EQ(redirect.result()->result(), Value(Array{Value(1), Value(2)}));
  EXPECT_EQ(server.requestCount(), 4u);
}

TEST_F(CommandRunnerTest, CancelsDuringABackOffWait) {
  ScriptedHttpServer server;
  server.setDefaultResponse(ScriptedResponse::json(500, R"({"code":1,"error":"Internal"})"));
  auto runner = makeRunner(server);
  runner->setInitialRetryDelay(30.0);
  auto cancellation = CancellationTokenSource::cancellationTokenSource();
  auto task = runner->runCommandAsync(findVideos(), kCommandRunningOptionRetryIfFailed, cancellation->token());
  ASSERT_TRUE(server.waitForRequests(1, 5s));
  EXPECT_FALSE(finishes(task, 50ms));
  cancellation->cancel();
  ASSERT_TRUE(finishes(task, 2s));
  EXPECT_TRUE(task.isCancelled());
  EXPECT_FALSE(task.isFaulted());
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(CommandRunnerTest, ACancellationJustBeforeTheBackOffWaitStopsTheChainAtOnce) {
  ScriptedHttpServer server;
  server.setDefaultResponse(ScriptedResponse::json(500, R"({"code":1,"error":"Internal"})"));
  auto center = std::make_shared<platform::NotificationCenter>();
  auto runner = URLSessionCommandRunner::initWithDataSource(
      source, URLSession::sessionWithConfiguration({}, {}),
      CommandURLRequestConstructor::constructorWithDataSource(source, server.baseURL()), center);
  runner->setInitialRetryDelay(30.0);
  auto cancellation = CancellationTokenSource::cancellationTokenSource();
  // The reply is in, the wait not yet begun: the cancellation falls between the two.
  center->addObserver(kNetworkDidReceiveURLResponseNotification, nullptr,
                      [&](const platform::Notification&) { cancellation->cancel(); });
  auto task = runner->runCommandAsync(findVideos(), kCommandRunningOptionRetryIfFailed, cancellation->token());
  ASSERT_TRUE(finishes(task, 5s));
  EXPECT_TRUE(task.isCancelled());
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(CommandRunnerTest, CancelsARequestInFlightWithoutAnError) {
  ScriptedHttpServer server;
  ScriptedResponse slow = ScriptedResponse::json(200, "{}");
  slow.delay = 20s;
  server.setDefaultResponse(slow);
  auto runner = makeRunner(server);
  auto cancellation = CancellationTokenSource::cancellationTokenSource();
  auto task = runner->runCommandAsync(findVideos(), kCommandRunningOptionRetryIfFailed, cancellation->token());
  ASSERT_TRUE(server.waitForRequests(1, 5s));
  cancellation->cancel();
  ASSERT_TRUE(finishes(task, 2s));
  EXPECT_TRUE(task.isCancelled());

  cancellation = CancellationTokenSource::cancellationTokenSource();
  cancellation->cancel();
  EXPECT_TRUE(runner->runCommandAsync(findVideos(), 0, cancellation->token()).isCancelled());
}

TEST_F(CommandRunnerTest, TalksHTTPSOnlyToServersItTrusts) {
  ScriptedHttpServer server(ScriptedHttpServer::Mode::Https);
  server.setDefaultResponse(ScriptedResponse::json(200, R"({"ok":true})"));

  auto trusting = makeRunner(server, true);
  auto ok = trusting->runCommandAsync(findVideos(), kCommandRunningOptionNone);
  ASSERT_TRUE(finishes(ok));
  ASSERT_FALSE(ok.isFaulted()) << ok.error()->description();

  auto wary = makeRunner(server, false);
  auto refused = wary->runCommandAsync(findVideos(), kCommandRunningOptionNone);
  ASSERT_TRUE(finishes(refused));
  ASSERT_TRUE(refused.error());
  EXPECT_EQ(refused.error()->code(), 100);
  ErrorPtr original = Error::fromValue(refused.error()->userInfo()["originalError"]);
  ASSERT_TRUE(original);
  EXPECT_EQ(original->code(), platform::kHTTPErrorServerCertificateUntrusted);
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(CommandRunnerTest, PostsANotificationBeforeAndAfterEachRequest) {
  ScriptedHttpServer server;
  auto center = std::make_shared<platform::NotificationCenter>();
  auto runner = URLSessionCommandRunner::initWithDataSource(
      source, URLSession::sessionWithConfiguration({}, {}),
      CommandURLRequestConstructor::constructorWithDataSource(source, server.baseURL()), center);
  std::atomic<int> willSend{0}, didReceive{0};
  std::atomic<bool> orderKept{true};
  center->addObserver(kNetworkWillSendURLRequestNotification, runner.get(), [&](const platform::Notification& n) {
    willSend.fetch_add(1);
    if (!n.userInfo.empty()) orderKept.store(false);  // user info only at debug level
  });
  center->addObserver(kNetworkDidReceiveURLResponseNotification, nullptr, [&](const platform::Notification&) {
    if (didReceive.fetch_add(1) >= willSend.load()) orderKept.store(false);
  });
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(finishes(runner->runCommandAsync(findVideos(), 0)));
  EXPECT_EQ(willSend.load(), 3);
  EXPECT_EQ(didReceive.load(), 3);
  EXPECT_TRUE(orderKept.load());
}

TEST_F(CommandRunnerTest, StreamsUploadsFromAndDownloadsToFiles) {
  ScriptedHttpServer server;
  auto runner = makeRunner(server);
  const std::string upload = ::testing::TempDir() + "runner-upload.bin";
  const std::string download = ::testing::TempDir() + "runner-download.bin";
  const std::string content(300'000, 'k');
  std::ofstream(upload, std::ios::binary) << content;

  server.enqueue(ScriptedResponse::json(201, R"({"name":"a.bin","url":"u"})"));
  std::vector<int> uploadProgress;  // filled on the main thread
  auto up = runner->runFileUploadCommandAsync(RESTFileCommand::uploadCommandForFileWithName("a.bin", std::nullopt),
                                              std::string("application/octet-stream"), upload, 0, nullptr,
                                              [&](int p) { uploadProgress.push_back(p); });
  ASSERT_TRUE(finishes(up));
  ASSERT_FALSE(up.isFaulted()) << up.error()->description();
  EXPECT_EQ(up.result()->result().get("name"), Value("a.bin"));
  auto received = server.requests().back();
  EXPECT_EQ(received.target, "/1/files/a.bin");
  EXPECT_EQ(received.header("content-type"), "application/octet-stream");
  EXPECT_EQ(received.body, content);
  platform::MainLoop::runUntil([&] { return !uploadProgress.empty() && uploadProgress.back() == 100; }, 2000ms);
  ASSERT_FALSE(uploadProgress.empty());
  EXPECT_EQ(uploadProgress.back(), 100);

  ScriptedResponse file;
  file.body = content;
  file.headers = {{"Content-Type", "application/octet-stream"}};
  server.enqueue(file);
  std::atomic<int> lastDownloadPercent{-1};
  auto down = runner->runFileDownloadCommandAsyncWithFileURL(server.baseURL() + "/files/a.bin", download, nullptr,
                                                            [&](int p) { lastDownloadPercent.store(p); });
  ASSERT_TRUE(finishes(down));
  ASSERT_FALSE(down.isFaulted()) << down.error()->description();
  std::stringstream written;
  written << std::ifstream(download, std::ios::binary).rdbuf();
  EXPECT_EQ(written.str(), content);
  EXPECT_EQ(lastDownloadPercent.load(), 100);

  server.enqueue(ScriptedResponse::json(404, "{}"));
  auto missing = runner->runFileDownloadCommandAsyncWithFileURL(server.baseURL() + "/files/none", download, nullptr, {});
  ASSERT_TRUE(finishes(missing));
  ASSERT_TRUE(missing.error());
  EXPECT_EQ(missing.error()->localizedDescription(), "Response status code was unacceptable: 404");
  std::remove(upload.c_str());
  std::remove(download.c_str());
}

TEST_F(CommandRunnerTest, CancelsOutstandingRequestsWhenDestroyed) {
  ScriptedHttpServer server;
  ScriptedResponse slow = ScriptedResponse::json(200, "{}");
  slow.delay = 20s;
  server.setDefaultResponse(slow);
  auto runner = makeRunner(server);
  auto task = runner->runCommandAsync(findVideos(), kCommandRunningOptionRetryIfFailed);
  ASSERT_TRUE(server.waitForRequests(1, 5s));
  runner.reset();
  ASSERT_TRUE(finishes(task, 2s));
  EXPECT_TRUE(task.isCancelled());
}

TEST_F(CommandRunnerTest, SendsAResolvedCopyAndLeavesTheCommandItWasGivenAsItWas) {
  ScriptedHttpServer server;
  auto runner = makeRunner(server);
  auto queued = RESTCommand::commandWithHTTPPath(
                    "classes/Video", "POST",
                    Dictionary{{"favourite", Value(Dictionary{{"__type", Value("Pointer")},
                                                              {"className", Value("Video")},
                                                              {"localId", Value("local_2")}})}},
                    std::nullopt)
                    ->commandWithLocalId(std::string("local_1"));
  const Dictionary stored = queued->dictionaryRepresentation();
  const std::string key = queued->cacheKey();

  // The first sending fails; the ids arrive during the back-off, so the retry goes out resolved.
  source->store->record("local_2", "fav2");
  server.setHandler([&](const ReceivedRequest& r) {
    if (r.target == "/1/classes/Video") source->store->record("local_1", "obj1");
    return r.target == "/1/classes/Video" ? ScriptedResponse::dropped()
                                          : ScriptedResponse::json(200, R"({"updatedAt":"x"})");
  });
  auto task = runner->runCommandAsync(queued, kCommandRunningOptionRetryIfFailed);
  ASSERT_TRUE(finishes(task));
  ASSERT_FALSE(task.isFaulted()) << task.error()->description();
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[1].method, "PUT");
  EXPECT_EQ(requests[1].target, "/1/classes/Video/obj1");
  EXPECT_EQ(JSONSerialization::JSONObjectFromString(requests[1].body)->get("favourite").get("objectId"),
            Value("fav2"));

  EXPECT_EQ(queued->dictionaryRepresentation(), stored);
  EXPECT_EQ(queued->cacheKey(), key);
  EXPECT_EQ(queued->localId(), std::optional<std::string>("local_1"));
}

TEST_F(CommandRunnerTest, RunsOneCommandManyTimesAtOnce) {
  ScriptedHttpServer server;
  server.setDefaultResponse(ScriptedResponse::json(200, R"({"ok":1})"));
  auto runner = makeRunner(server);
  source->store->record("local_1", "obj1");
  auto command = RESTCommand::commandWithHTTPPath("classes/Video", "POST", Dictionary{{"Mins", Value(5)}},
                                                  std::nullopt)
                     ->commandWithLocalId(std::string("local_1"));
  std::vector<Task<CommandResultPtr>> tasks;
  std::vector<std::thread> threads;
  std::mutex m;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      for (int k = 0; k < 5; ++k) {
        auto t = runner->runCommandAsync(command, kCommandRunningOptionNone);
        std::lock_guard lock(m);
        tasks.push_back(t);
      }
    });
  for (auto& t : threads) t.join();
  for (auto& t : tasks) {
    ASSERT_TRUE(finishes(t));
    EXPECT_FALSE(t.isFaulted());
  }
  for (const auto& r : server.requests()) {
    EXPECT_EQ(r.method, "PUT");
    EXPECT_EQ(r.target, "/1/classes/Video/obj1");
  }
  EXPECT_EQ(server.requestCount(), 20u);
  EXPECT_EQ(command->httpMethod(), "POST");
}

// A continuation that runs inline where the reply was handed over must not hold up the
// transfers of the session: here it waits for a second command to finish.
TEST_F(CommandRunnerTest, CompletesOffTheTransferThreadSoAContinuationCanWaitForAnotherCommand) {
  ScriptedHttpServer server;
  server.setDefaultResponse(ScriptedResponse::json(200, R"({"ok":1})"));
  auto runner = makeRunner(server);
  std::atomic<bool> innerFinished{false};
  auto outer = runner->runCommandAsync(findVideos(), kCommandRunningOptionNone)
                   .continueWithExecutor(Executor::immediateExecutor(), [&](const Task<CommandResultPtr>&) {
                     auto inner = runner->runCommandAsync(findVideos(), kCommandRunningOptionNone);
                     innerFinished.store(finishes(inner, 5s) && !inner.isFaulted());
                   });
  ASSERT_TRUE(finishes(outer, 10s));
  EXPECT_TRUE(innerFinished.load());
}

TEST_F(CommandRunnerTest, FinishesEveryCommandWhenDestroyedWhileRepliesArrive) {
  ScriptedHttpServer server;
  server.setDefaultResponse(ScriptedResponse::json(200, R"({"results":[]})"));
  for (int round = 0; round < 5; ++round) {
    auto runner = makeRunner(server);
    const std::size_t before = server.requestCount();
    std::vector<Task<CommandResultPtr>> tasks;
    for (int i = 0; i < 30; ++i) tasks.push_back(runner->runCommandAsync(findVideos(), kCommandRunningOptionNone));
    ASSERT_TRUE(server.waitForRequests(before + 1, 5s));
    runner.reset();
    for (auto& t : tasks) {
      ASSERT_TRUE(finishes(t)) << "round " << round;
      EXPECT_FALSE(t.isFaulted()) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace keel

// The launch's catalogue fetch off the main thread: the backend source's attempts and retry
// waits as it reports them, cancellation, and the delegate's asynchronous launch with
// "Continue offline".
#include <condition_variable>
#include <mutex>

#include "AppTestSupport.h"
#include "app/BackendCatalogSource.h"
#include "app/CatalogData.h"
#include "app/CatalogSync.h"
#include <keel/platform/Dispatch.h>
#include "support/ScriptedHttpServer.h"

namespace stillnook {
namespace {

using keel::testing::ScriptedHttpServer;
using keel::testing::ScriptedResponse;
using testing::videoEntry;
using namespace std::chrono_literals;

constexpr const char* kOneVideo =
    R"({"results":[{"objectId":"v1","Mins":5,"Type":"Relax","Title":"T","HTMLLink":"h","ThumbnailImage":"t","MP4Link":"m"}]})";

// Runs a fetch through CatalogSync and collects what reaches the main queue.
struct SyncRecorder {
  std::vector<FetchProgress> progress;
  std::optional<std::optional<std::vector<CatalogEntry>>> outcome;
  keel::ErrorPtr error;
  int completions = 0;

  std::shared_ptr<CatalogSync> start(std::shared_ptr<CatalogSource> source) {
    return CatalogSync::start(
        std::move(source), [this](const FetchProgress& p) { progress.push_back(p); },
        [this](std::optional<std::vector<CatalogEntry>> entries, keel::ErrorPtr e) {
          ++completions;
          outcome = std::move(entries);
          error = std::move(e);
        });
  }
  bool waitForOutcome() {
    return platform::MainLoop::runUntil([&] { return outcome.has_value(); }, 10s);
  }
};

TEST(BackendCatalogSourceRetryTest, ReportsEachAttemptAndTheNextTryUntilTheServerAnswers) {
  ScriptedHttpServer server;
  server.enqueue(ScriptedResponse::json(503, R"({"code":1,"error":"busy"})"));
  server.enqueue(ScriptedResponse::json(500, R"({"code":1,"error":"internal"})"));
  server.enqueue(ScriptedResponse::json(200, kOneVideo));
  std::shared_ptr<CatalogSource> source = makeBackendCatalogSource(server.baseURL(), {.initialRetryDelay = 0.02});
  source->configure();

  SyncRecorder recorder;
  auto sync = recorder.start(source);
  ASSERT_TRUE(recorder.waitForOutcome());
  ASSERT_TRUE(*recorder.outcome) << (recorder.error ? recorder.error->description() : "");
  ASSERT_EQ((*recorder.outcome)->size(), 1u);
  EXPECT_EQ((**recorder.outcome)[0].objectId, "v1");
  EXPECT_EQ(server.requestCount(), 3u);

  // Attempt 1, its failure with the next try, attempt 2, its failure, attempt 3; all of it
  // reaches the main queue before the outcome.
  ASSERT_EQ(recorder.progress.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    const FetchProgress& p = recorder.progress[i];
    EXPECT_EQ(p.attempt, static_cast<int>(i / 2 + 1)) << i;
    EXPECT_EQ(p.attempts, 5);
    EXPECT_EQ(p.nextAttemptAt.has_value(), i % 2 == 1) << i;
    EXPECT_EQ(p.lastError != nullptr, i >= 1) << i;
  }
  // The second wait is twice the first: d drawn from [0.02, 0.04] s, then 2d.
  const auto sent = server.requests();
  EXPECT_GE(sent[1].receivedAt - sent[0].receivedAt, 20ms);
  EXPECT_GE(sent[2].receivedAt - sent[1].receivedAt, 40ms);
}

TEST(BackendCatalogSourceRetryTest, GivesUpAfterTheLastAttemptAndNeverRetriesARejection) {
  ScriptedHttpServer down;
  down.setDefaultResponse(ScriptedResponse::json(502, R"({"code":1,"error":"bad gateway"})"));
  auto source = makeBackendCatalogSource(down.baseURL(), {.initialRetryDelay = 0.001, .attempts = 3});
  keel::ErrorPtr error;
  EXPECT_FALSE(source->fetchCatalog(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(down.requestCount(), 3u);

  ScriptedHttpServer rejecting;
  rejecting.setDefaultResponse(ScriptedResponse::json(403, R"({"code":403,"error":"forbidden"})"));
  auto strict = makeBackendCatalogSource(rejecting.baseURL(), {.initialRetryDelay = 0.001});
  EXPECT_FALSE(strict->fetchCatalog(&error));
  EXPECT_EQ(error->code(), 403);
  EXPECT_EQ(rejecting.requestCount(), 1u);
}

TEST(BackendCatalogSourceRetryTest, CancellingDuringARetryWaitEndsTheFetchAtOnce) {
  ScriptedHttpServer down;
  down.setDefaultResponse(ScriptedResponse::dropped());
  // A wait of a minute or more: only the cancellation can end it within the test's time.
  std::shared_ptr<CatalogSource> source = makeBackendCatalogSource(down.baseURL(), {.initialRetryDelay = 60});
  source->configure();
  auto cancellation = keel::CancellationTokenSource::cancellationTokenSource();

  std::mutex mutex;
  std::condition_variable changed;
  bool waiting = false;
  std::optional<bool> fetched;
  keel::ErrorPtr error;
  FetchContext context;
  context.cancellationToken = cancellation->token();
  context.progress = [&](const FetchProgress& p) {
    std::lock_guard lock(mutex);
    if (p.nextAttemptAt) waiting = true;
    changed.notify_all();
  };
  platform::DispatchQueue::global()->async([&] {
    keel::ErrorPtr e;
    const bool ok = source->fetchCatalog(&e, context).has_value();
    std::lock_guard lock(mutex);
    fetched = ok;
    error = e;
    changed.notify_all();
  });
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return waiting; }));
  const auto cancelledAt = std::chrono::steady_clock::now();
  cancellation->cancel();
  ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return fetched.has_value(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, 5s);
  EXPECT_FALSE(*fetched);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(down.requestCount(), 1u);
}

// A source whose fetch blocks until the test opens the gate, then answers with `entries`.
class GatedSource : public CatalogSource {
 public:
  struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    bool sawCancellation = false;
    std::vector<CatalogEntry> entries;
    void release() {
      std::lock_guard lock(mutex);
      open = true;
      opened.notify_all();
    }
  };
  explicit GatedSource(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
  using CatalogSource::fetchCatalog;
  std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr*, const FetchContext& context) override {
    context.report(FetchProgress{});
    std::unique_lock lock(gate_->mutex);
    gate_->opened.wait(lock, [&] { return gate_->open; });
    gate_->sawCancellation = context.isCancelled();
    // Answers even when cancelled, as a source that cannot stop mid-way would.
    return gate_->entries;
  }

 private:
  std::shared_ptr<Gate> gate_;
};

class AsynchronousLaunchTest : public testing::SandboxTest {
 protected:
  // Replaces the delegate with one over `source` that launches asynchronously.
  void startAsynchronous(std::unique_ptr<CatalogSource> source) {
    delegate = std::make_shared<AppDelegate>(std::move(source));
    delegate->setAsynchronousLaunch({[this](const FetchProgress& p) { progress.push_back(p); },
                                     [this](bool synced) { finished.push_back(synced); }});
    platform::Application::sharedApplication().setDelegate(delegate);
  }
  CatalogData catalog() { return CatalogData(delegate->managedObjectContext()); }

  std::vector<FetchProgress> progress;
  std::vector<bool> finished;
};

TEST_F(AsynchronousLaunchTest, ContinueOfflineEndsTheWaitAndALateAnswerIsDropped) {
  script->entries = {videoEntry("old", 5, "Relax")};
  ASSERT_TRUE(platform::Application::sharedApplication().didFinishLaunching());
  delegate->saveContext();

  auto gate = std::make_shared<GatedSource::Gate>();
  gate->entries = {videoEntry("new", 5, "Relax")};
  startAsynchronous(std::make_unique<GatedSource>(gate));
  ::testing::internal::CaptureStdout();
  // The launch returns while the fetch is still blocked: nothing waits on the main thread.
  ASSERT_TRUE(platform::Application::sharedApplication().didFinishLaunching());
  EXPECT_TRUE(delegate->isSyncing());
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return !progress.empty(); }, 5s));
  EXPECT_TRUE(finished.empty());

  delegate->continueOffline();
  ASSERT_EQ(finished, std::vector<bool>{false});
  EXPECT_FALSE(delegate->isSyncing());
  gate->release();
  ASSERT_TRUE(platform::MainLoop::runUntil(
      [&] {
        std::lock_guard lock(gate->mutex);
        return gate->sawCancellation;
      },
      5s));
  // Let the late answer reach the main queue; it must change nothing.
  platform::MainLoop::runFor(50ms);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("getAllVideos() failed: ", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_EQ(finished.size(), 1u);
  EXPECT_NE(catalog().fetchExercise("old"), nullptr);
  EXPECT_EQ(catalog().fetchExercise("new"), nullptr);
  delegate->continueOffline();  // nothing left to end
  EXPECT_EQ(finished.size(), 1u);
}

TEST_F(AsynchronousLaunchTest, ARetryAfterAFailedLaunchSyncReplacesTheCatalogue) {
  script->fail = true;
  delegate->setAsynchronousLaunch({nullptr, [&](bool synced) { finished.push_back(synced); }});
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(platform::Application::sharedApplication().didFinishLaunching());
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return finished.size() == 1; }, 5s));
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(delegate->catalogState(), AppDelegate::CatalogState::Offline);

  script->fail = false;
  script->entries = {videoEntry("back", 5, "Relax")};
  ASSERT_TRUE(delegate->syncCatalog({nullptr, [&](bool synced) { finished.push_back(synced); }}));
  // One sync at a time: a second Retry while the first runs starts nothing.
  EXPECT_FALSE(delegate->syncCatalog({}));
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return finished.size() == 2; }, 5s));
  EXPECT_EQ(finished, (std::vector<bool>{false, true}));
  EXPECT_EQ(delegate->catalogState(), AppDelegate::CatalogState::Synced);
  EXPECT_NE(catalog().fetchExercise("back"), nullptr);
  EXPECT_EQ(script->fetches, 2);
}

TEST_F(AsynchronousLaunchTest, AnAnswerReplacesTheCatalogueBeforeTheLaunchIsReportedOver) {
  auto gate = std::make_shared<GatedSource::Gate>();
  gate->entries = {videoEntry("a", 5, "Relax"), videoEntry("b", 10, "Energize")};
  delegate = std::make_shared<AppDelegate>(std::make_unique<GatedSource>(gate));
  platform::Application::sharedApplication().setDelegate(delegate);
  std::size_t storedWhenFinished = 0;
  delegate->setAsynchronousLaunch({nullptr, [&](bool synced) {
                                     finished.push_back(synced);
                                     storedWhenFinished = catalog().fetchExercises("Relax", 5)->size() +
                                                          catalog().fetchExercises("Energize", 10)->size();
                                   }});
  ASSERT_TRUE(platform::Application::sharedApplication().didFinishLaunching());
  gate->release();
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return !finished.empty(); }, 5s));
  EXPECT_EQ(finished, std::vector<bool>{true});
  EXPECT_EQ(storedWhenFinished, 2u);
}

TEST_F(AsynchronousLaunchTest, ASourceThatThrowsFailsTheLaunchInsteadOfEndingTheProcess) {
  class ThrowingSource : public CatalogSource {
   public:
    using CatalogSource::fetchCatalog;
    std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr*, const FetchContext&) override {
      throw std::runtime_error("malformed reply");
    }
  };
  startAsynchronous(std::make_unique<ThrowingSource>());
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(platform::Application::sharedApplication().didFinishLaunching());
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return !finished.empty(); }, 5s));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(finished, std::vector<bool>{false});
  EXPECT_NE(out.find("getAllVideos() failed: "), std::string::npos);
  EXPECT_NE(out.find("malformed reply"), std::string::npos) << out;
}

}  // namespace
}  // namespace stillnook

// The client library's command runner against the real backend: the request shape it sends
// (POST with "_method", its headers) is what the server reads, and the server's errors come
// back as the codes the library reacts to.
#include "server/Api.h"

#include <gtest/gtest.h>

#include <keel/tasks/Executor.h>
#include <keel/network/RESTCommand.h>
#include <keel/network/URLSessionCommandRunner.h>
#include <keel/platform/Dispatch.h>
#include "server/ServerTestSupport.h"

namespace keel::server::testing {
namespace {

using namespace std::chrono_literals;

class FixedInstallation : public keel::CommandRequestDataSource {
 public:
  std::string installationIdentifier() override { return "inst-1"; }
};

template <typename T>
bool finishes(const keel::Task<T>& task) {
  auto done = std::make_shared<platform::Semaphore>(0);
  task.continueWithExecutor(keel::Executor::immediateExecutor(), [done](const keel::Task<T>&) { done->signal(); });
  return done->waitFor(20s);
}

class ClientLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runner_ = keel::URLSessionCommandRunner::commandRunnerWithDataSource(
        source_, kAppId, kClientKey, "http://127.0.0.1:" + std::to_string(server_.port()));
    runner_->setInitialRetryDelay(0.01);
  }

  keel::Task<keel::CommandResultPtr> run(const std::string& path, const std::string& method, keel::Dictionary params) {
    auto task = runner_->runCommandAsync(
        keel::RESTCommand::commandWithHTTPPath(path, method, std::move(params), std::nullopt),
        keel::kCommandRunningOptionRetryIfFailed);
    EXPECT_TRUE(finishes(task));
    return task;
  }

  TestServer server_;
  std::shared_ptr<FixedInstallation> source_ = std::make_shared<FixedInstallation>();
  std::shared_ptr<keel::URLSessionCommandRunner> runner_;
};

TEST_F(ClientLibraryTest, CreatesAndFindsThroughTheRunner) {
  auto created = run("classes/Video", "POST", keel::Dictionary{{"Mins", keel::Value(5)}, {"Type", keel::Value("Relax")}});
  ASSERT_FALSE(created.isFaulted()) << created.error()->description();
  EXPECT_EQ(created.result()->httpResponse().statusCode, 201);
  auto found = run("classes/Video", "GET",
                   keel::Dictionary{{"where", keel::Value(keel::Dictionary{{"Mins", keel::Value(5)}})}, {"limit", keel::Value("10")}});
  ASSERT_FALSE(found.isFaulted()) << found.error()->description();
  const auto& results = found.result()->result().get("results").arrayValue();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].get("Type"), keel::Value("Relax"));
}

TEST_F(ClientLibraryTest, MissingObjectsFailAtOnceWithCode101) {
  auto task = run("classes/Video/nothere01", "GET", keel::Dictionary{});
  ASSERT_TRUE(task.isFaulted());
  EXPECT_EQ(task.error()->code(), 101);
}

TEST_F(ClientLibraryTest, InjectedServerErrorsAreRetriedUntilTheServerAnswers) {
  FaultRule rule;
  rule.path = "/1/classes/Video";
  rule.remaining = 2;
  rule.action.status = 503;
  server_.faults().add(rule);
  auto task = run("classes/Video", "GET", keel::Dictionary{});
  ASSERT_FALSE(task.isFaulted()) << task.error()->description();
  EXPECT_TRUE(server_.faults().list().empty());
}

}  // namespace
}  // namespace keel::server::testing

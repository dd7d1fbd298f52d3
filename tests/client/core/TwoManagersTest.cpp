// Two managers in one process, each with its own server, data directory and keychain service:
// what one does must never reach the other.
#include <keel/core/KeelManager.h>

#include <thread>

#include "support/ScriptedHttpServer.h"
#include "support/StorageTestSupport.h"
#include <keel/network/RESTCommand.h>

namespace keel {
namespace {

namespace fs = std::filesystem;
using testing::ScriptedHttpServer;
using testing::ScriptedResponse;

class TwoManagersTest : public testing::SandboxedTest {
 protected:
  void SetUp() override {
    SandboxedTest::SetUp();
    serverA.setDefaultResponse(ScriptedResponse::json(200, R"({"results":[]})"));
    serverB.setDefaultResponse(ScriptedResponse::json(200, R"({"results":[]})"));
  }

  // Returns a configured manager beside the process-wide one, at home in `home`.
  std::shared_ptr<KeelManager> makeOther(const std::string& applicationId, const std::string& home) {
    auto other = KeelManager::initWithApplicationId(applicationId, "key-b",
                                                    KeelManagerEnvironment{serverB.baseURL(), home, "local.other"});
    other->configureWithApplicationGroupIdentifierContainingApplicationIdentifierEnabledLocalDataStore(
        std::nullopt, std::nullopt, false);
    return other;
  }

  static Task<CommandResultPtr> find(const std::shared_ptr<KeelManager>& manager) {
    return manager->commandRunner()->runCommandAsync(
        RESTCommand::commandWithHTTPPath("classes/Video", "GET", Dictionary{}, std::nullopt), kCommandRunningOptionNone);
  }

  ScriptedHttpServer serverA;
  ScriptedHttpServer serverB;
};

TEST_F(TwoManagersTest, EachManagerTalksToItsOwnServerWithItsOwnIdentity) {
  Keel::setServer(serverA.baseURL());
  Keel::setApplicationId("app-a", "key-a");
  auto a = Keel::_currentManager();
  auto b = makeOther("app-b", root + "/other-home");
  ASSERT_NE(a->installationIdentifier(), b->installationIdentifier());

  // Both at once, from two threads each.
  std::vector<Task<CommandResultPtr>> tasks(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      tasks[2 * t] = find(a);
      tasks[2 * t + 1] = find(b);
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& task : tasks) {
    ErrorPtr error;
    EXPECT_NE(task.waitForResult(&error, false), nullptr) << (error ? error->description() : "");
  }

  const struct {
    ScriptedHttpServer& server;
    std::shared_ptr<KeelManager> manager;
    const char* applicationId;
    const char* clientKey;
  } expected[] = {{serverA, a, "app-a", "key-a"}, {serverB, b, "app-b", "key-b"}};
  for (const auto& e : expected) {
    const auto requests = e.server.requests();
    EXPECT_EQ(requests.size(), 4u) << e.applicationId;
    for (const auto& request : requests) {
      EXPECT_EQ(request.header("x-keel-application-id"), e.applicationId);
      EXPECT_EQ(request.header("x-keel-client-key"), e.clientKey);
      EXPECT_EQ(request.header("x-keel-installation-id"), e.manager->installationIdentifier());
    }
  }
}

TEST_F(TwoManagersTest, EachManagerKeepsItsDataAndSecretsApartFromTheOther) {
  Keel::setApplicationId("app-a", "key-a");
  auto a = Keel::_currentManager();
  const std::string otherHome = root + "/other-home";
  auto b = makeOther("app-b", otherHome);

  const std::string dataA = a->fileManager()->defaultDataDirectoryPath();
  const std::string dataB = b->fileManager()->defaultDataDirectoryPath();
  EXPECT_EQ(dataA, root + "/home/Library/Private Documents/Keel");
  EXPECT_EQ(dataB, otherHome + "/Library/Private Documents/Keel");
  EXPECT_EQ(b->fileManager()->cacheItemPathForPathComponent("../KeelKeyValueCache/"),
            otherHome + "/Library/Caches/KeelKeyValueCache");
  EXPECT_EQ(read(dataA + "/applicationId"), "app-a");
  EXPECT_EQ(read(dataB + "/applicationId"), "app-b");
  EXPECT_EQ(read(dataB + "/installationId"), b->installationIdentifier());
  EXPECT_NE(a->keychainStore()->service(), b->keychainStore()->service());
  EXPECT_EQ(b->keychainStore()->service(), "local.other.com.keel.sdk");

  a->keychainStore()->setObject(Value("secret-a"), "currentUser");
  b->keychainStore()->setObject(Value("secret-b"), "currentUser");
  write(dataA + "/currentUser", "user-a");
  EXPECT_EQ(a->keychainStore()->objectForKey("currentUser"), Value("secret-a"));

  // Another application id in the second home clears that home and that keychain service only.
  auto c = makeOther("app-c", otherHome);
  EXPECT_TRUE(c->keychainStore()->objectForKey("currentUser").isNull());
  EXPECT_EQ(read(dataB + "/applicationId"), "app-c");
  EXPECT_EQ(a->keychainStore()->objectForKey("currentUser"), Value("secret-a"));
  EXPECT_EQ(read(dataA + "/currentUser"), "user-a");
  EXPECT_EQ(read(dataA + "/applicationId"), "app-a");
}

TEST_F(TwoManagersTest, SettingTheServerRepointsTheProcessWideManagerOnly) {
  ScriptedHttpServer before;
  Keel::setServer(before.baseURL());
  Keel::setApplicationId("app-a", "key-a");
  auto a = Keel::_currentManager();
  auto b = makeOther("app-b", root + "/other-home");
  ASSERT_NE(find(a).waitForResult(nullptr, false), nullptr);  // the runner exists before the change

  Keel::setServer(serverA.baseURL());
  EXPECT_EQ(Keel::serverURLString(), serverA.baseURL());
  EXPECT_EQ(a->serverURL(), serverA.baseURL());
  EXPECT_EQ(b->serverURL(), serverB.baseURL());
  ASSERT_NE(find(a).waitForResult(nullptr, false), nullptr);
  ASSERT_NE(find(b).waitForResult(nullptr, false), nullptr);
  EXPECT_EQ(before.requestCount(), 1u);
  EXPECT_EQ(serverA.requestCount(), 1u);
  EXPECT_EQ(serverB.requestCount(), 1u);
  EXPECT_EQ(Keel::commandRunner(), a->commandRunner());
}

}  // namespace
}  // namespace keel

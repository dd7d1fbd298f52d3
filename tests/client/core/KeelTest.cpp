#include <keel/core/Keel.h>

#include <thread>

#include "support/StorageTestSupport.h"
#include <keel/network/CommandResult.h>
#include <keel/network/NetworkActivityIndicatorManager.h>
#include <keel/network/RESTCommand.h>
#include <keel/platform/Dispatch.h>
#include "support/ScriptedHttpServer.h"

namespace keel {
namespace {

namespace fs = std::filesystem;

template <typename F>
std::string exceptionText(F f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.reason();
  }
  return "(nothing thrown)";
}

using KeelTest = testing::SandboxedTest;

TEST_F(KeelTest, ConfigurationChecksItsArgumentsAndItsOrder) {
  EXPECT_EQ(exceptionText([] { Keel::setApplicationId("", "key"); }), "'applicationId' should not be nil.");
  EXPECT_EQ(exceptionText([] { Keel::setApplicationId("app", ""); }), "'clientKey' should not be nil.");
  EXPECT_EQ(Keel::_currentManager(), nullptr);
  EXPECT_EQ(exceptionText([] { Keel::getApplicationId(); }),
            "You have to call setApplicationId:clientKey: on Keel to configure Keel.");
  EXPECT_EQ(exceptionText([] { Keel::commandRunner(); }),
            "You have to call setApplicationId:clientKey: on Keel to configure Keel.");
  EXPECT_EQ(exceptionText([] { Keel::enableDataSharingWithApplicationGroupIdentifier(""); }),
            "'groupIdentifier' should not be nil.");
  EXPECT_EQ(exceptionText([] { Keel::enableDataSharingWithApplicationGroupIdentifier("../away"); }),
            "ApplicationGroupContainer is unreachable. Please double check your Xcode project settings.");
  EXPECT_EQ(exceptionText([] { Keel::enableDataSharingWithApplicationGroupIdentifierContainingApplication("g", "app"); }),
            "This method can only be used in application extensions.");
  EXPECT_EQ(exceptionText([] { Keel::enableDataSharingWithApplicationGroupIdentifierContainingApplication("g", ""); }),
            "Containing application bundle identifier should not be nil.");

  platform::setMainBundleInfo({"local.widget", "widget", "1", "1", "/opt/widget.appex"});
  EXPECT_EQ(exceptionText([] { Keel::enableDataSharingWithApplicationGroupIdentifier("g"); }),
            "This method cannot be used in application extensions.");
  platform::setMainBundleInfo({});

  Keel::setApplicationId("app", "key");
  EXPECT_EQ(Keel::getApplicationId(), "app");
  EXPECT_EQ(Keel::getClientKey(), "key");
  EXPECT_TRUE(NetworkActivityIndicatorManager::sharedManager()->isEnabled());
  EXPECT_EQ(exceptionText([] { Keel::enableLocalDatastore(); }),
            "'enableLocalDataStore' must be called before 'setApplicationId:clientKey:'");
  EXPECT_EQ(exceptionText([] { Keel::enableDataSharingWithApplicationGroupIdentifier("g"); }),
            "'enableDataSharingWithApplicationGroupIdentifier:' must be called before 'setApplicationId:clientKey'");
  EXPECT_THROW(KeelManager(), InternalInconsistencyException);
}

TEST_F(KeelTest, TheLocalDatastoreIsLoadedOnceByTheNextConfiguration) {
  EXPECT_FALSE(Keel::isLocalDatastoreEnabled());
  Keel::enableLocalDatastore();
  EXPECT_TRUE(Keel::isLocalDatastoreEnabled());
  Keel::setApplicationId("app", "key");
  EXPECT_TRUE(Keel::isLocalDatastoreEnabled());  // the store, not the request
  EXPECT_EQ(exceptionText([] { Keel::_currentManager()->loadOfflineStoreWithOptions(0); }),
            "Can't load offline store more than once.");
  Keel::_clearCurrentManager();
  EXPECT_FALSE(Keel::isLocalDatastoreEnabled());  // the request was used up
  Keel::setApplicationId("app", "key");
  EXPECT_FALSE(Keel::isLocalDatastoreEnabled());
}

TEST_F(KeelTest, AnotherApplicationIdClearsTheDataOfThePreviousOneAndTheSameIdKeepsIt) {
  Keel::setApplicationId("first", "key");
  auto manager = Keel::_currentManager();
  const std::string dataDir = manager->fileManager()->defaultDataDirectoryPath();
  EXPECT_EQ(read(dataDir + "/applicationId"), "first");
  manager->keychainStore()->setObject(Value("secret"), "currentUser");
  write(dataDir + "/currentUser", "user");
  write(manager->fileManager()->dataDirectoryPath_DEPRECATED() + "/leftover", "x");

  Keel::setApplicationId("first", "key");
  EXPECT_EQ(read(dataDir + "/currentUser"), "user");
  EXPECT_EQ(Keel::_currentManager()->keychainStore()->objectForKey("currentUser"), Value("secret"));

  Keel::setApplicationId("second", "key");
  EXPECT_FALSE(fs::exists(dataDir + "/currentUser"));
  EXPECT_FALSE(fs::exists(manager->fileManager()->dataDirectoryPath_DEPRECATED()));
  EXPECT_TRUE(Keel::_currentManager()->keychainStore()->objectForKey("currentUser").isNull());
  EXPECT_EQ(read(dataDir + "/applicationId"), "second");
}

TEST_F(KeelTest, EnablingDataSharingMovesTheSandboxDataIntoTheGroupContainer) {
  Keel::setApplicationId("app", "key");
  const std::string local = Keel::_currentManager()->fileManager()->localSandboxDataDirectoryPath();
  write(local + "/currentInstallation", "installation");
  Keel::_clearCurrentManager();

  Keel::enableDataSharingWithApplicationGroupIdentifier("group.stillnook");
  EXPECT_EQ(Keel::applicationGroupIdentifierForDataSharing(), std::optional<std::string>("group.stillnook"));
  Keel::setApplicationId("app", "key");
  const std::string shared = Keel::_currentManager()->fileManager()->defaultDataDirectoryPath();
  EXPECT_EQ(shared, root + "/groups/group.stillnook/Keel/app");
  EXPECT_EQ(read(shared + "/currentInstallation"), "installation");
  EXPECT_EQ(read(shared + "/applicationId"), "app");
  EXPECT_FALSE(fs::exists(local));
}

TEST_F(KeelTest, ComponentsAreMadeOnceUnderConcurrentFirstUse) {
  Keel::setApplicationId("app", "key");
  auto manager = Keel::_currentManager();
  std::vector<std::shared_ptr<URLSessionCommandRunner>> runners(8);
  std::vector<std::shared_ptr<InstallationIdentifierStore>> stores(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      runners[i] = manager->commandRunner();
      stores[i] = manager->installationIdentifierStore();
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 1; i < 8; ++i) {
    EXPECT_EQ(runners[i], runners[0]);
    EXPECT_EQ(stores[i], stores[0]);
  }
  EXPECT_EQ(manager->coreManager(), manager->coreManager());
  auto core = manager->coreManager();
  EXPECT_EQ(core->dataSource(), manager);
  manager->unloadCoreManager();
  EXPECT_NE(manager->coreManager(), core);
  EXPECT_EQ(manager->keychainStore()->service(), platform::mainBundleInfo().identifier + ".com.keel.sdk");
}

TEST_F(KeelTest, TheManagersRunnerSendsCommandsWithTheConfiguredIdentity) {
  keel::testing::ScriptedHttpServer server;
  server.enqueue(keel::testing::ScriptedResponse::json(200, R"({"results":[]})"));
  Keel::setServer(server.baseURL());
  Keel::setApplicationId("app-id", "client-key");
  auto manager = Keel::_currentManager();
  auto command = RESTCommand::commandWithHTTPPath("classes/Video", "GET", Dictionary{}, std::nullopt);
  ErrorPtr error;
  auto result = manager->commandRunner()->runCommandAsync(command, kCommandRunningOptionRetryIfFailed).waitForResult(&error, false);
  ASSERT_NE(result, nullptr) << (error ? error->description() : "");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("x-keel-application-id"), "app-id");
  EXPECT_EQ(requests[0].header("x-keel-client-key"), "client-key");
  EXPECT_EQ(requests[0].header("x-keel-installation-id"), manager->installationIdentifierStore()->installationIdentifier());
}

TEST_F(KeelTest, AServerSetWhileConfiguringIsTheOneTheNewManagerUses) {
  for (int round = 0; round < 20; ++round) {
    const std::string server = "http://127.0.0.1:" + std::to_string(1000 + round);
    std::thread configure([] { Keel::setApplicationId("app", "key"); });
    std::thread point([&] { Keel::setServer(server); });
    configure.join();
    point.join();
    auto manager = Keel::_currentManager();
    ASSERT_EQ(Keel::serverURLString(), server);
    ASSERT_EQ(manager->serverURL(), server) << "round " << round;
    ASSERT_EQ(manager->commandRunner()->requestConstructor()->serverURLString(), server);
  }
}

class RecordingModule : public KeelModule {
 public:
  void keelDidInitializeWithApplicationId(const std::string& applicationId, const std::string&) override {
    calls.push_back(applicationId);
    onMainThread = platform::isMainThread();
  }
  std::vector<std::string> calls;
  bool onMainThread = false;
};

TEST_F(KeelTest, ModulesAreHeldWeaklyAndToldOnTheMainQueue) {
  auto kept = std::make_shared<RecordingModule>();
  auto released = std::make_shared<RecordingModule>();
  Keel::enableKeelModule(kept);
  Keel::enableKeelModule(released);
  Keel::enableKeelModule(nullptr);
  EXPECT_TRUE(Keel::isModuleEnabled(released));
  released.reset();
  Keel::setApplicationId("app", "key");
  EXPECT_TRUE(kept->calls.empty());  // not before the main queue runs
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return !kept->calls.empty(); }, std::chrono::milliseconds(5000)));
  EXPECT_EQ(kept->calls, std::vector<std::string>{"app"});
  EXPECT_TRUE(kept->onMainThread);
  Keel::disableKeelModule(kept);
  EXPECT_FALSE(Keel::isModuleEnabled(kept));
  KeelModuleCollection collection;
  collection.addKeelModule(kept);
  EXPECT_EQ(collection.modulesCount(), 1u);
}

}  // namespace
}  // namespace keel

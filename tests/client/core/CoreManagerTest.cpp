#include <keel/core/CoreManager.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "support/StorageTestSupport.h"
#include <keel/base/Exception.h>
#include <keel/core/KeelManager.h>

namespace keel {
namespace {

// Stand-ins for the controllers of the layers above core: the core manager knows them only as
// types.
struct QueryController {
  explicit QueryController(int serial) : serial(serial) {}
  int serial;
};
struct UserController {
  std::weak_ptr<CoreManager> core;
  std::shared_ptr<QueryController> queries;
};

class CoreManagerTest : public testing::SandboxedTest {
 protected:
  void SetUp() override {
    SandboxedTest::SetUp();
    manager = KeelManager::initWithApplicationId("app", "key");
    core = manager->coreManager();
  }

  std::shared_ptr<KeelManager> manager;
  std::shared_ptr<CoreManager> core;
};

TEST_F(CoreManagerTest, ThreadsAskingAtOnceGetTheOneControllerTheFirstMakerMade) {
  constexpr int kThreads = 8;
  std::atomic<int> made{0};
  std::vector<std::shared_ptr<QueryController>> seen(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      seen[i] = core->component<QueryController>([&](CoreManager&) {
        return std::make_shared<QueryController>(made.fetch_add(1) + 1);
      });
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(made.load(), 1);
  for (const auto& controller : seen) EXPECT_EQ(controller, seen[0]);
  EXPECT_EQ(core->existingComponent<QueryController>(), seen[0]);
  // Another type has a slot of its own.
  EXPECT_EQ(core->existingComponent<UserController>(), nullptr);
}

TEST_F(CoreManagerTest, AReplacementIsHandedOutUntilItIsDroppedAndThenANewOneIsMade) {
  auto fake = std::make_shared<QueryController>(42);
  core->setComponent(fake);
  int makerCalls = 0;
  auto make = [&](CoreManager&) {
    ++makerCalls;
    return std::make_shared<QueryController>(7);
  };
  EXPECT_EQ(core->component<QueryController>(make), fake);
  EXPECT_EQ(makerCalls, 0);

  core->setComponent<QueryController>(nullptr);
  EXPECT_EQ(core->existingComponent<QueryController>(), nullptr);
  auto fresh = core->component<QueryController>(make);
  EXPECT_EQ(makerCalls, 1);
  EXPECT_EQ(fresh->serial, 7);

  // A maker that makes nothing leaves the slot empty for the next caller.
  EXPECT_EQ(core->component<UserController>([](CoreManager&) { return std::shared_ptr<UserController>(); }), nullptr);
  EXPECT_NE(core->component<UserController>([](CoreManager&) { return std::make_shared<UserController>(); }), nullptr);
}

TEST_F(CoreManagerTest, AMakerMayAskForOtherControllersButNotForTheOneItIsMaking) {
  auto users = core->component<UserController>([](CoreManager& c) {
    auto made = std::make_shared<UserController>();
    made->core = c.weak_from_this();
    made->queries = c.component<QueryController>([](CoreManager&) { return std::make_shared<QueryController>(1); });
    return made;
  });
  EXPECT_EQ(users->queries, core->existingComponent<QueryController>());

  core->setComponent<UserController>(nullptr);
  EXPECT_THROW(core->component<UserController>([](CoreManager& c) {
    c.component<UserController>([](CoreManager&) { return std::make_shared<UserController>(); });
    return std::make_shared<UserController>();
  }),
               InternalInconsistencyException);
  // The failed making left the slot free: the next one works.
  EXPECT_NE(core->component<UserController>([](CoreManager&) { return std::make_shared<UserController>(); }), nullptr);
}

TEST_F(CoreManagerTest, TheManagerGraphDoesNotKeepItselfAlive) {
  auto users = core->component<UserController>([](CoreManager& c) {
    auto made = std::make_shared<UserController>();
    made->core = c.weak_from_this();
    return made;
  });
  // Components that refer back to the manager as their data source.
  auto runner = manager->commandRunner();
  auto installation = manager->installationIdentifierStore();
  ASSERT_FALSE(manager->installationIdentifier().empty());
  manager->preloadDiskObjectsToMemoryAsync().waitForResult(nullptr, false);

  std::weak_ptr<KeelManager> weakManager = manager;
  std::weak_ptr<CoreManager> weakCore = core;
  std::weak_ptr<UserController> weakUsers = users;
  std::weak_ptr<URLSessionCommandRunner> weakRunner = runner;
  EXPECT_EQ(users->core.lock(), core);
  EXPECT_EQ(core->dataSource(), manager);
  users.reset();
  runner.reset();
  installation.reset();
  core.reset();
  manager.reset();
  EXPECT_TRUE(weakManager.expired());
  EXPECT_TRUE(weakCore.expired());
  EXPECT_TRUE(weakUsers.expired());
  EXPECT_TRUE(weakRunner.expired());
}

TEST_F(CoreManagerTest, UnloadingTheCoreManagerDropsItsControllers) {
  auto queries = core->component<QueryController>([](CoreManager&) { return std::make_shared<QueryController>(1); });
  std::weak_ptr<QueryController> weakQueries = queries;
  queries.reset();
  manager->unloadCoreManager();
  core.reset();
  EXPECT_TRUE(weakQueries.expired());
  EXPECT_EQ(manager->coreManager()->existingComponent<QueryController>(), nullptr);
}

}  // namespace
}  // namespace keel

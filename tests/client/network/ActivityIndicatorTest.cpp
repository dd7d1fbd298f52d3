#include <keel/network/NetworkActivityIndicatorManager.h>

#include <gtest/gtest.h>

#include <keel/network/CommandRunning.h>

namespace keel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ActivityIndicatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager->setIndicatorVisibilityHandler([this](bool visible) { changes.push_back({visible, Clock::now()}); });
  }
  void willSend() { center->post(kNetworkWillSendURLRequestNotification, this); }
  void didReceive() { center->post(kNetworkDidReceiveURLResponseNotification, this); }
  void runMainLoop(std::chrono::milliseconds d) { platform::MainLoop::runFor(d); }

  struct Change {
    bool visible;
    Clock::time_point at;
  };
  std::shared_ptr<platform::NotificationCenter> center = std::make_shared<platform::NotificationCenter>();
  std::shared_ptr<NetworkActivityIndicatorManager> manager = NetworkActivityIndicatorManager::create(center);
  std::vector<Change> changes;  // main thread only
};

TEST_F(ActivityIndicatorTest, StaysVisibleAcrossBackToBackRequestsAndHidesAfterTheDelay) {
  manager->setEnabled(true);
  willSend();
  runMainLoop(20ms);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_TRUE(changes[0].visible);

  runMainLoop(80ms);
  willSend();  // the second request starts 0.1 s after the first
  didReceive();
  runMainLoop(100ms);
  didReceive();
  const auto lastResponse = Clock::now();
  EXPECT_EQ(changes.size(), 1u) << "the indicator must not flicker between requests";

  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return changes.size() == 2; }, 2000ms));
  EXPECT_FALSE(changes[1].visible);
  EXPECT_GE(changes[1].at - lastResponse, NetworkActivityIndicatorManager::kHideDelay);
  EXPECT_FALSE(manager->isNetworkActivityIndicatorVisible());
}

TEST_F(ActivityIndicatorTest, CountsWhileDisabledWithoutTouchingTheIndicator) {
  willSend();
  willSend();
  EXPECT_EQ(manager->networkActivityCount(), 2u);
  EXPECT_TRUE(manager->isNetworkActivityIndicatorVisible());
  runMainLoop(20ms);
  EXPECT_TRUE(changes.empty());
}

TEST_F(ActivityIndicatorTest, KeepsACountOfZeroAtZeroOnAnUnmatchedResponse) {
  didReceive();
  EXPECT_EQ(manager->networkActivityCount(), 0u);
  manager->setNetworkActivityCount(3);
  manager->decrementActivityCount();
  EXPECT_EQ(manager->networkActivityCount(), 2u);
}

TEST_F(ActivityIndicatorTest, StopsObservingWhenDestroyed) {
  std::weak_ptr<NetworkActivityIndicatorManager> weak = manager;
  manager.reset();
  EXPECT_TRUE(weak.expired());
  willSend();  // must not reach the destroyed manager
  runMainLoop(10ms);
}

}  // namespace
}  // namespace keel

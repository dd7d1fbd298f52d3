#include <keel/network/Reachability.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace keel {
namespace {

using namespace platform;
using namespace std::chrono_literals;

class RecordingListener : public ReachabilityListener {
 public:
  void reachabilityDidChangeReachabilityState(Reachability&, ReachabilityState state) override {
    std::lock_guard lock(mutex);
    states.push_back(state);
    changed.notify_all();
  }
  bool waitForCalls(std::size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 5s, [&] { return states.size() >= n; });
  }
  std::vector<ReachabilityState> received() {
    std::lock_guard lock(mutex);
    return states;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<ReachabilityState> states;
};

// A platform source whose flags the test sets.
class FakeSource : public ReachabilitySource {
 public:
  explicit FakeSource(ReachabilityFlags initial) : flags(initial) {}
  ReachabilityFlags currentFlags() override { return flags; }
  bool setCallback(Callback cb, DispatchQueuePtr q) override {
    std::lock_guard lock(mutex);
    callback = std::move(cb);
    queue = std::move(q);
    return true;
  }
  void refresh() override {}
  void stop() override {}
  void report(ReachabilityFlags f) {
    std::lock_guard lock(mutex);
    flags = f;
    queue->async([cb = callback, f] { cb(f); });
  }
  std::mutex mutex;
  ReachabilityFlags flags;
  Callback callback;
  DispatchQueuePtr queue;
};

TEST(ReachabilityTest, DerivesTheStateFromTheFlags) {
  const ReachabilityFlags reachable = kReachabilityReachable, required = kReachabilityConnectionRequired;
  EXPECT_EQ(Reachability::stateForFlags(0), ReachabilityState::NotReachable);
  EXPECT_EQ(Reachability::stateForFlags(reachable), ReachabilityState::Reachable);
  EXPECT_EQ(Reachability::stateForFlags(reachable | required), ReachabilityState::NotReachable);
  EXPECT_EQ(Reachability::stateForFlags(reachable | required | kReachabilityConnectionOnDemand),
            ReachabilityState::Reachable);
  EXPECT_EQ(Reachability::stateForFlags(reachable | required | kReachabilityConnectionOnTraffic),
            ReachabilityState::Reachable);
  EXPECT_EQ(Reachability::stateForFlags(reachable | required | kReachabilityConnectionOnDemand |
                                        kReachabilityInterventionRequired),
            ReachabilityState::NotReachable);
  EXPECT_EQ(Reachability::stateForFlags(required | kReachabilityConnectionOnDemand), ReachabilityState::NotReachable);
}

TEST(ReachabilityTest, ReportsEveryPlatformUpdateToListenersAlsoWithoutAChange) {
  auto source = std::make_shared<FakeSource>(kReachabilityReachable);
  auto reachability = Reachability::initWithSource(source);
  // The first barrier follows the start-up, which posts the initial report; the second follows it.
  reachability->synchronizationQueue()->barrierSync([] {});
  reachability->synchronizationQueue()->barrierSync([] {});
  auto listener = std::make_shared<RecordingListener>();
  reachability->addListener(listener);
  EXPECT_EQ(reachability->currentState(), ReachabilityState::Reachable);

  source->report(0);
  ASSERT_TRUE(listener->waitForCalls(1));
  source->report(0);
  ASSERT_TRUE(listener->waitForCalls(2));
  source->report(kReachabilityReachable);
  ASSERT_TRUE(listener->waitForCalls(3));
  EXPECT_EQ(listener->received(), (std::vector{ReachabilityState::NotReachable, ReachabilityState::NotReachable,
                                 ReachabilityState::Reachable}));
  EXPECT_EQ(reachability->flags(), kReachabilityReachable);
}

TEST(ReachabilityTest, SkipsAndPurgesListenersThatHaveGone) {
  auto reachability = Reachability::initWithSource(nullptr);
  auto kept = std::make_shared<RecordingListener>();
  auto gone = std::make_shared<RecordingListener>();
  reachability->addListener(gone);
  reachability->addListener(kept);
  gone.reset();
  EXPECT_EQ(reachability->listenerEntryCount(), 2u);

  reachability->setFlags(kReachabilityReachable);
  ASSERT_TRUE(kept->waitForCalls(1));
  // The purge is a barrier posted by the notification; a synchronous read queued after it sees it.
  reachability->synchronizationQueue()->barrierSync([] {});
  EXPECT_EQ(reachability->listenerEntryCount(), 1u);

  reachability->removeListener(kept.get());
  EXPECT_EQ(reachability->listenerEntryCount(), 0u);
  reachability->addListener(kept);
  reachability->removeAllListeners();
  EXPECT_EQ(reachability->listenerEntryCount(), 0u);
}

TEST(ReachabilityTest, StaysNotReachableWithoutAPlatformHandle) {
  auto reachability = Reachability::initWithURL("not a url");
  EXPECT_EQ(reachability->flags(), 0u);
  EXPECT_EQ(reachability->currentState(), ReachabilityState::NotReachable);
}

TEST(ReachabilityTest, FindsTheLoopbackHostReachableOnThisMachine) {
  auto reachability = Reachability::initWithURL("http://127.0.0.1:1/2");
  EXPECT_EQ(reachability->currentState(), ReachabilityState::Reachable);
  auto source = ReachabilitySource::createForHost("localhost");
  ASSERT_TRUE(source);
  EXPECT_EQ(source->currentFlags(), kReachabilityReachable);
}

}  // namespace
}  // namespace keel

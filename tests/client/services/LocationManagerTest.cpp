#include <keel/services/LocationManager.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <keel/core/CoreManager.h>
#include <keel/platform/Dispatch.h>

namespace keel {
namespace {

using namespace std::chrono_literals;
using platform::ApplicationState;
using platform::Location;

// Long enough never to be reached by a passing test on a loaded machine.
constexpr auto kPatience = 10s;

// A location source the test drives: it records what the manager asks of it, and hands the
// manager fixes and failures when told to, either on its own queue (as a platform source does)
// or at once on the calling thread.
class ScriptedLocationSource : public platform::LocationSource {
 public:
  explicit ScriptedLocationSource(bool supportsAuthorization = false) : supportsAuthorization_(supportsAuthorization) {}

  void setDelegate(std::weak_ptr<platform::LocationSourceDelegate> delegate) override {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
  }
  bool supportsAuthorizationRequests() const override { return supportsAuthorization_; }
  void requestWhenInUseAuthorization() override { whenInUseRequests++; }
  void requestAlwaysAuthorization() override { alwaysRequests++; }
  void startUpdatingLocation() override { starts++; }
  void stopUpdatingLocation() override { stops++; }

  // Hands `locations` to the delegate on the source's queue.
  void postFix(std::vector<Location> locations) {
    queue_->async([this, locations = std::move(locations)] { fixNow(locations); });
  }
  void postFailure(ErrorPtr error) {
    queue_->async([this, error = std::move(error)] { failNow(error); });
  }
  // Hands `locations` to the delegate on the calling thread.
  void fixNow(const std::vector<Location>& locations) {
    if (auto delegate = currentDelegate()) delegate->locationSourceDidUpdateLocations(*this, locations);
  }
  void failNow(const ErrorPtr& error) {
    if (auto delegate = currentDelegate()) delegate->locationSourceDidFailWithError(*this, error);
  }
  bool hasDelegate() { return currentDelegate() != nullptr; }

  std::atomic<int> starts{0}, stops{0}, whenInUseRequests{0}, alwaysRequests{0};

 private:
  std::shared_ptr<platform::LocationSourceDelegate> currentDelegate() {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
  }

  const bool supportsAuthorization_;
  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::createSerial("test.location.source");
  std::mutex mutex_;
  std::weak_ptr<platform::LocationSourceDelegate> delegate_;
};

// What the callers of one test heard, in arrival order.
class Outcomes {
 public:
  struct Outcome {
    int caller;
    std::optional<Location> location;
    ErrorPtr error;
  };

  LocationManager::LocationBlock blockFor(int caller) {
    return [this, caller](std::optional<Location> location, ErrorPtr error) {
      add({caller, location, std::move(error)});
    };
  }
  LocationManager::CoordinateBlock coordinateBlockFor(int caller) {
    return [this, caller](double latitude, double longitude, ErrorPtr error) {
      add({caller, Location{latitude, longitude}, std::move(error)});
    };
  }
  bool waitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return outcomes_.size() >= n; });
  }
  std::vector<Outcome> all() {
    std::lock_guard lock(mutex_);
    return outcomes_;
  }

 private:
  void add(Outcome outcome) {
    std::lock_guard lock(mutex_);
    outcomes_.push_back(std::move(outcome));
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Outcome> outcomes_;
};

class LocationManagerTest : public ::testing::Test {
 protected:
  std::shared_ptr<ScriptedLocationSource> source = std::make_shared<ScriptedLocationSource>();
  std::shared_ptr<LocationManager> manager = LocationManager::initWithSystemLocationManager(source);
  Outcomes outcomes;
};

TEST_F(LocationManagerTest, CallersWaitingForAFixAllGetTheLastLocationOfIt) {
  for (int caller = 0; caller < 3; ++caller) manager->addBlockForCurrentLocation(outcomes.blockFor(caller));
  EXPECT_EQ(manager->pendingBlockCount(), 3u);
  EXPECT_EQ(source->starts.load(), 3) << "every caller starts the source";

  source->postFix({{1.0, 2.0}, {48.8566, 2.3522}});
  ASSERT_TRUE(outcomes.waitFor(3));

  std::vector<int> heard(3, 0);
  for (const auto& outcome : outcomes.all()) {
    heard[outcome.caller]++;
    ASSERT_TRUE(outcome.location);
    EXPECT_EQ(*outcome.location, (Location{48.8566, 2.3522}));
    EXPECT_EQ(outcome.error, nullptr);
  }
  EXPECT_EQ(heard, (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(manager->pendingBlockCount(), 0u);
  EXPECT_GE(source->stops.load(), 1);
}

TEST_F(LocationManagerTest, AFixReachesOnlyTheCallersWaitingWhenItArrives) {
  manager->addBlockForCurrentLocation(outcomes.blockFor(0));
  source->postFix({{10.0, 20.0}});
  ASSERT_TRUE(outcomes.waitFor(1));

  manager->addBlockForCurrentLocation(outcomes.blockFor(1));
  source->postFix({{30.0, 40.0}});
  ASSERT_TRUE(outcomes.waitFor(2));
  // A third fix finds nobody waiting; were the set not emptied, it would reach both again.
  source->fixNow({{50.0, 60.0}});
  manager->addBlockForCurrentLocation(outcomes.blockFor(2));
  source->postFix({{70.0, 80.0}});
  ASSERT_TRUE(outcomes.waitFor(3));

  auto all = outcomes.all();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].caller, 0);
  EXPECT_EQ(*all[0].location, (Location{10.0, 20.0}));
  EXPECT_EQ(all[1].caller, 1);
  EXPECT_EQ(*all[1].location, (Location{30.0, 40.0}));
  EXPECT_EQ(all[2].caller, 2);
  EXPECT_EQ(*all[2].location, (Location{70.0, 80.0}));
}

TEST_F(LocationManagerTest, AFailureReachesEveryCallerWithoutALocationOrAtZeroZero) {
  source->fixNow({{5.0, 6.0}});  // nobody waits yet: reaches no one
  manager->addBlockForCurrentLocation(outcomes.blockFor(0));
  manager->addBlockForCurrentCoordinate(outcomes.coordinateBlockFor(1));
  manager->addBlockForCurrentLocation(outcomes.blockFor(2));
  manager->addBlockForCurrentCoordinate(outcomes.coordinateBlockFor(3));
  auto error = Error::keel(1, "no fix");
  source->postFailure(error);
  ASSERT_TRUE(outcomes.waitFor(4));

  auto all = outcomes.all();
  ASSERT_EQ(all.size(), 4u);
  for (const auto& outcome : all) {
    EXPECT_EQ(outcome.error, error) << "caller " << outcome.caller;
    if (outcome.caller % 2 == 0) {
      EXPECT_FALSE(outcome.location) << "caller " << outcome.caller;
    } else {
      ASSERT_TRUE(outcome.location);
      EXPECT_EQ(*outcome.location, (Location{0.0, 0.0})) << "caller " << outcome.caller;
    }
  }
  EXPECT_EQ(manager->pendingBlockCount(), 0u);
}

TEST_F(LocationManagerTest, AnEmptyFixListLeavesTheCallersWaiting) {
  manager->addBlockForCurrentLocation(outcomes.blockFor(0));
  source->fixNow({});
  EXPECT_EQ(outcomes.all().size(), 0u);
  EXPECT_EQ(manager->pendingBlockCount(), 1u);
  EXPECT_EQ(source->stops.load(), 0) << "updates keep running until a fix arrives";

  source->fixNow({{1.5, -2.5}});
  ASSERT_EQ(outcomes.all().size(), 1u);
  EXPECT_EQ(*outcomes.all()[0].location, (Location{1.5, -2.5}));
}

TEST_F(LocationManagerTest, AnEmptyCallbackIsIgnored) {
  manager->addBlockForCurrentLocation(nullptr);
  manager->addBlockForCurrentCoordinate(nullptr);
  EXPECT_EQ(manager->pendingBlockCount(), 0u);
  EXPECT_EQ(source->starts.load(), 0);
  source->fixNow({{1.0, 1.0}});  // would call an empty std::function were it kept
  source->failNow(Error::keel(1, "x"));
}

TEST_F(LocationManagerTest, ACallbackThatThrowsDoesNotKeepTheOthersFromTheFix) {
  manager->addBlockForCurrentLocation([](std::optional<Location>, ErrorPtr) { throw std::runtime_error("boom"); });
  manager->addBlockForCurrentLocation(outcomes.blockFor(1));
  manager->addBlockForCurrentLocation([](std::optional<Location>, ErrorPtr) { throw 42; });
  manager->addBlockForCurrentLocation(outcomes.blockFor(3));
  source->fixNow({{3.0, 4.0}});
  auto all = outcomes.all();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(manager->pendingBlockCount(), 0u);
}

TEST_F(LocationManagerTest, AFixAfterTheManagerIsGoneReachesNobody) {
  manager->addBlockForCurrentLocation(outcomes.blockFor(0));
  manager.reset();
  EXPECT_FALSE(source->hasDelegate());
  source->fixNow({{1.0, 2.0}});
  source->failNow(Error::keel(1, "late"));
  EXPECT_TRUE(outcomes.all().empty());
}

TEST(LocationAuthorizationTest, AsksForWhenInUseOnlyInTheForegroundWithAUsageDescription) {
  struct Case {
    bool supports;
    ApplicationState state;
    bool hasUsageDescription;
    int whenInUse, always;
  };
  const Case cases[] = {
      {true, ApplicationState::Active, true, 1, 0},
      {true, ApplicationState::Inactive, true, 1, 0},
      {true, ApplicationState::Background, true, 0, 1},
      {true, ApplicationState::Active, false, 0, 1},
      {true, ApplicationState::Background, false, 0, 1},
      {false, ApplicationState::Active, true, 0, 0},
      {false, ApplicationState::Background, false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "supports " << c.supports << " state " << static_cast<int>(c.state)
                                      << " description " << c.hasUsageDescription);
    auto source = std::make_shared<ScriptedLocationSource>(c.supports);
    Dictionary info;
    info.set("CFBundleName", "Stillnook");
    if (c.hasUsageDescription) info.set(kLocationWhenInUseUsageDescriptionKey, "To find exercises near you.");
    auto manager = LocationManager::initWithSystemLocationManager(
        source, [state = c.state] { return state; }, info);
    manager->addBlockForCurrentLocation([](std::optional<Location>, ErrorPtr) {});
    EXPECT_EQ(source->whenInUseRequests.load(), c.whenInUse);
    EXPECT_EQ(source->alwaysRequests.load(), c.always);
    EXPECT_EQ(source->starts.load(), 1);
  }
}

// Callers join from several threads while fixes and failures keep arriving from two others:
// every caller hears exactly once, and nobody is left waiting. Run under ThreadSanitizer too.
TEST(LocationManagerConcurrencyTest, EveryCallerHearsOnceWhileFixesArriveFromOtherThreads) {
  auto source = std::make_shared<ScriptedLocationSource>();
  auto manager = LocationManager::initWithSystemLocationManager(source);
  constexpr int kAskers = 4;
  constexpr int kPerAsker = 300;
  constexpr int kCallers = kAskers * kPerAsker;
  std::vector<std::atomic<int>> heard(kCallers);
  std::atomic<int> answered{0};
  std::atomic<int> malformed{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kAskers; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerAsker; ++i) {
        int caller = t * kPerAsker + i;
        if (caller % 2 == 0) {
          manager->addBlockForCurrentLocation([&, caller](std::optional<Location> location, ErrorPtr error) {
            if (location.has_value() == (error != nullptr)) malformed++;
            heard[caller]++;
            answered++;
          });
        } else {
          manager->addBlockForCurrentCoordinate([&, caller](double latitude, double, ErrorPtr error) {
            if (error && latitude != 0.0) malformed++;
            heard[caller]++;
            answered++;
          });
        }
      }
    });
  }
  auto deliverer = [&](bool fails) {
    int n = 0;
    while (answered.load() < kCallers) {
      if (fails && ++n % 3 == 0) {
        source->failNow(Error::keel(1, "lost the satellites"));
      } else {
        source->fixNow({{45.0, 7.0}});
      }
      std::this_thread::yield();
    }
  };
  threads.emplace_back(deliverer, false);
  threads.emplace_back(deliverer, true);
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(answered.load(), kCallers);
  EXPECT_EQ(malformed.load(), 0);
  for (int caller = 0; caller < kCallers; ++caller) ASSERT_EQ(heard[caller].load(), 1) << "caller " << caller;
  EXPECT_EQ(manager->pendingBlockCount(), 0u);
  EXPECT_EQ(source->starts.load(), kCallers);
}

// Without a location service on this machine the system source answers every request with the
// platform's failure, later, never inside the call.
TEST(SystemLocationTest, FailsEveryWaitingCallerWithTheUnavailableError) {
  auto manager = LocationManager::create();
  Outcomes outcomes;
  const auto caller = std::this_thread::get_id();
  manager->addBlockForCurrentLocation([&](std::optional<Location> location, ErrorPtr error) {
    EXPECT_NE(std::this_thread::get_id(), caller) << "delivered inside addBlockForCurrentLocation";
    outcomes.blockFor(0)(location, std::move(error));
  });
  manager->addBlockForCurrentCoordinate(outcomes.coordinateBlockFor(1));
  ASSERT_TRUE(outcomes.waitFor(2));
  for (const auto& outcome : outcomes.all()) {
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.error->domain(), "Keel");
    EXPECT_EQ(outcome.error->code(), platform::kLocationUnavailableErrorCode);
    EXPECT_EQ(outcome.error->localizedDescription(), "Location services are not available on this platform.");
    if (outcome.caller == 0) {
      EXPECT_FALSE(outcome.location);
    } else {
      EXPECT_EQ(outcome.location, (Location{0.0, 0.0}));
    }
  }
  EXPECT_EQ(manager->pendingBlockCount(), 0u);
}

TEST(CoreLocationManagerTest, ThreadsAskingAtOnceGetTheSameManager) {
  auto core = CoreManager::managerWithDataSource({});
  std::vector<std::shared_ptr<LocationManager>> got(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < got.size(); ++i) threads.emplace_back([&, i] { got[i] = coreLocationManager(core); });
  for (auto& thread : threads) thread.join();
  ASSERT_NE(got[0], nullptr);
  for (const auto& manager : got) EXPECT_EQ(manager, got[0]);
  EXPECT_EQ(coreLocationManager(core), got[0]);
}

TEST(CoreLocationManagerTest, EachCoreManagerHasItsOwnAndASetterReplacesIt) {
  auto first = CoreManager::managerWithDataSource({});
  auto second = CoreManager::managerWithDataSource({});
  auto a = coreLocationManager(first);
  EXPECT_NE(a, coreLocationManager(second));

  auto injected = LocationManager::initWithSystemLocationManager(std::make_shared<ScriptedLocationSource>());
  setCoreLocationManager(first, injected);
  EXPECT_EQ(coreLocationManager(first), injected);
  setCoreLocationManager(first, nullptr);
  auto remade = coreLocationManager(first);
  EXPECT_NE(remade, nullptr);
  EXPECT_NE(remade, injected);
}

TEST(CoreLocationManagerTest, TheManagerDiesWithItsCoreManager) {
  std::weak_ptr<LocationManager> kept;
  {
    auto core = CoreManager::managerWithDataSource({});
    kept = coreLocationManager(core);
    ASSERT_FALSE(kept.expired());
  }
  EXPECT_TRUE(kept.expired()) << "something keeps the location manager (or its core manager) alive";
}

}  // namespace
}  // namespace keel

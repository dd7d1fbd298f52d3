#include <keel/tasks/CancellationToken.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <keel/base/Exception.h>

#include "support/ExceptionTestSupport.h"

namespace keel {
namespace {

using namespace std::chrono_literals;

using testing::reasonOf;

TEST(CancellationTokenTest, NotifiesLiveRegistrationsOnceInRegistrationOrder) {
  CancellationTokenSource source;
  std::vector<int> calls;
  auto first = source.token()->registerCancellationObserverWithBlock([&] { calls.push_back(1); });
  auto withdrawn = source.token()->registerCancellationObserverWithBlock([&] { calls.push_back(2); });
  auto third = source.token()->registerCancellationObserverWithBlock([&] { calls.push_back(3); });
  withdrawn->dispose();
  withdrawn->dispose();
  source.cancel();
  source.cancel();
  EXPECT_TRUE(source.isCancellationRequested());
  EXPECT_EQ(calls, (std::vector<int>{1, 3}));

  source.token()->registerCancellationObserverWithBlock([&] { calls.push_back(4); });
  EXPECT_EQ(calls.size(), 2u);
}

TEST(CancellationTokenTest, LetsAnObserverDisposeItsOwnRegistration) {
  CancellationTokenSource source;
  CancellationTokenRegistrationPtr registration;
  int calls = 0;
  registration = source.token()->registerCancellationObserverWithBlock([&] {
    ++calls;
    registration->dispose();
  });
  source.cancel();
  EXPECT_EQ(calls, 1);
}

TEST(CancellationTokenTest, RefusesUseAfterDisposal) {
  auto source = CancellationTokenSource::cancellationTokenSource();
  int calls = 0;
  auto registration = source->token()->registerCancellationObserverWithBlock([&] { ++calls; });
  source->dispose();
  source->dispose();
  const std::string disposed = "InternalInconsistencyException: Object already disposed";
  EXPECT_EQ(reasonOf([&] { source->isCancellationRequested(); }), disposed);
  EXPECT_EQ(reasonOf([&] { source->cancel(); }), disposed);
  EXPECT_EQ(reasonOf([&] { source->cancelAfterDelay(10); }), disposed);
  registration->dispose();
  EXPECT_EQ(calls, 0);
}

TEST(CancellationTokenTest, ChecksTheDelay) {
  CancellationTokenSource source;
  EXPECT_EQ(reasonOf([&] { source.cancelAfterDelay(-2); }), "InvalidArgumentException: Delay must be >= -1");
  source.cancelAfterDelay(-1);
  EXPECT_FALSE(source.isCancellationRequested());
  source.cancelAfterDelay(0);
  EXPECT_TRUE(source.isCancellationRequested());
}

// Returns once `source` has been cancelled by its timer, or after a generous bound.
bool waitForCancellation(CancellationTokenSource& source) {
  auto signalled = std::make_shared<platform::Semaphore>(0);
  auto registration = source.token()->registerCancellationObserverWithBlock([signalled] { signalled->signal(); });
  return signalled->waitFor(10s);
}

TEST(CancellationTokenTest, CancelsAfterTheDelayUnlessWithdrawn) {
  CancellationTokenSource withdrawn;
  withdrawn.cancelAfterDelay(20);
  withdrawn.cancelAfterDelay(-1);

  CancellationTokenSource replaced;
  replaced.cancelAfterDelay(100000);
  replaced.cancelAfterDelay(30);

  CancellationTokenSource disposed;
  disposed.cancelAfterDelay(20);
  disposed.dispose();

  // The later timer fires after the withdrawn and disposed ones would have.
  ASSERT_TRUE(waitForCancellation(replaced));
  EXPECT_FALSE(withdrawn.isCancellationRequested());
}

TEST(CancellationTokenTest, SurvivesCancelAndDisposeRacingWithRegistrations) {
  for (int round = 0; round < 50; ++round) {
    auto source = CancellationTokenSource::cancellationTokenSource();
    std::atomic<int> calls{0};
    std::vector<CancellationTokenRegistrationPtr> registrations;
    for (int i = 0; i < 8; ++i) {
      registrations.push_back(source->token()->registerCancellationObserverWithBlock([&] { calls++; }));
    }
    std::thread canceller([&] { source->cancel(); });
    std::thread disposer([&] {
      for (auto& r : registrations) r->dispose();
    });
    canceller.join();
    disposer.join();
    EXPECT_LE(calls.load(), 8);
    source->dispose();
  }
}

}  // namespace
}  // namespace keel

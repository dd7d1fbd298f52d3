#include "app/BackendCatalogSource.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "app/AppDelegate.h"
#include <keel/core/Keel.h>
#include <keel/network/CommandResult.h>
#include <keel/network/CommandRunning.h>
#include <keel/network/RESTCommand.h>

namespace stillnook {
namespace {

using Clock = std::chrono::steady_clock;

keel::ErrorPtr cancelledError() { return keel::Error::keel(1, "The catalogue request was cancelled."); }

bool isTemporary(const keel::ErrorPtr& error) { return error && error->userInfo()["temporary"].boolValue(); }

// Waits until `until` or until the token is cancelled; returns false when cancelled.
bool sleepUnlessCancelled(Clock::time_point until, const keel::CancellationTokenPtr& token) {
  if (!token) {
    std::this_thread::sleep_until(until);
    return true;
  }
  struct Wake {
    std::mutex mutex;
    std::condition_variable condition;
    bool cancelled = false;
  };
  auto wake = std::make_shared<Wake>();
  auto registration = token->registerCancellationObserverWithBlock([wake] {
    std::lock_guard lock(wake->mutex);
    wake->cancelled = true;
    wake->condition.notify_all();
  });
  bool cancelled;
  {
    std::unique_lock lock(wake->mutex);
    // A cancellation made before the observer was registered is not told to it.
    wake->cancelled = wake->cancelled || token->isCancellationRequested();
    wake->condition.wait_until(lock, until, [&] { return wake->cancelled; });
    cancelled = wake->cancelled;
  }
  registration->dispose();
  return !cancelled;
}

class BackendCatalogSource : public CatalogSource {
 public:
  BackendCatalogSource(std::string serverURL, BackendCatalogSourceOptions options)
      : serverURL_(std::move(serverURL)), options_(options) {
    options_.attempts = std::max(1, options_.attempts);
    options_.initialRetryDelay = std::max(0.0, options_.initialRetryDelay);
  }

  void configure() override {
    keel::Keel::setServer(serverURL_);
    keel::Keel::setApplicationId(kApplicationId, kClientKey);
    configured_ = true;
  }

  using CatalogSource::fetchCatalog;
  std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr* error, const FetchContext& context) override {
    if (!configured_) configure();
    double delay = firstDelay();
    FetchProgress progress;
    progress.attempts = options_.attempts;
    for (int attempt = 1;; ++attempt) {
      progress.attempt = attempt;
      progress.nextAttemptAt.reset();
      context.report(progress);
      keel::ErrorPtr failure;
      auto result = runOnce(context, &failure);
      if (result) return parse(*result, error);
      if (context.isCancelled() || !failure) {
        if (error) *error = failure && !context.isCancelled() ? failure : cancelledError();
        return std::nullopt;
      }
      if (!isTemporary(failure) || attempt >= options_.attempts) {
        if (error) *error = failure;
        return std::nullopt;
      }
      const auto next = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
      progress.nextAttemptAt = next;
      progress.lastError = failure;
      context.report(progress);
      if (!sleepUnlessCancelled(next, context.cancellationToken)) {
        if (error) *error = cancelledError();
        return std::nullopt;
      }
      delay *= 2;
    }
  }

 private:
  double firstDelay() const {
    thread_local std::mt19937_64 random{std::random_device{}()};
    return options_.initialRetryDelay * (1.0 + std::uniform_real_distribution<double>(0.0, 1.0)(random));
  }

  // Sends the find command once; returns its result, or none with `failure` set (none when
  // the request was cancelled).
  static keel::CommandResultPtr runOnce(const FetchContext& context, keel::ErrorPtr* failure) {
    auto command = keel::RESTCommand::commandWithHTTPPath("classes/Video", "GET", keel::Dictionary{}, std::nullopt);
    auto task = keel::Keel::commandRunner()->runCommandAsync(command, keel::kCommandRunningOptionNone,
                                                             context.cancellationToken);
    // The wait is on a worker thread, or on the main thread of a program that has nothing else
    // to do meanwhile (a test, a tool): not an accidental block of an event loop.
    return task.waitForResult(failure, false);
  }

  static std::optional<std::vector<CatalogEntry>> parse(const keel::CommandResult& result, keel::ErrorPtr* error) {
    const keel::Value& results = result.result().get("results");
    if (!results.isArray()) {
      if (error) *error = keel::Error::keel(1, "The server's answer has no \"results\" list.");
      return std::nullopt;
    }
    std::vector<CatalogEntry> entries;
    for (const auto& object : results.arrayValue()) {
      if (!object.isDictionary()) continue;
      CatalogEntry entry;
      entry.objectId = object.get("objectId").isString() ? object.get("objectId").stringValue() : std::string();
      entry.fields = object.dictionaryValue();
      entries.push_back(std::move(entry));
    }
    return entries;
  }

  std::string serverURL_;
  BackendCatalogSourceOptions options_;
  bool configured_ = false;
};

}  // namespace

std::unique_ptr<CatalogSource> makeBackendCatalogSource(const std::string& serverURL,
                                                        BackendCatalogSourceOptions options) {
  return std::make_unique<BackendCatalogSource>(serverURL, options);
}

}  // namespace stillnook

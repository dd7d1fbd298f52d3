// CatalogSource: where the launch takes the exercise catalogue from. The application's source
// asks the backend for its "Video" objects through the client library; tests give their own.
//
// A fetch may take long (a backend that is down is retried for up to half a minute), so the
// launch runs it off the main thread and shows what it is doing: a source reports each attempt
// and the time of the next one through the fetch's progress callback, and stops soon after the
// fetch's cancellation token is cancelled.
//
// Thread-safety: configure() runs on the main thread before any fetch; fetchCatalog() may run on
// any thread, one fetch at a time. The progress callback is called on the fetching thread.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <keel/base/Error.h>
#include <keel/base/Value.h>
#include <keel/tasks/CancellationToken.h>

namespace stillnook {

// One backend object of class "Video": its id and its fields as the server sent them
// ("Mins", "Type", "Title", "HTMLLink", "ThumbnailImage", "MP4Link"; any may be missing or of
// another kind, which the launch checks).
struct CatalogEntry {
  std::string objectId;
  keel::Dictionary fields;
};

// Where a fetch stands.
struct FetchProgress {
  // The attempt under way, or the one that just failed when `nextAttemptAt` is set (from 1).
  int attempt = 1;
  // The most attempts the source makes.
  int attempts = 1;
  // When the next attempt starts; none while an attempt is under way.
  std::optional<std::chrono::steady_clock::time_point> nextAttemptAt;
  // Why the last attempt failed; none while the first attempt is under way.
  keel::ErrorPtr lastError;
};

// What a fetch may report to and be stopped by; both may be empty.
struct FetchContext {
  std::function<void(const FetchProgress&)> progress;
  keel::CancellationTokenPtr cancellationToken;

  void report(const FetchProgress& p) const {
    if (progress) progress(p);
  }
  bool isCancelled() const { return cancellationToken && cancellationToken->isCancellationRequested(); }
};

class CatalogSource {
 public:
  virtual ~CatalogSource() = default;
  // Configures the client library before the first fetch.
  virtual void configure() {}
  // Returns the catalogue in the server's order, or nullopt with `error` set (also when the
  // context's token was cancelled). Blocks the calling thread.
  virtual std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr* error, const FetchContext& context) = 0;
  // As above, without progress and cancellation.
  std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr* error) { return fetchCatalog(error, {}); }
};

// The source of a build that has no backend configured: every fetch fails with a clear error.
class UnconfiguredCatalogSource : public CatalogSource {
 public:
  using CatalogSource::fetchCatalog;
  std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr* error, const FetchContext& context) override;
};

}  // namespace stillnook

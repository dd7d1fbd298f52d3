// CatalogSync: one catalogue fetch run off the main thread, for a launch that must not freeze
// the event loop while it waits. The fetch runs on the global dispatch queue; its progress and
// its outcome come back on the main queue. cancel() ends the wait at once as a failure and asks
// the source to stop; whatever the fetch returns afterwards is dropped, so a late answer can
// never replace the catalogue after the launch went on without it.
//
// Thread-safety: start(), cancel() and abandon() on the main thread; the handlers are called
// there. Ownership: the fetch holds the source until it returns and the sync only weakly:
// whoever started the sync keeps it, and a sync let go of reports nothing.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/CatalogSource.h"

namespace stillnook {

class CatalogSync : public std::enable_shared_from_this<CatalogSync> {
 public:
  using ProgressHandler = std::function<void(const FetchProgress&)>;
  // Called once: the entries, or none with the error.
  using Completion = std::function<void(std::optional<std::vector<CatalogEntry>>, keel::ErrorPtr)>;

  // Starts fetching from `source` and returns at once.
  static std::shared_ptr<CatalogSync> start(std::shared_ptr<CatalogSource> source, ProgressHandler progress,
                                            Completion completion);
  ~CatalogSync();

  // Completes now with none and `reason` (unless already complete) and stops the fetch.
  void cancel(keel::ErrorPtr reason);
  // Stops the fetch and drops the handlers without calling them (their owner is going away).
  void abandon();
  bool isFinished() const { return finished_; }

 private:
  CatalogSync(ProgressHandler progress, Completion completion);
  void finish(std::optional<std::vector<CatalogEntry>> entries, keel::ErrorPtr error);

  ProgressHandler progress_;
  Completion completion_;
  keel::CancellationTokenSourcePtr cancellation_;
  bool finished_ = false;
};

}  // namespace stillnook

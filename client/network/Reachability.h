// Reachability: follows the platform's reachability of the backend host and tells registered
// listeners (the offline command queue among them) each time the platform reports new flags,
// also when the derived state did not change.
//
// State: 1 (reachable) exactly when the flags have "reachable" set and either "connection
// required" is clear, or "connection on traffic" or "connection on demand" is set and
// "intervention required" is clear; else 0.
//
// Threading: flags, listener bookkeeping and listener calls all happen on the reachability's own
// concurrent queue: reads are synchronous, writes are barriers, listeners are called there (not
// on the main thread), in registration order. Listeners are held weakly; entries whose listener
// has gone are skipped and purged after the next notification. A listener must not add or
// remove listeners synchronously from inside its callback (that would wait on the queue it runs
// on); post such work elsewhere.
//
// Thread-safety: every member may be called from any thread. Held by std::shared_ptr; the
// platform callback holds it weakly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <keel/platform/Dispatch.h>
#include <keel/platform/ReachabilitySource.h>

namespace keel {

enum class ReachabilityState : int { NotReachable = 0, Reachable = 1 };

class Reachability;

class ReachabilityListener {
 public:
  virtual ~ReachabilityListener() = default;
  virtual void reachabilityDidChangeReachabilityState(Reachability& reachability, ReachabilityState state) = 0;
};

class Reachability : public std::enable_shared_from_this<Reachability> {
 public:
  // Returns the process-wide instance for the host of kDefaultServerURLString, created on first
  // use. Code that talks to another server watches that one's host with initWithURL.
  static std::shared_ptr<Reachability> sharedReachability();
  // Returns a reachability for the host of `url`, monitored by the platform source.
  static std::shared_ptr<Reachability> initWithURL(const std::string& url);
  // Returns a reachability monitored by `source` (nullptr: never reachable). Tests inject here.
  static std::shared_ptr<Reachability> initWithSource(std::shared_ptr<platform::ReachabilitySource> source);
  ~Reachability();

  // Returns the state the flags give.
  static ReachabilityState stateForFlags(platform::ReachabilityFlags flags);

  void addListener(const std::shared_ptr<ReachabilityListener>& listener);
  // Removes every entry of `listener` and every entry whose listener has gone.
  void removeListener(const ReachabilityListener* listener);
  void removeAllListeners();
  // Returns the number of entries, gone listeners included until they are purged.
  std::size_t listenerEntryCount() const;

  platform::ReachabilityFlags flags() const;
  ReachabilityState currentState() const;
  // Stores new flags and notifies every listener (asynchronously, on the queue).
  void setFlags(platform::ReachabilityFlags flags);
  // Asks the platform source to look again.
  void refresh();

  // Returns the queue listeners are called on.
  const platform::DispatchQueuePtr& synchronizationQueue() const { return queue_; }

 private:
  Reachability();
  void startMonitoring(std::shared_ptr<platform::ReachabilitySource> source);
  void notifyListeners(platform::ReachabilityFlags flags);

  platform::DispatchQueuePtr queue_;
  std::shared_ptr<platform::ReachabilitySource> networkReachability_;
  // Guarded by queue_ (reads sync, writes barriers).
  platform::ReachabilityFlags flags_ = 0;
  std::vector<std::weak_ptr<ReachabilityListener>> listeners_;
};

}  // namespace keel

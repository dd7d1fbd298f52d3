// NetworkActivityIndicatorManager: counts requests in flight from the command runner's request
// notifications and shows the platform's network-activity indicator while any is running. The
// indicator appears as soon as a request starts and disappears 0.17 s after the last one ends,
// so back-to-back requests do not make it flicker.
//
// The platform indicator is a callback (setIndicatorVisibilityHandler) that the application
// installs, for example to show a busy mark in its navigation bar; it is called on the main
// thread, only when the manager is enabled and the visibility changes.
//
// Threading: the count lives on the manager's own serial queue and is changed synchronously
// there; visibility updates and the hide timer run on the main queue.
//
// Thread-safety: every member may be called from any thread. The shared manager lives for the
// whole process; other instances stop observing when destroyed, and work they posted holds them
// weakly.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include <keel/platform/Dispatch.h>
#include <keel/platform/NotificationCenter.h>

namespace keel {

class NetworkActivityIndicatorManager : public std::enable_shared_from_this<NetworkActivityIndicatorManager> {
 public:
  static constexpr std::chrono::milliseconds kHideDelay{170};

  // Returns the process-wide manager, observing the default notification centre.
  static std::shared_ptr<NetworkActivityIndicatorManager> sharedManager();
  // Returns a manager observing `center` (tests use their own centre).
  static std::shared_ptr<NetworkActivityIndicatorManager> create(std::shared_ptr<platform::NotificationCenter> center);
  ~NetworkActivityIndicatorManager();

  bool isEnabled() const;
  void setEnabled(bool enabled);

  unsigned networkActivityCount() const;
  void setNetworkActivityCount(unsigned count);
  void incrementActivityCount();
  // Decrements the count; a count of 0 stays 0 (an unmatched response must not wrap it around
  // and leave the indicator on for ever).
  void decrementActivityCount();
  bool isNetworkActivityIndicatorVisible() const { return networkActivityCount() != 0; }

  // Sets what shows or hides the platform indicator. Called on the main thread.
  void setIndicatorVisibilityHandler(std::function<void(bool visible)> handler);

 private:
  NetworkActivityIndicatorManager() = default;
  void observe(std::shared_ptr<platform::NotificationCenter> center);
  void changeCount(const std::function<unsigned(unsigned)>& change);
  void updateVisibility();  // main thread
  void applyVisibility();   // main thread

  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::createSerial("app.stillnook.keel.activityindicator");
  unsigned count_ = 0;  // on queue_
  std::atomic<bool> enabled_{false};

  // Main thread only.
  platform::DelayedWorkPtr hideTimer_;
  bool shownVisible_ = false;

  mutable std::mutex handlerMutex_;
  std::function<void(bool)> handler_;

  std::shared_ptr<platform::NotificationCenter> center_;
  platform::NotificationCenter::ObserverToken willSendToken_ = 0;
  platform::NotificationCenter::ObserverToken didReceiveToken_ = 0;
};

}  // namespace keel

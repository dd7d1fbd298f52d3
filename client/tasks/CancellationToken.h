// Cooperative cancellation. A CancellationTokenSource owns one CancellationToken and is what
// the party that may cancel keeps; the token is what the work (and its continuations) checks.
// Observers registered on a token are called once, in registration order, when cancellation
// is first requested. Registering on an already cancelled token does not call the observer.
//
// A token and its registrations can be disposed once. Disposing a token disposes its
// registrations and withdraws a pending delayed cancellation; afterwards
// isCancellationRequested, cancel and cancelAfterDelay throw InternalInconsistencyException
// "Object already disposed".
//
// Delayed cancellation (cancelAfterDelay) is scheduled on the dispatch layer's timers, not on
// the calling thread: a token may be created on a thread that never runs a loop.
//
// Thread-safety: every member may be called from any thread. Observers run on the thread that
// calls cancel (or on a dispatch thread for a delayed cancellation), outside the token's lock,
// so an observer may itself use the token. Objects are held by std::shared_ptr; a registration
// refers to its token weakly.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <keel/platform/Dispatch.h>

namespace keel {

class CancellationToken;
class CancellationTokenRegistration;
class CancellationTokenSource;
using CancellationTokenPtr = std::shared_ptr<CancellationToken>;
using CancellationTokenRegistrationPtr = std::shared_ptr<CancellationTokenRegistration>;
using CancellationTokenSourcePtr = std::shared_ptr<CancellationTokenSource>;

class CancellationTokenRegistration
    : public std::enable_shared_from_this<CancellationTokenRegistration> {
 public:
  // Disposes the registration: its observer will not be called any more, and it leaves its
  // token's list. Waits for a notification that is running on another thread. A second call
  // does nothing.
  void dispose();

 private:
  friend class CancellationToken;
  CancellationTokenRegistration(std::weak_ptr<CancellationToken> token, std::function<void()> block)
      : token_(std::move(token)), block_(std::move(block)) {}
  // Calls the observer unless the registration was disposed meanwhile.
  void notify();
  // Disposes without touching the token, for the token's own disposal.
  void disposeFromToken();

  std::recursive_mutex mutex_;
  std::weak_ptr<CancellationToken> token_;
  std::function<void()> block_;
  bool disposed_ = false;
};

class CancellationToken : public std::enable_shared_from_this<CancellationToken> {
 public:
  ~CancellationToken();

  // Returns true iff cancellation was requested. Throws "Object already disposed".
  bool isCancellationRequested() const;
  // Registers `block` to be called when cancellation is requested; returns the registration
  // that withdraws it. Throws "Object already disposed".
  CancellationTokenRegistrationPtr registerCancellationObserverWithBlock(std::function<void()> block);

  // Requests cancellation and notifies the observers (the first time only).
  void cancel();
  // Requests cancellation after `millis` milliseconds: 0 cancels at once, -1 only withdraws a
  // pending delayed cancellation. Throws InvalidArgumentException "Delay must be >= -1" for
  // smaller delays, and "Object already disposed".
  void cancelAfterDelay(int millis);
  // Disposes the token and its registrations. A second call does nothing.
  void dispose();

 private:
  friend class CancellationTokenSource;
  friend class CancellationTokenRegistration;
  CancellationToken() = default;
  static CancellationTokenPtr create();

  void throwIfDisposedLocked() const;
  // Cancels on behalf of a fired timer; does nothing on a disposed token.
  void cancelFromTimer(const platform::DelayedWorkPtr& timer);
  void notifyAll(std::vector<CancellationTokenRegistrationPtr> registrations);
  void unregister(const CancellationTokenRegistration* registration);

  mutable std::recursive_mutex mutex_;
  bool cancellationRequested_ = false;
  bool disposed_ = false;
  std::vector<CancellationTokenRegistrationPtr> registrations_;
  platform::DelayedWorkPtr pendingCancellation_;
};

class CancellationTokenSource {
 public:
  CancellationTokenSource();
  // Returns a new source with a new token.
  static CancellationTokenSourcePtr cancellationTokenSource();

  const CancellationTokenPtr& token() const { return token_; }
  bool isCancellationRequested() const { return token_->isCancellationRequested(); }
  void cancel() { token_->cancel(); }
  void cancelAfterDelay(int millis) { token_->cancelAfterDelay(millis); }
  void dispose() { token_->dispose(); }

 private:
  CancellationTokenPtr token_;
};

}  // namespace keel

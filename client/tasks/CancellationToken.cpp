#include <keel/tasks/CancellationToken.h>

#include <algorithm>

#include <keel/base/Exception.h>

namespace keel {

namespace {
constexpr const char* kDisposedMessage = "Object already disposed";
}

// ---------------------------------------------------------------------------------------------
// CancellationTokenRegistration

void CancellationTokenRegistration::notify() {
  std::lock_guard lock(mutex_);
  // A registration disposed after cancel copied the list is not an error of the cancelling
  // caller; its observer simply must not run any more.
  if (disposed_ || !block_) return;
  block_();
}

void CancellationTokenRegistration::dispose() {
  std::shared_ptr<CancellationToken> token;
  {
    std::lock_guard lock(mutex_);
    if (disposed_) return;
    disposed_ = true;
    token = token_.lock();
    token_.reset();
    block_ = nullptr;
  }
  if (token) token->unregister(this);
}

void CancellationTokenRegistration::disposeFromToken() {
  std::function<void()> block;
  {
    std::lock_guard lock(mutex_);
    if (disposed_) return;
    disposed_ = true;
    token_.reset();
    block = std::move(block_);
    block_ = nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// CancellationToken

CancellationTokenPtr CancellationToken::create() {
  return CancellationTokenPtr(new CancellationToken());
}

CancellationToken::~CancellationToken() {
  if (pendingCancellation_) pendingCancellation_->cancel();
}

void CancellationToken::throwIfDisposedLocked() const {
  if (disposed_) throw InternalInconsistencyException(kDisposedMessage);
}

bool CancellationToken::isCancellationRequested() const {
  std::lock_guard lock(mutex_);
  throwIfDisposedLocked();
  return cancellationRequested_;
}

CancellationTokenRegistrationPtr CancellationToken::registerCancellationObserverWithBlock(
    std::function<void()> block) {
  std::lock_guard lock(mutex_);
  throwIfDisposedLocked();
  CancellationTokenRegistrationPtr registration(
      new CancellationTokenRegistration(weak_from_this(), std::move(block)));
  registrations_.push_back(registration);
  return registration;
}

void CancellationToken::cancel() {
  std::vector<CancellationTokenRegistrationPtr> registrations;
  {
    std::lock_guard lock(mutex_);
    throwIfDisposedLocked();
    if (cancellationRequested_) return;
    if (pendingCancellation_) {
      pendingCancellation_->cancel();
      pendingCancellation_.reset();
    }
    cancellationRequested_ = true;
    registrations = registrations_;
  }
  notifyAll(std::move(registrations));
}

void CancellationToken::cancelFromTimer(const platform::DelayedWorkPtr& timer) {
  std::vector<CancellationTokenRegistrationPtr> registrations;
  {
    std::lock_guard lock(mutex_);
    // A timer that was withdrawn but had already started, or a token disposed meanwhile,
    // must not cancel.
    if (disposed_ || cancellationRequested_ || pendingCancellation_ != timer) return;
    pendingCancellation_.reset();
    cancellationRequested_ = true;
    registrations = registrations_;
  }
  notifyAll(std::move(registrations));
}

void CancellationToken::notifyAll(std::vector<CancellationTokenRegistrationPtr> registrations) {
  for (const auto& registration : registrations) registration->notify();
}

void CancellationToken::cancelAfterDelay(int millis) {
  {
    std::lock_guard lock(mutex_);
    throwIfDisposedLocked();
  }
  parameterAssert(millis >= -1, "Delay must be >= -1");
  if (millis == 0) {
    cancel();
    return;
  }
  std::lock_guard lock(mutex_);
  throwIfDisposedLocked();
  if (pendingCancellation_) {
    pendingCancellation_->cancel();
    pendingCancellation_.reset();
  }
  if (millis == -1 || cancellationRequested_) return;
  // The timer holds the token weakly: a token nobody holds any more has nobody to tell.
  auto timer = std::make_shared<platform::DelayedWorkPtr>();
  auto fire = [weak = weak_from_this(), timer] {
    if (auto token = weak.lock()) token->cancelFromTimer(*timer);
  };
  // The slot is filled under our lock, and the timer's callback takes the same lock before it
  // reads it, so the callback always sees its own handle.
  *timer = platform::dispatchAfter(platform::Milliseconds(millis), platform::DispatchQueue::global(),
                                   std::move(fire));
  pendingCancellation_ = *timer;
}

void CancellationToken::dispose() {
  std::vector<CancellationTokenRegistrationPtr> registrations;
  {
    std::lock_guard lock(mutex_);
    if (disposed_) return;
    disposed_ = true;
    if (pendingCancellation_) {
      pendingCancellation_->cancel();
      pendingCancellation_.reset();
    }
    registrations.swap(registrations_);
  }
  for (const auto& registration : registrations) registration->disposeFromToken();
}

void CancellationToken::unregister(const CancellationTokenRegistration* registration) {
  std::lock_guard lock(mutex_);
  // A registration disposed while its token is being disposed finds the list already gone;
  // there is nothing to remove and nothing the caller did wrong.
  if (disposed_) return;
  auto it = std::find_if(registrations_.begin(), registrations_.end(),
                         [&](const auto& r) { return r.get() == registration; });
  if (it != registrations_.end()) registrations_.erase(it);
}

// ---------------------------------------------------------------------------------------------
// CancellationTokenSource

CancellationTokenSource::CancellationTokenSource() : token_(CancellationToken::create()) {}

CancellationTokenSourcePtr CancellationTokenSource::cancellationTokenSource() {
  return std::make_shared<CancellationTokenSource>();
}

}  // namespace keel

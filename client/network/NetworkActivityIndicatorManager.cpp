#include <keel/network/NetworkActivityIndicatorManager.h>

#include <keel/network/CommandRunning.h>

namespace keel {

std::shared_ptr<NetworkActivityIndicatorManager> NetworkActivityIndicatorManager::sharedManager() {
  static std::shared_ptr<NetworkActivityIndicatorManager> shared = create(platform::NotificationCenter::defaultCenter());
  return shared;
}

std::shared_ptr<NetworkActivityIndicatorManager> NetworkActivityIndicatorManager::create(
    std::shared_ptr<platform::NotificationCenter> center) {
  std::shared_ptr<NetworkActivityIndicatorManager> m(new NetworkActivityIndicatorManager());
  m->observe(std::move(center));
  return m;
}

void NetworkActivityIndicatorManager::observe(std::shared_ptr<platform::NotificationCenter> center) {
  center_ = std::move(center);
  std::weak_ptr<NetworkActivityIndicatorManager> weak = weak_from_this();
  willSendToken_ = center_->addObserver(kNetworkWillSendURLRequestNotification, nullptr, [weak](const auto&) {
    if (auto m = weak.lock()) m->incrementActivityCount();
  });
  didReceiveToken_ = center_->addObserver(kNetworkDidReceiveURLResponseNotification, nullptr, [weak](const auto&) {
    if (auto m = weak.lock()) m->decrementActivityCount();
  });
}

NetworkActivityIndicatorManager::~NetworkActivityIndicatorManager() {
  center_->removeObserver(willSendToken_);
  center_->removeObserver(didReceiveToken_);
  if (hideTimer_) hideTimer_->cancel();
}

bool NetworkActivityIndicatorManager::isEnabled() const { return enabled_.load(); }
void NetworkActivityIndicatorManager::setEnabled(bool enabled) { enabled_.store(enabled); }

unsigned NetworkActivityIndicatorManager::networkActivityCount() const {
  return queue_->syncResult([&] { return count_; });
}

void NetworkActivityIndicatorManager::changeCount(const std::function<unsigned(unsigned)>& change) {
  queue_->sync([&] { count_ = change(count_); });
  platform::DispatchQueue::main()->async([weak = weak_from_this()] {
    if (auto m = weak.lock()) m->updateVisibility();
  });
}

void NetworkActivityIndicatorManager::setNetworkActivityCount(unsigned count) {
  changeCount([count](unsigned) { return count; });
}
void NetworkActivityIndicatorManager::incrementActivityCount() {
  changeCount([](unsigned c) { return c + 1; });
}
void NetworkActivityIndicatorManager::decrementActivityCount() {
  changeCount([](unsigned c) { return c == 0 ? 0u : c - 1; });
}

void NetworkActivityIndicatorManager::setIndicatorVisibilityHandler(std::function<void(bool)> handler) {
  std::lock_guard lock(handlerMutex_);
  handler_ = std::move(handler);
}

void NetworkActivityIndicatorManager::updateVisibility() {
  if (!isEnabled()) return;
  if (hideTimer_) {
    hideTimer_->cancel();
    hideTimer_.reset();
  }
  if (networkActivityCount() == 0) {
    hideTimer_ = platform::dispatchAfter(kHideDelay, platform::DispatchQueue::main(), [weak = weak_from_this()] {
      if (auto m = weak.lock()) m->applyVisibility();
    });
  } else {
    applyVisibility();
  }
}

void NetworkActivityIndicatorManager::applyVisibility() {
  bool visible = isNetworkActivityIndicatorVisible();
  if (visible == shownVisible_) return;
  shownVisible_ = visible;
  std::function<void(bool)> handler;
  {
    std::lock_guard lock(handlerMutex_);
    handler = handler_;
  }
  if (handler) handler(visible);
}

}  // namespace keel

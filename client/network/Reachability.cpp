#include <keel/network/Reachability.h>

#include <curl/curl.h>

#include <algorithm>

#include <keel/network/CommandURLRequestConstructor.h>
#include <keel/base/Format.h>
#include <keel/base/Logger.h>

namespace keel {

namespace {

std::string hostOf(const std::string& url) {
  std::string host;
  if (CURLU* u = curl_url()) {
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
      char* h = nullptr;
      if (curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK && h) host = h;
      curl_free(h);
    }
    curl_url_cleanup(u);
  }
  return host;
}

}  // namespace

Reachability::Reachability() : queue_(platform::DispatchQueue::createConcurrent("app.stillnook.keel.reachability")) {}

Reachability::~Reachability() {
  if (networkReachability_) networkReachability_->stop();
}

std::shared_ptr<Reachability> Reachability::sharedReachability() {
  static std::shared_ptr<Reachability> shared =
      initWithURL(formatMessage("%@/%ld", kDefaultServerURLString, 2L));
  return shared;
}

std::shared_ptr<Reachability> Reachability::initWithURL(const std::string& url) {
  return initWithSource(platform::ReachabilitySource::createForHost(hostOf(url)));
}

std::shared_ptr<Reachability> Reachability::initWithSource(std::shared_ptr<platform::ReachabilitySource> source) {
  std::shared_ptr<Reachability> r(new Reachability());
  r->startMonitoring(std::move(source));
  return r;
}

void Reachability::startMonitoring(std::shared_ptr<platform::ReachabilitySource> source) {
  queue_->barrierAsync([weak = weak_from_this(), source = std::move(source)] {
    auto self = weak.lock();
    if (!self || !source) return;
    self->networkReachability_ = source;
    // Stored here, inside this barrier, so that a read queued after creation sees them.
    self->flags_ = source->currentFlags();
    self->notifyListeners(self->flags_);
    bool started = source->setCallback(
        [weak](platform::ReachabilityFlags flags) {
          if (auto s = weak.lock()) s->setFlags(flags);
        },
        self->queue_);
    if (!started) logError("Unable to start listening for network connectivity status.");
  });
}

ReachabilityState Reachability::stateForFlags(platform::ReachabilityFlags flags) {
  using namespace platform;
  if (!(flags & kReachabilityReachable)) return ReachabilityState::NotReachable;
  if (!(flags & kReachabilityConnectionRequired)) return ReachabilityState::Reachable;
  if ((flags & (kReachabilityConnectionOnTraffic | kReachabilityConnectionOnDemand)) &&
      !(flags & kReachabilityInterventionRequired))
    return ReachabilityState::Reachable;
  return ReachabilityState::NotReachable;
}

void Reachability::addListener(const std::shared_ptr<ReachabilityListener>& listener) {
  queue_->barrierSync([&] { listeners_.push_back(listener); });
}

void Reachability::removeListener(const ReachabilityListener* listener) {
  queue_->barrierSync([&] {
    std::erase_if(listeners_, [&](const std::weak_ptr<ReachabilityListener>& w) {
      auto l = w.lock();
      return !l || l.get() == listener;
    });
  });
}

void Reachability::removeAllListeners() {
  queue_->barrierSync([&] { listeners_.clear(); });
}

std::size_t Reachability::listenerEntryCount() const {
  return queue_->syncResult([&] { return listeners_.size(); });
}

platform::ReachabilityFlags Reachability::flags() const {
  return queue_->syncResult([&] { return flags_; });
}

ReachabilityState Reachability::currentState() const { return stateForFlags(flags()); }

void Reachability::setFlags(platform::ReachabilityFlags flags) {
  queue_->barrierAsync([self = shared_from_this(), flags] {
    self->flags_ = flags;
    self->notifyListeners(flags);
  });
}

void Reachability::refresh() {
  queue_->async([self = shared_from_this()] {
    if (self->networkReachability_) self->networkReachability_->refresh();
  });
}

void Reachability::notifyListeners(platform::ReachabilityFlags flags) {
  // Each update reports the state of its own flags: reading flags_ here instead could report a
  // later update twice and skip this one.
  queue_->async([self = shared_from_this(), flags] {
    ReachabilityState state = stateForFlags(flags);
    for (const auto& w : self->listeners_)
      if (auto l = w.lock()) l->reachabilityDidChangeReachabilityState(*self, state);
    self->queue_->barrierAsync([self] {
      std::erase_if(self->listeners_, [](const std::weak_ptr<ReachabilityListener>& w) { return w.expired(); });
    });
  });
}

}  // namespace keel

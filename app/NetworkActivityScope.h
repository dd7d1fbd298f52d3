// NetworkActivityScope: counts one request in flight on an activity indicator manager for as long
// as it exists, so the app's own downloads turn the busy mark beside the library's requests.
//
// Thread-safety: may be made and destroyed on any thread (the manager's count is thread-safe).
// Ownership: shares the manager; a scope without a manager counts nothing.
#pragma once

#include <memory>

#include <keel/network/NetworkActivityIndicatorManager.h>

namespace stillnook {

class NetworkActivityScope {
 public:
  explicit NetworkActivityScope(std::shared_ptr<keel::NetworkActivityIndicatorManager> manager);
  ~NetworkActivityScope();
  NetworkActivityScope(const NetworkActivityScope&) = delete;
  NetworkActivityScope& operator=(const NetworkActivityScope&) = delete;

 private:
  std::shared_ptr<keel::NetworkActivityIndicatorManager> manager_;
};

}  // namespace stillnook

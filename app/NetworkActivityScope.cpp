#include "app/NetworkActivityScope.h"

#include <utility>

namespace stillnook {

NetworkActivityScope::NetworkActivityScope(std::shared_ptr<keel::NetworkActivityIndicatorManager> manager)
    : manager_(std::move(manager)) {
  if (manager_) manager_->incrementActivityCount();
}

NetworkActivityScope::~NetworkActivityScope() {
  if (manager_) manager_->decrementActivityCount();
}

}  // namespace stillnook

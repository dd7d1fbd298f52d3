#include "app/screens/NetworkActivity.h"

#include <QPointer>

#include "app/screens/NavigationController.h"
#include <keel/network/NetworkActivityIndicatorManager.h>

namespace stillnook {

void showNetworkActivityIn(NavigationBar* bar) {
  auto manager = keel::NetworkActivityIndicatorManager::sharedManager();
  QPointer<NavigationBar> target(bar);
  manager->setIndicatorVisibilityHandler([target](bool visible) {
    if (target) target->setNetworkActivityIndicatorVisible(visible);
  });
  // A request that started before the window existed has already been announced.
  if (bar) bar->setNetworkActivityIndicatorVisible(manager->isEnabled() && manager->isNetworkActivityIndicatorVisible());
}

}  // namespace stillnook

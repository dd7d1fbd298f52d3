#include "app/screens/QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

namespace stillnook {

void QtMainQueueDriver::post(platform::Work work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || !work) return;
  // Queued calls to one receiver are delivered in posting order, which the main queue promises.
  QMetaObject::invokeMethod(app, [w = std::move(work)]() { w(); }, Qt::QueuedConnection);
}

void installQtMainQueue() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  platform::MainLoop::installDriver(std::make_shared<QtMainQueueDriver>());
}

}  // namespace stillnook

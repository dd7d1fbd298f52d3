// Runs the dispatch layer's main queue on Qt's event loop, so that work posted to the main queue
// from any thread (a finished download, a task continuation) runs on the GUI thread between Qt
// events, in posting order.
//
// Thread-safety: post() may be called from any thread. installQtMainQueue() must be called on
// the GUI thread after the QApplication exists; work posted after the application is gone is
// dropped.
#pragma once

#include <memory>

#include <keel/platform/Dispatch.h>

namespace stillnook {

class QtMainQueueDriver : public platform::MainQueueDriver {
 public:
  void post(platform::Work work) override;
};

// Installs a QtMainQueueDriver as the main queue's driver. Idempotent.
void installQtMainQueue();

}  // namespace stillnook

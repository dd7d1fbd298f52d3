#include <keel/tasks/AsyncTaskQueue.h>

#include <string>

#include <keel/tasks/TaskLibrary.h>

namespace keel {

AsyncTaskQueue::AsyncTaskQueue()
    : syncQueue_(platform::DispatchQueue::createSerial(std::string(kQueueLabelPrefix) + ".asynctaskqueue.sync")),
      tail_(Task<>::taskWithResult()) {}

std::shared_ptr<AsyncTaskQueue> AsyncTaskQueue::taskQueue() {
  return std::shared_ptr<AsyncTaskQueue>(new AsyncTaskQueue());
}

}  // namespace keel

#include <keel/storage/MultiProcessFileLock.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <keel/base/Exception.h>
#include <keel/tasks/TaskLibrary.h>
#include <keel/base/Logger.h>
#include <keel/platform/FileSystem.h>

namespace keel {

MultiProcessFileLock::MultiProcessFileLock() {
  throw InternalInconsistencyException(formatMessage(
      "%@ is not the designated initializer for instances of %@.", "init", "MultiProcessFileLock"));
}

MultiProcessFileLock::MultiProcessFileLock(std::string filePath)
    : filePath_(std::move(filePath)),
      lockFilePath_(filePath_ + ".keellock"),
      queue_(platform::DispatchQueue::createSerial(
          std::string(kQueueLabelPrefix) + ".multiprocess." + platform::lastPathComponentWithoutExtension(filePath_))) {}

MultiProcessFileLock::~MultiProcessFileLock() {
  if (fileDescriptor_ > 0) ::close(fileDescriptor_);
}

std::shared_ptr<MultiProcessFileLock> MultiProcessFileLock::lockForFileWithPath(const std::string& path) {
  return std::make_shared<MultiProcessFileLock>(path);
}

bool MultiProcessFileLock::lock() {
  bool held = false;
  queue_->sync([&] {
    if (fileDescriptor_ > 0) {
      held = true;
      return;
    }
    auto deadline = std::chrono::steady_clock::now() + kOpenRetryLimit;
    int openError = 0;
    for (;;) {
      // Group and others get nothing: the lock files sit beside private data.
      int fd = platform::openPrivateFile(lockFilePath_);
      if (fd >= 0) {
        int rc;
        while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (rc == 0) {
          // flock on descriptor 0 would read as "not held"; keep it off that value.
          if (fd == 0) {
            int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
            ::close(fd);
            fd = moved;
            if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
              if (fd >= 0) ::close(fd);
              openError = errno;
              continue;
            }
          }
          fileDescriptor_ = fd;
          held = true;
          return;
        }
        openError = errno;
        ::close(fd);
      } else {
        openError = errno;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    logError("Unable to lock %@ (giving up after %d ms): %s", lockFilePath_,
             static_cast<int>(kOpenRetryLimit.count()), std::strerror(openError));
  });
  return held;
}

void MultiProcessFileLock::unlock() {
  queue_->sync([&] {
    if (fileDescriptor_ > 0) {
      ::close(fileDescriptor_);
      fileDescriptor_ = 0;
    }
  });
}

bool MultiProcessFileLock::isLocked() const {
  bool held = false;
  queue_->sync([&] { held = fileDescriptor_ > 0; });
  return held;
}

MultiProcessFileLockController& MultiProcessFileLockController::sharedController() {
  // Never destroyed: accesses may still end while the process exits.
  static auto* controller = new MultiProcessFileLockController();
  return *controller;
}

MultiProcessFileLockController::MultiProcessFileLockController()
    : queue_(platform::DispatchQueue::createConcurrent(std::string(kQueueLabelPrefix) + ".multiprocesslock.controller")) {}

void MultiProcessFileLockController::beginLockedContentAccessForFileAtPath(const std::string& path) {
  queue_->barrierSync([&] {
    auto& lock = locks_[path];
    if (!lock) lock = MultiProcessFileLock::lockForFileWithPath(path);
    lock->lock();
    ++counts_[path];
  });
}

void MultiProcessFileLockController::endLockedContentAccessForFileAtPath(const std::string& path) {
  queue_->barrierSync([&] {
    auto count = counts_.find(path);
    if (count == counts_.end()) return;
    // Only the last access lets go: an inner end must not drop the outer access's exclusion.
    if (--count->second > 0) return;
    if (auto lock = locks_.find(path); lock != locks_.end()) {
      lock->second->unlock();
      locks_.erase(lock);
    }
    counts_.erase(count);
  });
}

unsigned MultiProcessFileLockController::lockedContentAccessCountForFileAtPath(const std::string& path) const {
  unsigned count = 0;
  queue_->sync([&] {
    if (auto it = counts_.find(path); it != counts_.end()) count = it->second;
  });
  return count;
}

}  // namespace keel

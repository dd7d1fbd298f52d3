// MultiProcessFileLock: an exclusive advisory lock (flock) on "<file path>.keellock", shared
// with other processes that use the same files (an application and its extensions). Within
// one process the lock object is re-entrant: locking a held lock returns at once. Across
// processes lock() waits while another process holds the lock.
//
// MultiProcessFileLockController: the one place the library takes these locks, so that each
// path has one lock object in the process, and counts nested accesses: the lock is released
// only when the last access to the path ends.
//
// When the lock file cannot be opened at all (its folder is missing or not writable), lock()
// retries for kOpenRetryLimit, then logs an error and gives up rather than spinning forever:
// the caller goes on without cross-process exclusion, which beats hanging the caller's queue.
//
// Thread-safety: every member may be called from any thread. The lock file is left in place.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>

#include <keel/platform/Dispatch.h>

namespace keel {

class MultiProcessFileLock {
 public:
  static constexpr std::chrono::milliseconds kOpenRetryLimit{2000};

  // Throws: the plain initializer is not the designated one.
  MultiProcessFileLock();
  explicit MultiProcessFileLock(std::string filePath);
  ~MultiProcessFileLock();
  MultiProcessFileLock(const MultiProcessFileLock&) = delete;
  MultiProcessFileLock& operator=(const MultiProcessFileLock&) = delete;

  static std::shared_ptr<MultiProcessFileLock> lockForFileWithPath(const std::string& path);

  const std::string& filePath() const { return filePath_; }
  const std::string& lockFilePath() const { return lockFilePath_; }

  // Takes the lock, waiting while another process holds it. Returns true iff the lock is held
  // afterwards (false only when the lock file could not be opened within kOpenRetryLimit).
  bool lock();
  // Releases the lock when it is held.
  void unlock();
  // Returns true iff this object holds the lock.
  bool isLocked() const;

 private:
  std::string filePath_;
  std::string lockFilePath_;
  int fileDescriptor_ = 0;
  platform::DispatchQueuePtr queue_;
};

class MultiProcessFileLockController {
 public:
  static MultiProcessFileLockController& sharedController();

  // Locks the path's lock (waiting for other processes) and counts one more access.
  void beginLockedContentAccessForFileAtPath(const std::string& path);
  // Counts one access less; the last one releases the lock and forgets the path.
  void endLockedContentAccessForFileAtPath(const std::string& path);
  // Returns the number of accesses to the path that have begun and not ended.
  unsigned lockedContentAccessCountForFileAtPath(const std::string& path) const;

 private:
  MultiProcessFileLockController();

  platform::DispatchQueuePtr queue_;
  std::unordered_map<std::string, std::shared_ptr<MultiProcessFileLock>> locks_;
  std::unordered_map<std::string, unsigned> counts_;
};

// Holds locked content access to one path for a scope.
class LockedContentAccess {
 public:
  explicit LockedContentAccess(std::string path) : path_(std::move(path)) {
    MultiProcessFileLockController::sharedController().beginLockedContentAccessForFileAtPath(path_);
  }
  ~LockedContentAccess() {
    MultiProcessFileLockController::sharedController().endLockedContentAccessForFileAtPath(path_);
  }
  LockedContentAccess(const LockedContentAccess&) = delete;
  LockedContentAccess& operator=(const LockedContentAccess&) = delete;

 private:
  std::string path_;
};

}  // namespace keel

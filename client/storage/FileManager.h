// FileManager: the client library's files. It knows the directory layout (under the
// application's sandbox, or under an application-group container when data is shared with
// extensions) and performs file operations as tasks.
//
// Layout (names exact), under the home directory it is given (without one, the application's
// sandbox, platform::homeDirectory()):
//   local sandbox data directory   <home>/Library/Private Documents/Keel
//   shared data directory          <group container>/Keel/<application id>
//   default data directory         the shared one when a group identifier is set, else the local
//   deprecated data directory      <documents>/Keel (read for migration only; removed when empty)
//   data item                      <default data directory>/<component>
//   cache item                     <caches>/Keel/<component>, standardised
//
// Writes are atomic (temporary file, flush, rename) and data items are readable by the user
// only (mode 0600); directories are created with mode 0700 and marked as not to be backed up.
// Every asynchronous operation completes with no result or fails with the file-system error
// (domain "POSIX", the errno value as code).
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <optional>
#include <string>
#include <system_error>

#include <keel/base/Error.h>
#include <keel/tasks/Executor.h>
#include <keel/tasks/Task.h>
#include <keel/base/Value.h>

namespace keel {

// The error domain of file-system failures.
inline constexpr const char* kPOSIXErrorDomain = "POSIX";

// Options of createDirectoryIfNeededAsyncAtPath.
inline constexpr unsigned kFileManagerOptionSkipBackup = 1;

class FileManager {
 public:
  // Throws: the plain initializer is not the designated one.
  FileManager();
  // `homeDirectory`: the directory the sandbox paths lie under; empty for the application's
  // sandbox wherever it is at each use. A manager gives its own, so that two managers in one
  // process keep apart.
  FileManager(std::string applicationIdentifier, std::optional<std::string> applicationGroupIdentifier,
              std::string homeDirectory = {});

  const std::string& applicationIdentifier() const { return applicationIdentifier_; }
  const std::optional<std::string>& applicationGroupIdentifier() const { return applicationGroupIdentifier_; }
  // Returns the directory the sandbox paths lie under.
  std::string homeDirectory() const;

  // Returns true iff the platform gives a container for the group.
  static bool isApplicationGroupContainerReachableForGroupIdentifier(const std::string& groupIdentifier);

  static Task<void> writeStringAsync(const std::string& string, const std::string& path);
  static Task<void> writeDataAsync(const Bytes& data, const std::string& path);
  // Creates the directory (with its parents) if it is missing; skips backup for it.
  static Task<void> createDirectoryIfNeededAsyncAtPath(const std::string& path);
  static Task<void> createDirectoryIfNeededAsyncAtPath(const std::string& path, unsigned options,
                                                       const ExecutorPtr& executor);
  static Task<void> copyItemAsyncAtPath(const std::string& from, const std::string& to);
  static Task<void> moveItemAsyncAtPath(const std::string& from, const std::string& to);
  // Creates `to` if needed, then moves every entry of `from` into it.
  static Task<void> moveContentsOfDirectoryAsyncAtPath(const std::string& from, const std::string& to,
                                                       const ExecutorPtr& executor);
  // Removes every entry of the directory and keeps the directory.
  static Task<void> removeDirectoryContentsAsyncAtPath(const std::string& path);
  // Removes the item if it exists, holding the cross-process lock of the path.
  static Task<void> removeItemAtPathAsync(const std::string& path) { return removeItemAtPathAsync(path, true); }
  static Task<void> removeItemAtPathAsync(const std::string& path, bool withFileLock);

  // Returns the default data directory, created if needed (and the deprecated one removed when
  // it is empty).
  std::string defaultDataDirectoryPath() const;
  std::string localSandboxDataDirectoryPath() const;
  std::string dataDirectoryPath_DEPRECATED() const;
  // Returns the path of a data item, moving the item over from the deprecated directory first
  // when only that one has it.
  std::string dataItemPathForPathComponent(const std::string& component) const;
  std::string cacheItemPathForPathComponent(const std::string& component) const;

  // Returns the error value for a file-system failure.
  static ErrorPtr errorFromCode(const std::error_code& code, const std::string& path);

 private:
  std::string applicationIdentifier_;
  std::optional<std::string> applicationGroupIdentifier_;
  std::string homeDirectory_;
};

}  // namespace keel

#include <keel/storage/FileManager.h>

#include <keel/base/Exception.h>
#include <keel/base/Format.h>
#include <keel/base/Logger.h>
#include <keel/storage/MultiProcessFileLock.h>
#include <keel/platform/AppGroupContainer.h>
#include <keel/platform/FileSystem.h>

namespace keel {
namespace {

using platform::appendPathComponent;

Task<void> fromCode(const std::error_code& code, const std::string& path) {
  if (!code) return Task<void>::taskWithResult();
  return Task<void>::taskWithError(FileManager::errorFromCode(code, path));
}

// Runs `work` (returning an error code) on `executor` as a task.
template <typename F>
Task<void> onExecutor(const ExecutorPtr& executor, std::string path, F work) {
  return Task<void>::taskFromExecutor(executor, [work = std::move(work), path = std::move(path)]() mutable {
    return fromCode(work(), path);
  });
}

std::error_code createDirectory(const std::string& path, unsigned options) {
  if (platform::isDirectory(path)) return {};
  if (std::error_code made = platform::createDirectories(path, 0700)) return made;
  if (options & kFileManagerOptionSkipBackup) {
    if (std::error_code marked = platform::setExcludedFromBackup(path)) {
      logError("Unable to exclude %@ from backup with error: %@", platform::lastPathComponent(path), marked.message());
    }
  }
  return {};
}

void removeIfEmpty(const std::string& directory) {
  if (!platform::isDirectory(directory)) return;
  std::error_code listed;
  if (platform::contentsOfDirectory(directory, listed).empty() && !listed) platform::removeItem(directory);
}

}  // namespace

FileManager::FileManager() {
  throw InternalInconsistencyException(
      formatMessage("%@ is not the designated initializer for instances of %@.", "init", "FileManager"));
}

FileManager::FileManager(std::string applicationIdentifier, std::optional<std::string> applicationGroupIdentifier,
                         std::string homeDirectory)
    : applicationIdentifier_(std::move(applicationIdentifier)),
      applicationGroupIdentifier_(std::move(applicationGroupIdentifier)),
      homeDirectory_(homeDirectory.empty() ? std::string() : platform::standardizePath(homeDirectory)) {}

std::string FileManager::homeDirectory() const {
  return homeDirectory_.empty() ? platform::homeDirectory() : homeDirectory_;
}

ErrorPtr FileManager::errorFromCode(const std::error_code& code, const std::string& path) {
  return Error::make(kPOSIXErrorDomain, code.value(),
                     Dictionary{{kLocalizedDescriptionKey, Value(path + ": " + code.message())},
                                {"path", Value(path)}});
}

bool FileManager::isApplicationGroupContainerReachableForGroupIdentifier(const std::string& groupIdentifier) {
  return platform::containerPathForApplicationGroup(groupIdentifier).has_value();
}

Task<void> FileManager::writeStringAsync(const std::string& string, const std::string& path) {
  return writeDataAsync(Bytes(string.begin(), string.end()), path);
}

Task<void> FileManager::writeDataAsync(const Bytes& data, const std::string& path) {
  return onExecutor(Executor::defaultExecutor(), path, [data, path] { return platform::writeFileAtomically(path, data, 0600); });
}

Task<void> FileManager::createDirectoryIfNeededAsyncAtPath(const std::string& path) {
  return createDirectoryIfNeededAsyncAtPath(path, kFileManagerOptionSkipBackup, Executor::defaultExecutor());
}

Task<void> FileManager::createDirectoryIfNeededAsyncAtPath(const std::string& path, unsigned options,
                                                           const ExecutorPtr& executor) {
  return onExecutor(executor, path, [path, options] { return createDirectory(path, options); });
}

Task<void> FileManager::copyItemAsyncAtPath(const std::string& from, const std::string& to) {
  return onExecutor(Executor::defaultExecutor(), from, [from, to] { return platform::copyItem(from, to); });
}

Task<void> FileManager::moveItemAsyncAtPath(const std::string& from, const std::string& to) {
  return onExecutor(Executor::defaultExecutor(), from, [from, to] { return platform::moveItem(from, to); });
}

Task<void> FileManager::moveContentsOfDirectoryAsyncAtPath(const std::string& from, const std::string& to,
                                                           const ExecutorPtr& executor) {
  return createDirectoryIfNeededAsyncAtPath(to, kFileManagerOptionSkipBackup, executor)
      .continueWithExecutorSuccessBlock(executor, [from, to](const Task<void>&) {
        std::error_code listed;
        const auto entries = platform::contentsOfDirectory(from, listed);
        if (listed) return fromCode(listed, from);
        std::vector<Task<void>> moves;
        for (const auto& name : entries) {
          moves.push_back(moveItemAsyncAtPath(appendPathComponent(from, name), appendPathComponent(to, name)));
        }
        return Task<void>::taskForCompletionOfAllTasks(moves);
      }, nullptr);
}

Task<void> FileManager::removeDirectoryContentsAsyncAtPath(const std::string& path) {
  return Task<void>::taskFromExecutor(Executor::defaultExecutor(), [path] {
    std::error_code listed;
    const auto entries = platform::contentsOfDirectory(path, listed);
    if (listed) return fromCode(listed, path);
    std::vector<Task<void>> removals;
    for (const auto& name : entries) removals.push_back(removeItemAtPathAsync(appendPathComponent(path, name), false));
    return Task<void>::taskForCompletionOfAllTasks(removals);
  });
}

Task<void> FileManager::removeItemAtPathAsync(const std::string& path, bool withFileLock) {
  return onExecutor(Executor::defaultExecutor(), path, [path, withFileLock] {
    std::optional<LockedContentAccess> access;
    if (withFileLock) access.emplace(path);
    if (!platform::fileExists(path)) return std::error_code();
    return platform::removeItem(path);
  });
}

std::string FileManager::localSandboxDataDirectoryPath() const {
  return appendPathComponent(appendPathComponent(appendPathComponent(homeDirectory(), "Library"), "Private Documents"),
                             "Keel");
}

std::string FileManager::dataDirectoryPath_DEPRECATED() const {
  return appendPathComponent(appendPathComponent(homeDirectory(), "Documents"), "Keel");
}

std::string FileManager::defaultDataDirectoryPath() const {
  std::string path;
  if (applicationGroupIdentifier_) {
    auto container = platform::containerPathForApplicationGroup(*applicationGroupIdentifier_);
    path = appendPathComponent(appendPathComponent(container.value_or(""), "Keel"), applicationIdentifier_);
  } else {
    path = localSandboxDataDirectoryPath();
  }
  // So that the directory exists when the path is handed out.
  createDirectoryIfNeededAsyncAtPath(path, kFileManagerOptionSkipBackup, Executor::immediateExecutor())
      .waitForResult(nullptr, false);
  removeIfEmpty(dataDirectoryPath_DEPRECATED());
  return path;
}

std::string FileManager::dataItemPathForPathComponent(const std::string& component) const {
  const std::string path = appendPathComponent(defaultDataDirectoryPath(), component);
  const std::string deprecated = appendPathComponent(dataDirectoryPath_DEPRECATED(), component);
  if (!platform::fileExists(path) && platform::fileExists(deprecated)) {
    if (std::error_code moved = platform::moveItem(deprecated, path)) {
      logError("Unable to move %@ out of the deprecated data directory: %@", component, moved.message());
    }
    removeIfEmpty(dataDirectoryPath_DEPRECATED());
  }
  return path;
}

std::string FileManager::cacheItemPathForPathComponent(const std::string& component) const {
  return platform::standardizePath(
      appendPathComponent(appendPathComponent(appendPathComponent(homeDirectory(), "Library/Caches"), "Keel"), component));
}

}  // namespace keel

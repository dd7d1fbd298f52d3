#include <keel/offline/ObjectFilePersistenceController.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <keel/base/Exception.h>
#include <keel/base/Logger.h>
#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>
#include <keel/offline/ObjectFileCoder.h>
#include <keel/platform/FileSystem.h>
#include <keel/storage/FileManager.h>
#include <keel/storage/MultiProcessFileLock.h>

namespace keel {

namespace {

void checkKey(const std::string& key) {
  parameterAssert(ObjectFilePersistenceController::isValidKey(key),
                  "A current object is stored under a single file name, not %@.", key);
}

// Removes the temporary files that writers of `path` killed mid-write left behind.
// REQUIRES: the file's cross-process lock is held, so no writer is at work.
void removeAbandonedTemporaryFiles(const std::string& path) {
  const std::string directory = path.substr(0, path.find_last_of('/'));
  const std::string prefix = platform::lastPathComponent(path) + ".tmp-";
  std::error_code error;
  for (const auto& name : platform::contentsOfDirectory(directory, error)) {
    if (name.compare(0, prefix.size(), prefix) == 0) {
      (void)platform::removeItem(platform::appendPathComponent(directory, name));
    }
  }
}

// Moves a damaged file out of the way, so that the next write can replace it and the damaged
// bytes stay for a person to look at. REQUIRES: the file's cross-process lock is held.
void moveAside(const std::string& path, const std::string& failure) {
  const std::string aside = path + ObjectFilePersistenceController::kCorruptFileSuffix;
  if (::rename(path.c_str(), aside.c_str()) == 0) {
    logError("The stored object file %@ is damaged (%@); moved it to %@", path, failure, aside);
  } else {
    logError("The stored object file %@ is damaged (%@) and could not be moved to %@: %s", path, failure, aside,
             std::strerror(errno));
  }
}

}  // namespace

ObjectFilePersistenceController::ObjectFilePersistenceController() {
  throw InternalInconsistencyException(formatMessage("%@ is not the designated initializer for instances of %@.",
                                                     "init", "ObjectFilePersistenceController"));
}

ObjectFilePersistenceController::ObjectFilePersistenceController(std::weak_ptr<KeelManager> dataSource)
    : dataSource_(std::move(dataSource)) {}

std::shared_ptr<ObjectFilePersistenceController> ObjectFilePersistenceController::controllerWithDataSource(
    std::weak_ptr<KeelManager> dataSource) {
  return std::make_shared<ObjectFilePersistenceController>(std::move(dataSource));
}

bool ObjectFilePersistenceController::isValidKey(const std::string& key) {
  return !key.empty() && key != "." && key != ".." && key.find('/') == std::string::npos &&
         key.find('\0') == std::string::npos;
}

std::string ObjectFilePersistenceController::filePathForKey(const std::string& key) const {
  checkKey(key);
  auto source = dataSource();
  consistencyAssert(source != nullptr, "The data source of the object file controller is gone.");
  return source->fileManager()->dataItemPathForPathComponent(key);
}

std::shared_ptr<TaskQueue> ObjectFilePersistenceController::queueForKey(const std::string& key) {
  std::lock_guard lock(queuesMutex_);
  auto& queue = queues_[key];
  if (!queue) queue = std::make_shared<TaskQueue>();
  return queue;
}

Task<ObjectPtr> ObjectFilePersistenceController::loadPersistentObjectAsyncForKey(const std::string& key) {
  return loadPersistentContentsAsyncForKey(key).continueAsyncWithSuccessBlock(
      [](const Task<std::optional<ObjectFileContents>>& loaded) -> ObjectPtr {
        auto contents = loaded.result();
        if (!contents) return nullptr;
        return ObjectFileCoder::objectFromContents(*contents, *Decoder::objectDecoder());
      });
}

Task<void> ObjectFilePersistenceController::persistObjectAsync(ObjectPtr object, const std::string& key) {
  checkKey(key);
  parameterAssert(object != nullptr, "Cannot persist a nil object under %@.", key);
  return writeAsync(key, [object = std::move(object)] {
    return ObjectFileCoder::dataFromObject(*object, *PointerObjectEncoder::objectEncoder());
  });
}

Task<std::optional<ObjectFileContents>> ObjectFilePersistenceController::loadPersistentContentsAsyncForKey(
    const std::string& key) {
  checkKey(key);
  using Result = std::optional<ObjectFileContents>;
  return queueForKey(key)->enqueue([self = shared_from_this(), key](const Task<>& previous) {
    return previous.continueWithExecutor(
        Executor::defaultPriorityBackgroundExecutor(), [self, key](const Task<>&) -> Task<Result> {
          const std::string path = self->filePathForKey(key);
          LockedContentAccess access(path);
          if (!platform::fileExists(path)) return Task<Result>::taskWithResult(std::nullopt);
          std::error_code error;
          auto data = platform::readFile(path, error);
          if (!data) {
            if (error == std::errc::no_such_file_or_directory) return Task<Result>::taskWithResult(std::nullopt);
            return Task<Result>::taskWithError(FileManager::errorFromCode(error, path));
          }
          std::string failure;
          auto contents = ObjectFileLayout::contentsFromData(*data, failure);
          if (!contents) moveAside(path, failure);
          return Task<Result>::taskWithResult(std::move(contents));
        });
  });
}

Task<void> ObjectFilePersistenceController::persistDataAsync(Bytes data, const std::string& key) {
  checkKey(key);
  return writeAsync(key, [data = std::move(data)]() -> Bytes { return data; });
}

Task<void> ObjectFilePersistenceController::writeAsync(const std::string& key, std::function<Bytes()> makeData) {
  auto work = [self = shared_from_this(), key, makeData = std::move(makeData)](const Task<>& previous) {
    return previous.continueWithExecutor(
        Executor::defaultPriorityBackgroundExecutor(), [self, key, makeData](const Task<>&) -> Task<void> {
          const std::string path = self->filePathForKey(key);
          const Bytes data = makeData();
          LockedContentAccess access(path);
          removeAbandonedTemporaryFiles(path);
          if (auto error = platform::writeFileAtomically(path, data, 0600)) {
            return Task<void>::taskWithError(FileManager::errorFromCode(error, path));
          }
          return Task<void>::taskWithResult();
        });
  };
  return queueForKey(key)->enqueue(std::move(work));
}

}  // namespace keel

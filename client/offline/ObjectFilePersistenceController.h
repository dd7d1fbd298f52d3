// ObjectFilePersistenceController: keeps current objects (the current installation, the current
// user) between launches, one JSON file per key in the library's data directory
// (FileManager::dataItemPathForPathComponent), in the layout of ObjectFileLayout.
//
// Guarantees:
//  - Other processes of the application (its extensions) never see a half-written file: every
//    read and write of a file holds the file's cross-process lock, and writes are atomic
//    (temporary file, flush, rename), mode 0600. A writer killed mid-write leaves the previous
//    file; the temporary file it leaves behind is removed by the next write of the key.
//  - Within the process, the loads and writes of one key run one at a time in the order they
//    were asked for, so a load sees every write asked for before it and the last write asked
//    for is the one on disk. (The cross-process lock is re-entrant within a process and so
//    cannot order the process's own threads.)
//  - A file is read with plain reads into memory, never mapped: another process may replace
//    or truncate it while it is read.
//  - A missing file is no error: the result is none. A damaged file (see ObjectFileLayout) is
//    logged, moved aside as "<key>.corrupt" (replacing an older one) and also gives none, so
//    that one bad write does not keep the object from ever being stored again.
//  - A key is a single file name. Anything else ("", ".", "..", a path with "/") is a
//    programming error: InvalidArgumentException, before any file is touched.
//
// Thread-safety: every member may be called from any thread. The work runs on the
// default-priority background executor; a load or write blocks its thread while another
// process holds the file's lock.
// Ownership: holds its data source (the manager that owns it) weakly; work that runs after the
// data source is gone fails with InternalInconsistencyException.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <keel/core/KeelManager.h>
#include <keel/objects/Object.h>
#include <keel/offline/ObjectFileLayout.h>
#include <keel/tasks/Task.h>
#include <keel/tasks/TaskQueue.h>

namespace keel {

class ObjectFilePersistenceController : public std::enable_shared_from_this<ObjectFilePersistenceController> {
 public:
  // The suffix of a damaged file moved aside.
  static constexpr const char* kCorruptFileSuffix = ".corrupt";

  // Throws: the plain initializer is not the designated one.
  ObjectFilePersistenceController();
  explicit ObjectFilePersistenceController(std::weak_ptr<KeelManager> dataSource);
  static std::shared_ptr<ObjectFilePersistenceController> controllerWithDataSource(
      std::weak_ptr<KeelManager> dataSource);

  // Returns the data source, or nullptr once it is gone.
  std::shared_ptr<KeelManager> dataSource() const { return dataSource_.lock(); }

  // Returns true iff `key` is a single file name a current object may be stored under.
  static bool isValidKey(const std::string& key);

  // Returns a task whose result is the object stored under `key` (related objects as objects
  // without data), or nullptr when there is no file or it was damaged. Fails as
  // loadPersistentContentsAsyncForKey does, and with the exception of the object class when
  // it refuses the stored class name (the file is then kept: it is not damaged, the class is
  // just not registered in this process).
  // Throws InvalidArgumentException for an invalid key.
  Task<ObjectPtr> loadPersistentObjectAsyncForKey(const std::string& key);
  // Returns a task that writes `object`'s current state (see ObjectFileCoder) as the file under
  // `key`. The state is taken when the write's turn comes; an object that cannot be written
  // (an unsaved related object) fails the task with the encoder's exception.
  // Throws InvalidArgumentException for an invalid key.
  Task<void> persistObjectAsync(ObjectPtr object, const std::string& key);

  // Returns a task whose result is what the file under `key` describes, or none when there is
  // no file or it was damaged (and has been moved aside). A file that cannot be read fails the
  // task with the file-system error.
  // Throws InvalidArgumentException for an invalid key.
  Task<std::optional<ObjectFileContents>> loadPersistentContentsAsyncForKey(const std::string& key);
  // Returns a task that writes `data` as the file under `key`; it fails with the file-system
  // error when the write fails, and the previous file is then left as it was.
  // Throws InvalidArgumentException for an invalid key.
  Task<void> persistDataAsync(Bytes data, const std::string& key);

  // Returns the path of the file under `key`.
  // Throws InvalidArgumentException for an invalid key, InternalInconsistencyException when the
  // data source is gone.
  std::string filePathForKey(const std::string& key) const;

 private:
  // Returns a task that writes what `makeData` returns (called on the background executor, in
  // the key's turn) as the file under `key`. REQUIRES: a valid key.
  Task<void> writeAsync(const std::string& key, std::function<Bytes()> makeData);
  // Returns the queue that orders the work on `key`.
  std::shared_ptr<TaskQueue> queueForKey(const std::string& key);

  std::weak_ptr<KeelManager> dataSource_;
  std::mutex queuesMutex_;
  std::unordered_map<std::string, std::shared_ptr<TaskQueue>> queues_;
};

}  // namespace keel

// What the offline encoder needs of the local datastore: a stable uuid for an unsaved object,
// made on first request. The datastore implements this interface; OfflineDatabase stands for
// its open database, which the encoder only passes back.
//
// Thread-safety: implementations may be called from any thread.
#pragma once

#include <memory>
#include <string>

#include <keel/objects/BackendObject.h>
#include <keel/tasks/Task.h>

namespace keel {

class OfflineDatabase {
 public:
  virtual ~OfflineDatabase() = default;
};

class OfflineObjectStore {
 public:
  virtual ~OfflineObjectStore() = default;
  // Returns a task with the uuid under which `object` is (or now will be) stored.
  virtual Task<std::string> getOrCreateUUIDAsyncForObject(const BackendObjectPtr& object,
                                                          const std::shared_ptr<OfflineDatabase>& database) = 0;
};

}  // namespace keel

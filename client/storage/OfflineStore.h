// OfflineStore: the local datastore of pinned objects. Loading it (Keel::enableLocalDatastore
// before configuration) switches the managers to their offline-capable variants; the store
// keeps its data under the library's data directory. Pinning itself arrives with the local
// datastore; this is the loaded store the rest of the library checks for.
//
// Thread-safety: immutable after construction.
#pragma once

#include <memory>
#include <string>

#include <keel/storage/FileManager.h>

namespace keel {

// Options of the offline store: the store lives in the shared container.
inline constexpr unsigned kOfflineStoreOptionShared = 1;

class OfflineStore {
 public:
  OfflineStore(std::shared_ptr<FileManager> fileManager, unsigned options)
      : fileManager_(std::move(fileManager)), options_(options) {}

  const std::shared_ptr<FileManager>& fileManager() const { return fileManager_; }
  unsigned options() const { return options_; }
  // Returns where the store keeps its database.
  std::string databasePath() const { return fileManager_->dataItemPathForPathComponent("KeelOfflineStore"); }

 private:
  std::shared_ptr<FileManager> fileManager_;
  unsigned options_;
};

}  // namespace keel

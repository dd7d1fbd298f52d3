// InstallationIdentifierStore: the random identifier of this installation that every request
// carries. It is a lower-case version-4 UUID kept as the whole content of the data item
// "installationId", made on first use, cached, and read under the file's cross-process lock so
// that an application and its extensions agree on one identifier.
//
// Thread-safety: every member may be called from any thread; all work runs on the store's
// serial queue.
// Ownership: the KeelManager owns the store; the store shares the manager's FileManager.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <keel/storage/FileManager.h>
#include <keel/platform/Dispatch.h>

namespace keel {

class InstallationIdentifierStore {
 public:
  // Throws: the plain initializer is not the designated one.
  InstallationIdentifierStore();
  explicit InstallationIdentifierStore(std::shared_ptr<FileManager> fileManager);

  const std::shared_ptr<FileManager>& fileManager() const { return fileManager_; }

  // Returns the identifier, reading the file or making a new one (written in the background).
  std::string installationIdentifier();
  // Forgets the identifier and removes its file, so the next read makes a new one.
  void clearInstallationIdentifier();
  // Forgets only the cached identifier, so the next read reads the file again.
  void _clearCachedInstallationIdentifier();
  std::string installationIdentifierFilePath() const;

 private:
  void requireQueue(const char* operation) const;
  void loadInstallationIdentifier();

  std::shared_ptr<FileManager> fileManager_;
  std::optional<std::string> installationIdentifier_;
  platform::DispatchQueuePtr queue_;
};

}  // namespace keel

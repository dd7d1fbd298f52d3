#include <keel/storage/InstallationIdentifierStore.h>

#include <keel/base/Crypto.h>
#include <keel/base/Exception.h>
#include <keel/base/Format.h>
#include <keel/base/Logger.h>
#include <keel/storage/MultiProcessFileLock.h>
#include <keel/tasks/TaskLibrary.h>
#include <keel/platform/FileSystem.h>

namespace keel {

InstallationIdentifierStore::InstallationIdentifierStore() {
  throw InternalInconsistencyException(
      formatMessage("%@ is not the designated initializer for instances of %@.", "init", "InstallationIdentifierStore"));
}

InstallationIdentifierStore::InstallationIdentifierStore(std::shared_ptr<FileManager> fileManager)
    : fileManager_(std::move(fileManager)),
      queue_(platform::DispatchQueue::createSerial(std::string(kQueueLabelPrefix) + ".installationIdentifier")) {}

void InstallationIdentifierStore::requireQueue(const char* operation) const {
  if (!queue_->isCurrent()) {
    throw InternalInconsistencyException(formatMessage("%s must be executed on %s", operation, queue_->label()));
  }
}

std::string InstallationIdentifierStore::installationIdentifierFilePath() const {
  return fileManager_->dataItemPathForPathComponent("installationId");
}

void InstallationIdentifierStore::loadInstallationIdentifier() {
  requireQueue("loadInstallationIdentifier");
  const std::string path = installationIdentifierFilePath();
  LockedContentAccess access(path);
  std::error_code error;
  auto bytes = platform::readFile(path, error);
  if (bytes && !bytes->empty()) {
    installationIdentifier_ = std::string(bytes->begin(), bytes->end());
    return;
  }
  installationIdentifier_ = uuidV4Lowercase();
  // Waited for (a few bytes): a removal or a read that starts after this returns must see it.
  ErrorPtr failure;
  FileManager::writeStringAsync(*installationIdentifier_, path).waitForResult(&failure, false);
  if (failure) logError("Unable to write the installation identifier: %@", failure->localizedDescription());
}

std::string InstallationIdentifierStore::installationIdentifier() {
  return queue_->syncResult([this] {
    if (!installationIdentifier_) loadInstallationIdentifier();
    return *installationIdentifier_;
  });
}

void InstallationIdentifierStore::clearInstallationIdentifier() {
  queue_->sync([this] {
    // Waited for, so that the next read cannot find the old file and hand out the old id.
    FileManager::removeItemAtPathAsync(installationIdentifierFilePath(), true).waitForResult(nullptr, false);
    installationIdentifier_.reset();
  });
}

void InstallationIdentifierStore::_clearCachedInstallationIdentifier() {
  queue_->sync([this] { installationIdentifier_.reset(); });
}

}  // namespace keel

#include <keel/storage/FileManager.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/StorageTestSupport.h"
#include <keel/storage/InstallationIdentifierStore.h>
#include <keel/storage/KeychainStore.h>
#include <keel/storage/MultiProcessFileLock.h>

namespace keel {
namespace {

namespace fs = std::filesystem;

class FileManagerTest : public testing::SandboxedTest {
 protected:
  FileManager files{"app-1", std::nullopt};
  std::string home() const { return root + "/home"; }
};

TEST_F(FileManagerTest, LaysOutTheDirectoriesWithTheirNames) {
  EXPECT_EQ(files.localSandboxDataDirectoryPath(), home() + "/Library/Private Documents/Keel");
  EXPECT_EQ(files.defaultDataDirectoryPath(), files.localSandboxDataDirectoryPath());
  EXPECT_TRUE(fs::is_directory(files.defaultDataDirectoryPath()));
  EXPECT_TRUE(platform::isExcludedFromBackup(files.defaultDataDirectoryPath()));
  EXPECT_EQ(files.dataDirectoryPath_DEPRECATED(), home() + "/Documents/Keel");
  EXPECT_EQ(files.dataItemPathForPathComponent("applicationId"), home() + "/Library/Private Documents/Keel/applicationId");
  EXPECT_EQ(files.cacheItemPathForPathComponent("../KeelKeyValueCache/"), home() + "/Library/Caches/KeelKeyValueCache");

  FileManager shared("app-1", std::string("group.stillnook"));
  EXPECT_EQ(shared.defaultDataDirectoryPath(), root + "/groups/group.stillnook/Keel/app-1");
  EXPECT_TRUE(FileManager::isApplicationGroupContainerReachableForGroupIdentifier("group.stillnook"));
  EXPECT_FALSE(FileManager::isApplicationGroupContainerReachableForGroupIdentifier("../outside"));
  EXPECT_THROW(FileManager(), InternalInconsistencyException);
}

TEST_F(FileManagerTest, MovesADataItemOutOfTheDeprecatedDirectoryAndRemovesItOnceEmpty) {
  write(files.dataDirectoryPath_DEPRECATED() + "/currentUser", "old user");
  write(files.dataDirectoryPath_DEPRECATED() + "/config", "old config");
  const std::string user = files.dataItemPathForPathComponent("currentUser");
  EXPECT_EQ(read(user), "old user");
  EXPECT_TRUE(fs::exists(files.dataDirectoryPath_DEPRECATED()));  // still holds "config"
  files.dataItemPathForPathComponent("config");
  EXPECT_FALSE(fs::exists(files.dataDirectoryPath_DEPRECATED()));
  // An item present in both places keeps the new one.
  write(files.dataDirectoryPath_DEPRECATED() + "/currentUser", "older");
  EXPECT_EQ(read(files.dataItemPathForPathComponent("currentUser")), "old user");
}

TEST_F(FileManagerTest, FileOperationsCompleteAsTasksAndReportFailures) {
  const std::string dir = files.defaultDataDirectoryPath();
  ErrorPtr error;
  FileManager::writeStringAsync("hello", dir + "/a").waitForResult(&error, false);
  ASSERT_EQ(error, nullptr);
  EXPECT_EQ(read(dir + "/a"), "hello");
  struct stat st{};
  ASSERT_EQ(stat((dir + "/a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  FileManager::copyItemAsyncAtPath(dir + "/a", dir + "/b").waitForResult(&error, false);
  EXPECT_EQ(read(dir + "/b"), "hello");
  auto clash = FileManager::copyItemAsyncAtPath(dir + "/a", dir + "/b");
  clash.waitUntilFinished();
  ASSERT_TRUE(clash.isFaulted());
  EXPECT_EQ(clash.error()->domain(), kPOSIXErrorDomain);
  EXPECT_EQ(clash.error()->code(), EEXIST);

  FileManager::moveContentsOfDirectoryAsyncAtPath(dir, root + "/moved/deep", Executor::defaultExecutor())
      .waitForResult(&error, false);
  ASSERT_EQ(error, nullptr);
  EXPECT_EQ(read(root + "/moved/deep/a"), "hello");
  EXPECT_TRUE(fs::is_empty(dir));

  FileManager::removeDirectoryContentsAsyncAtPath(root + "/moved/deep").waitForResult(&error, false);
  EXPECT_TRUE(fs::is_directory(root + "/moved/deep"));
  EXPECT_TRUE(fs::is_empty(root + "/moved/deep"));
  auto missing = FileManager::removeItemAtPathAsync(root + "/nothing-here");
  missing.waitUntilFinished();
  EXPECT_FALSE(missing.isFaulted());
}

TEST_F(FileManagerTest, AWriterKilledMidWriteLeavesTheOldFileOrTheNewOneNeverATornOne) {
  const std::string path = root + "/item";
  const Bytes oldData(1 << 20, 'a');
  ASSERT_FALSE(platform::writeFileAtomically(path, oldData, 0600));
  for (int round = 0; round < 5; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const Bytes newData(4 << 20, 'b');
      for (;;) platform::writeFileAtomically(path, newData, 0600);
    }
    usleep(static_cast<useconds_t>(5000 + round * 7000));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const std::string text = read(path);
    const bool old = text.size() == oldData.size() && text.find_first_not_of('a') == std::string::npos;
    const bool fresh = text.size() == (4u << 20) && text.find_first_not_of('b') == std::string::npos;
    EXPECT_TRUE(old || fresh) << "round " << round << ": " << text.size() << " bytes";
  }
}

using InstallationIdentifierStoreTest = FileManagerTest;

TEST_F(InstallationIdentifierStoreTest, MakesOneLowerCaseIdentifierKeepsItAndMakesANewOneAfterClearing) {
  auto shared = std::make_shared<FileManager>("app-1", std::nullopt);
  InstallationIdentifierStore store(shared);
  const std::string id = store.installationIdentifier();
  ASSERT_EQ(id.size(), 36u);
  EXPECT_EQ(id[14], '4');
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef-"), std::string::npos);
  EXPECT_EQ(read(store.installationIdentifierFilePath()), id);
  EXPECT_EQ(store.installationIdentifier(), id);

  // Another process's store reads the same file.
  InstallationIdentifierStore other(shared);
  EXPECT_EQ(other.installationIdentifier(), id);

  write(store.installationIdentifierFilePath(), "written-elsewhere");
  EXPECT_EQ(store.installationIdentifier(), id);  // cached
  store._clearCachedInstallationIdentifier();
  EXPECT_EQ(store.installationIdentifier(), "written-elsewhere");

  store.clearInstallationIdentifier();
  const std::string fresh = store.installationIdentifier();
  EXPECT_NE(fresh, "written-elsewhere");
  EXPECT_EQ(fresh.size(), 36u);
  EXPECT_EQ(read(store.installationIdentifierFilePath()), fresh);
}

// The data directory holds session tokens (the current user, the command cache) and the
// keychain's file store holds them outright: nothing in either may be open to anyone else, and a
// umask that takes the owner's own bits away must not leave directories nobody can write into.
TEST_F(FileManagerTest, EverythingTheLibraryWritesIsPrivateWhateverTheUmask) {
  const mode_t saved = ::umask(0277);
  auto shared = std::make_shared<FileManager>("app-1", std::nullopt);
  ErrorPtr error;
  FileManager::writeStringAsync("{}", shared->dataItemPathForPathComponent("currentUser")).waitForResult(&error, false);
  ASSERT_EQ(error, nullptr);
  FileManager::createDirectoryIfNeededAsyncAtPath(shared->defaultDataDirectoryPath() + "/Command Cache/nested")
      .waitForResult(&error, false);
  FileManager::createDirectoryIfNeededAsyncAtPath(shared->cacheItemPathForPathComponent("KeyValueCache"))
      .waitForResult(&error, false);
  FileManager grouped("app-1", std::string("group.stillnook"));
  FileManager::writeStringAsync("{}", grouped.dataItemPathForPathComponent("currentInstallation"))
      .waitForResult(&error, false);
  InstallationIdentifierStore(shared).installationIdentifier();
  { LockedContentAccess access(shared->dataItemPathForPathComponent("config")); }
  KeychainStore keychain("local.app.com.keel.sdk");
  EXPECT_TRUE(keychain.setObject(Value("r:1"), "currentUser"));
  EXPECT_TRUE(keychain.setObject(Value(2), "other"));
  EXPECT_TRUE(keychain.removeObjectForKey("other"));
  ::umask(saved);

  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const auto mode = static_cast<unsigned>(entry.status().permissions());
    EXPECT_EQ(mode, entry.is_directory() ? 0700u : 0600u) << entry.path() << std::oct << " " << mode;
    files += entry.is_regular_file();
  }
  // The items above, their lock files and the keychain's files were all looked at.
  EXPECT_GE(files, 8);
}

}  // namespace
}  // namespace keel

#include <keel/storage/KeychainStore.h>

#include <sys/wait.h>
#include <unistd.h>

#include "support/StorageTestSupport.h"
#include <keel/storage/MultiProcessFileLock.h>

namespace keel {
namespace {

using KeychainStoreTest = testing::SandboxedTest;

TEST_F(KeychainStoreTest, ADamagedServiceFileReadsAsNoValueAndIsNotReportedAsStored) {
  KeychainStore store("local.app.com.keel.sdk");
  ASSERT_TRUE(store.setObject(Value("secret"), "session"));
  write(platform::Keychain::filePathForService(store.service()), "{\"session\": ");
  EXPECT_TRUE(store.objectForKey("session").isNull());
  EXPECT_FALSE(store.setObject(Value("other"), "session"));
}

using FileLockTest = testing::SandboxedTest;

TEST_F(FileLockTest, ExcludesAnotherProcessAndIsReentrantWithinOne) {
  const std::string path = root + "/item";
  const std::string log = root + "/log";
  auto lock = MultiProcessFileLock::lockForFileWithPath(path);
  EXPECT_EQ(lock->lockFilePath(), path + ".keellock");
  ASSERT_TRUE(lock->lock());
  EXPECT_TRUE(lock->lock());  // re-entrant

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Another program takes the same advisory lock (this process's threads are not forked).
    close(ready[0]);
    (void)!::write(ready[1], "x", 1);
    const std::string script = "echo child >> '" + log + "'";
    execlp("flock", "flock", (path + ".keellock").c_str(), "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    _exit(3);
  }
  close(ready[1]);
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  close(ready[0]);
  usleep(100 * 1000);  // the child is blocked on the lock by now, or will be when it gets there
  std::ofstream(log, std::ios::app) << "parent\n";
  lock->unlock();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(testing::SandboxedTest::read(log), "parent\nchild\n");
}

TEST_F(FileLockTest, TheControllerCountsNestedAccessAndForgetsThePathAfterTheLast) {
  auto& controller = MultiProcessFileLockController::sharedController();
  const std::string path = root + "/counted";
  controller.beginLockedContentAccessForFileAtPath(path);
  controller.beginLockedContentAccessForFileAtPath(path);
  EXPECT_EQ(controller.lockedContentAccessCountForFileAtPath(path), 2u);
  controller.endLockedContentAccessForFileAtPath(path);
  controller.endLockedContentAccessForFileAtPath(path);
  EXPECT_EQ(controller.lockedContentAccessCountForFileAtPath(path), 0u);
  { LockedContentAccess access(path); }
  EXPECT_EQ(controller.lockedContentAccessCountForFileAtPath(path), 0u);

  // A lock file that can never be opened gives up after the bound instead of spinning forever.
  MultiProcessFileLock unreachable(root + "/no/such/folder/item");
  EXPECT_FALSE(unreachable.lock());
}

}  // namespace
}  // namespace keel

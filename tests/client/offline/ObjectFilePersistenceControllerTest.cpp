#include <keel/offline/ObjectFilePersistenceController.h>

#include <filesystem>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/storage/MultiProcessFileLock.h>

#include "support/StorageTestSupport.h"

extern char** environ;

namespace keel {
namespace {

namespace fs = std::filesystem;

class ObjectFilePersistenceControllerTest : public testing::SandboxedTest {
 protected:
  void SetUp() override {
    SandboxedTest::SetUp();
    manager = KeelManager::initWithApplicationId("app", "client-key");
    controller = ObjectFilePersistenceController::controllerWithDataSource(manager);
  }

  static Bytes documentData(const std::string& objectId, long n = 0) {
    Dictionary data{{"objectId", objectId}, {"n", n}};
    return JSONSerialization::dataFromJSONObject(ObjectFileLayout::documentWithClassName("Thing", std::move(data)));
  }

  std::optional<ObjectFileContents> load(const std::string& key, ErrorPtr* error = nullptr) {
    return controller->loadPersistentContentsAsyncForKey(key).waitForResult(error);
  }
  void persist(Bytes data, const std::string& key) {
    ErrorPtr error;
    controller->persistDataAsync(std::move(data), key).waitForResult(&error);
    ASSERT_FALSE(error) << error->description();
  }
  std::string path(const std::string& key) { return controller->filePathForKey(key); }
  // Returns the names in the data directory that start with `prefix`.
  std::vector<std::string> entriesStartingWith(const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(manager->fileManager()->defaultDataDirectoryPath())) {
      auto name = entry.path().filename().string();
      if (name.rfind(prefix, 0) == 0) found.push_back(name);
    }
    return found;
  }

  std::shared_ptr<KeelManager> manager;
  std::shared_ptr<ObjectFilePersistenceController> controller;
};

// A damaged file used to block loading for good: every launch failed on it again.
TEST_F(ObjectFilePersistenceControllerTest, DamagedFileIsMovedAsideAndNoLongerBlocksLoading) {
  for (std::string damaged : {"{\"classname\": \"Thing\", \"data\": {\"obj", "not json",
                              "{\"data\": {\"objectId\": \"t1\"}}"}) {
    SCOPED_TRACE(damaged);
    write(path("currentThing"), damaged);

    ErrorPtr error;
    EXPECT_FALSE(load("currentThing", &error));
    EXPECT_FALSE(error);
    EXPECT_FALSE(fs::exists(path("currentThing")));
    EXPECT_EQ(read(path("currentThing") + ".corrupt"), damaged);

    EXPECT_FALSE(load("currentThing"));
    persist(documentData("t2"), "currentThing");
    auto contents = load("currentThing");
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->objectId, "t2");
    fs::remove(path("currentThing"));
  }
}

TEST_F(ObjectFilePersistenceControllerTest, UnreadableFileFailsTheLoadAndStaysInPlace) {
  fs::create_directories(path("currentThing") + "/inside");

  ErrorPtr error;
  EXPECT_FALSE(load("currentThing", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kPOSIXErrorDomain);
  EXPECT_TRUE(fs::exists(path("currentThing") + "/inside"));
  EXPECT_FALSE(fs::exists(path("currentThing") + ".corrupt"));

  // A write that cannot replace it fails too, and releases the lock.
  controller->persistDataAsync(documentData("t1"), "currentThing").waitForResult(&error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kPOSIXErrorDomain);
  EXPECT_EQ(MultiProcessFileLockController::sharedController().lockedContentAccessCountForFileAtPath(
                path("currentThing")),
            0u);
}

// A key was joined to the data directory as it came, so "../x" wrote outside it.
TEST_F(ObjectFilePersistenceControllerTest, KeysThatAreNotOneFileNameAreRefused) {
  for (const std::string& key : std::vector<std::string>{"", ".", "..", "../x", "/", "/etc/x", "a/b", "x/",
                                                         std::string("a\0b", 3)}) {
    SCOPED_TRACE(key);
    EXPECT_FALSE(ObjectFilePersistenceController::isValidKey(key));
    EXPECT_THROW(controller->persistDataAsync(documentData("t1"), key), InvalidArgumentException);
    EXPECT_THROW(controller->loadPersistentContentsAsyncForKey(key), InvalidArgumentException);
  }
  EXPECT_FALSE(fs::exists(fs::path(manager->fileManager()->defaultDataDirectoryPath()).parent_path() / "x"));
  EXPECT_TRUE(ObjectFilePersistenceController::isValidKey("..currentUser"));
}

// Writes of one key ran side by side on the background pool, so the last one asked for could
// be overtaken by an earlier one, and a load could miss a write asked for before it.
TEST_F(ObjectFilePersistenceControllerTest, WritesOfOneKeyLandInTheOrderAsked) {
  constexpr long kWrites = 40;
  Task<std::optional<ObjectFileContents>> loadAfterHalf;
  Task<void> last;
  for (long i = 1; i <= kWrites; ++i) {
    last = controller->persistDataAsync(documentData("t" + std::to_string(i), i), "currentThing");
    if (i == kWrites / 2) loadAfterHalf = controller->loadPersistentContentsAsyncForKey("currentThing");
  }
  ErrorPtr error;
  last.waitForResult(&error);
  ASSERT_FALSE(error);
  auto half = loadAfterHalf.waitForResult();
  ASSERT_TRUE(half);
  EXPECT_EQ(half->fields["n"].int64Value(), kWrites / 2);
  auto contents = load("currentThing");
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->fields["n"].int64Value(), kWrites);
  EXPECT_TRUE(entriesStartingWith("currentThing.tmp-").empty());
}

TEST_F(ObjectFilePersistenceControllerTest, ThreadsStoringSeveralKeysAtOnceLeaveWholeFiles) {
  const std::vector<std::string> keys = {"currentA", "currentB", "currentC"};
  std::vector<std::thread> threads;
  std::vector<Task<void>> tasks[4];
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const auto& key = keys[(t + i) % keys.size()];
        tasks[t].push_back(controller->persistDataAsync(documentData(key, t * 100 + i), key));
        if (i % 3 == 0) tasks[t].push_back(controller->loadPersistentContentsAsyncForKey(key));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& list : tasks) {
    ErrorPtr error;
    Task<>::taskForCompletionOfAllTasks(list).waitForResult(&error);
    ASSERT_FALSE(error);
  }
  for (const auto& key : keys) {
    auto contents = load(key);
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->objectId, key);
    EXPECT_FALSE(fs::exists(path(key) + ".corrupt"));
    EXPECT_TRUE(entriesStartingWith(key + ".tmp-").empty());
  }
}

// Runs the writer program; returns its process id.
pid_t startWriter(const std::string& home, const std::string& key, long count, long pad) {
  std::vector<std::string> args = {KEEL_OBJECT_FILE_WRITER, home, key, std::to_string(count), std::to_string(pad)};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  return pid;
}

int waitForExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

TEST_F(ObjectFilePersistenceControllerTest, AnotherProcessWritesWhileThisOneReads) {
  constexpr long kWrites = 200;
  pid_t writer = startWriter(platform::homeDirectory(), "currentThing", kWrites, 64 * 1024);

  long loads = 0;
  long lastSeen = -1;
  for (;;) {
    int status = 0;
    bool exited = ::waitpid(writer, &status, WNOHANG) == writer;
    ErrorPtr error;
    auto contents = load("currentThing", &error);
    ASSERT_FALSE(error) << error->description();
    ++loads;
    if (contents) {
      // Whole documents only, and never an older one than already seen.
      ASSERT_EQ(contents->className, "Writer") << "torn or foreign document";
      long n = contents->fields["n"].int64Value();
      EXPECT_EQ(contents->objectId, "w" + std::to_string(n));
      EXPECT_EQ(contents->fields["pad"].stringValue().size(), 64u * 1024u);
      EXPECT_GE(n, lastSeen);
      lastSeen = n;
    }
    if (exited) {
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      break;
    }
  }
  EXPECT_EQ(lastSeen, kWrites - 1);
  EXPECT_FALSE(fs::exists(path("currentThing") + ".corrupt"));
  EXPECT_GT(loads, 1);
}

// A writer killed between creating its temporary file and renaming it must leave the previous
// file whole; the next write clears what it left behind.
TEST_F(ObjectFilePersistenceControllerTest, WriterKilledMidWriteNeverLeavesATornFile) {
  persist(documentData("before"), "currentThing");
  int killedMidWrite = 0;
  for (int round = 0; round < 20 && killedMidWrite < 3; ++round) {
    for (const auto& name : entriesStartingWith("currentThing.tmp-")) {
      fs::remove(fs::path(path("currentThing")).parent_path() / name);
    }
    pid_t writer = startWriter(platform::homeDirectory(), "currentThing", 0, 4 * 1024 * 1024);
    // Kill it as soon as one of its writes is under way.
    while (entriesStartingWith("currentThing.tmp-").empty()) {
      int status = 0;
      ASSERT_NE(::waitpid(writer, &status, WNOHANG), writer) << "the writer stopped by itself";
      std::this_thread::yield();
    }
    ::kill(writer, SIGKILL);
    int status = waitForExit(writer);
    ASSERT_TRUE(WIFSIGNALED(status));
    if (!entriesStartingWith("currentThing.tmp-").empty()) ++killedMidWrite;

    ErrorPtr error;
    auto contents = load("currentThing", &error);
    ASSERT_FALSE(error);
    ASSERT_TRUE(contents) << "the stored object was lost";
    EXPECT_TRUE(contents->objectId == "before" || contents->className == "Writer");
    EXPECT_FALSE(fs::exists(path("currentThing") + ".corrupt"));
  }
  EXPECT_GT(killedMidWrite, 0);

  persist(documentData("after"), "currentThing");
  EXPECT_TRUE(entriesStartingWith("currentThing.tmp-").empty());
  EXPECT_EQ(load("currentThing")->objectId, "after");
}

}  // namespace
}  // namespace keel

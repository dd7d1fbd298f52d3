#include <keel/objects/KeyValueCache.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <keel/base/Exception.h>
#include <keel/core/KeelManager.h>
#include <keel/objects/internal/KeyValueCacheFile.h>
#include <keel/objects/internal/KeyValueMemoryCache.h>

#include "support/StorageTestSupport.h"

extern char** environ;

namespace keel {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr const char* kWriterDirectoryVariable = "KEEL_TEST_CACHE_WRITER_DIRECTORY";
constexpr int kWriterRounds = 400;

// The values the other process writes: each is one letter repeated, its length set by the
// letter, so any mix of two writes or a cut-off write shows.
std::string writerValue(int round) {
  const char letter = static_cast<char>('a' + round % 26);
  return std::string(static_cast<std::size_t>(20000 + 7919 * (letter - 'a')), letter);
}
bool isWriterValue(const std::string& value) {
  if (value.empty()) return false;
  const int letter = value[0] - 'a';
  return letter >= 0 && letter < 26 && value == writerValue(letter);
}

class KeyValueCacheTest : public testing::SandboxedTest {
 protected:
  void SetUp() override {
    SandboxedTest::SetUp();
    directory = root + "/cache";
  }

  // A cache over the test's directory whose "now" is `clock`.
  std::unique_ptr<KeyValueCache> makeCache() {
    return std::make_unique<KeyValueCache>(directory, [this] { return clock.load(); });
  }
  void advance(milliseconds by) { clock = clock.load() + by; }

  std::set<std::string> files() const {
    std::set<std::string> names;
    if (!fs::exists(directory)) return names;
    for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
    return names;
  }
  std::string fileOf(const std::string& key) const { return directory + "/" + internal::keyValueCacheFileName(key); }

  std::string directory;
  std::atomic<Date> clock{dateFromMillis(1'700'000'000'000)};
};

TEST_F(KeyValueCacheTest, AgeCountsFromTheWriteHoweverOftenTheEntryIsRead) {
  const milliseconds maxAge(60'000);
  auto cache = makeCache();
  cache->setObject("result", "query");
  cache->waitForOutstandingOperations();

  // Reads refresh the last use, never the age: a result read every few seconds still expires.
  // A second process (no memory entry) judges the age by the time kept in the file, and keeps
  // that time when the entry enters its memory.
  auto reader = makeCache();
  for (int i = 0; i < 6; ++i) {
    advance(milliseconds(10'000));
    EXPECT_EQ(cache->objectForKey("query", maxAge), "result");
    EXPECT_EQ(reader->objectForKey("query", maxAge), "result");
  }
  EXPECT_EQ(makeCache()->objectForKey("query", maxAge), "result") << "exactly max age old is still fresh";
  advance(milliseconds(1));
  EXPECT_EQ(reader->objectForKey("query", maxAge), std::nullopt);
  reader->waitForOutstandingOperations();
  EXPECT_FALSE(fs::exists(fileOf("query"))) << "an expired entry is removed";

  // The same in memory, and a rewrite starts the age again.
  cache->setObject("newer", "query");
  advance(maxAge);
  cache->setObject("newest", "query");
  advance(maxAge);
  EXPECT_EQ(cache->objectForKey("query", maxAge), "newest");
  advance(milliseconds(1));
  EXPECT_EQ(cache->objectForKey("query", maxAge), std::nullopt);
  cache->waitForOutstandingOperations();
  EXPECT_FALSE(fs::exists(fileOf("query")));
  EXPECT_EQ(cache->objectForKey("query", KeyValueCache::kNoMaxAge), std::nullopt);
}

TEST_F(KeyValueCacheTest, AnEntryDatedAfterNowIsAsOldAsItIsFarAway) {
  const milliseconds maxAge(60'000);
  fs::create_directories(directory);
  const auto plant = [&](Date written) {
    std::ofstream(fileOf("k"), std::ios::binary) << internal::encodeKeyValueCacheFile("k", "v", written);
  };
  // Written before the clock was set back a little: still fresh.
  plant(clock.load() + milliseconds(30'000));
  EXPECT_EQ(makeCache()->objectForKey("k", maxAge), "v");
  // A date far ahead, or at the ends of the range, does not keep an entry for ever.
  for (Date written : {clock.load() + milliseconds(86'400'000), dateFromMillis(INT64_MIN), dateFromMillis(INT64_MAX)}) {
    plant(written);
    EXPECT_EQ(makeCache()->objectForKey("k", maxAge), std::nullopt) << millisFromDate(written);
    EXPECT_FALSE(fs::exists(fileOf("k")));
  }
}

TEST_F(KeyValueCacheTest, AnExpiredMemoryEntryDoesNotTakeAFresherWriteWithIt) {
  auto cache = makeCache();
  cache->setObject("old", "k");
  cache->waitForOutstandingOperations();
  advance(milliseconds(5000));
  // Another process writes the key afresh; this process still holds the old entry in memory.
  makeCache()->setObject("fresh", "k");
  EXPECT_EQ(cache->objectForKey("k", milliseconds(1000)), std::nullopt);
  cache->waitForOutstandingOperations();
  EXPECT_EQ(makeCache()->objectForKey("k", milliseconds(1000)), "fresh");
}

TEST_F(KeyValueCacheTest, KeysNeverNameFilesOutsideTheDirectory) {
  const std::vector<std::string> keys = {"../escaped",  "../../../../etc/passwd", "/absolute", "a/b/c",
                                         std::string(10'000, 'k'), "", ".", "..", std::string("nul\0byte", 8),
                                         "RESTCommand.1.GET.d41d8cd98f00b204e9800998ecf8427e.2.x"};
  {
    auto cache = makeCache();
    for (std::size_t i = 0; i < keys.size(); ++i) cache->setObject("value " + std::to_string(i), keys[i]);
  }
  auto cache = makeCache();
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(cache->objectForKey(keys[i], KeyValueCache::kNoMaxAge), "value " + std::to_string(i));
  EXPECT_EQ(files().size(), keys.size());
  for (const std::string& name : files()) EXPECT_TRUE(internal::isKeyValueCacheFileName(name)) << name;
  // Nothing appeared beside the cache directory.
  std::set<std::string> beside;
  for (const auto& entry : fs::directory_iterator(root)) beside.insert(entry.path().filename().string());
  EXPECT_EQ(beside.count("escaped"), 0u);
  EXPECT_FALSE(fs::exists(root + "/cache/a"));
}

TEST_F(KeyValueCacheTest, RewritingOneKeyAThousandTimesEvictsNothing) {
  auto cache = makeCache();
  cache->setMaxDiskCacheRecords(20);
  cache->setMaxDiskCacheBytes(200'000);
  for (int i = 0; i < 19; ++i) {
    cache->setObject(std::string(1000, 'x'), "other " + std::to_string(i));
    advance(milliseconds(1));
  }
  for (int i = 0; i < 1000; ++i) {
    cache->setObject("rewrite " + std::to_string(i) + std::string(1000, 'y'), "hot");
    advance(milliseconds(1));
  }
  cache->waitForOutstandingOperations();

  EXPECT_EQ(files().size(), 20u);
  auto reader = makeCache();
  EXPECT_EQ(reader->objectForKey("hot", KeyValueCache::kNoMaxAge), "rewrite 999" + std::string(1000, 'y'));
  for (int i = 0; i < 19; ++i) EXPECT_TRUE(reader->objectForKey("other " + std::to_string(i), KeyValueCache::kNoMaxAge)) << i;
}

TEST_F(KeyValueCacheTest, EvictsTheLeastRecentlyUsedFilesBeyondEitherBound) {
  auto cache = makeCache();
  cache->setMaxMemoryCacheBytesPerRecord(0);  // reads go to the files
  cache->setMaxDiskCacheRecords(3);
  for (const char* key : {"a", "b", "c"}) {
    cache->setObject(std::string("value of ") + key, key);
    advance(milliseconds(1000));
  }
  // A read is a use: "a" becomes the most recently used, "b" the least.
  EXPECT_EQ(cache->objectForKey("a", KeyValueCache::kNoMaxAge), "value of a");
  advance(milliseconds(1000));
  cache->setObject("value of d", "d");
  cache->waitForOutstandingOperations();
  const auto name = [](const char* key) { return internal::keyValueCacheFileName(key); };
  EXPECT_EQ(files(), (std::set<std::string>{name("a"), name("c"), name("d")}));

  // Another instance learns the order from the files' last-use times; the byte bound evicts as
  // the record bound does.
  auto other = makeCache();
  advance(milliseconds(1000));
  EXPECT_EQ(other->objectForKey("c", KeyValueCache::kNoMaxAge), "value of c");
  other->setMaxDiskCacheBytes(2 * internal::keyValueCacheFileSize(1, 10));
  other->waitForOutstandingOperations();
  EXPECT_EQ(files(), (std::set<std::string>{name("c"), name("d")}));

  // A memory hit refreshes the last use too, in the background.
  advance(milliseconds(1000));
  EXPECT_EQ(other->objectForKey("d", KeyValueCache::kNoMaxAge), "value of d");
  EXPECT_EQ(other->objectForKey("d", KeyValueCache::kNoMaxAge), "value of d");
  other->waitForOutstandingOperations();
  const auto since = fs::last_write_time(fileOf("d")).time_since_epoch() -
                     fs::last_write_time(fileOf("c")).time_since_epoch();
  EXPECT_EQ(std::chrono::duration_cast<milliseconds>(since), milliseconds(1000));
}

TEST_F(KeyValueCacheTest, AValueLargerThanTheCacheIsRefusedAndEvictsNothing) {
  auto cache = makeCache();
  cache->setMaxDiskCacheBytes(10'000);
  for (int i = 0; i < 5; ++i) cache->setObject("small", "key " + std::to_string(i));
  cache->setObject("previous", "big");
  cache->setObject(std::string(20'000, 'z'), "big");
  cache->waitForOutstandingOperations();

  EXPECT_EQ(cache->objectForKey("big", KeyValueCache::kNoMaxAge), std::nullopt) << "the older value is replaced, not kept";
  auto reader = makeCache();
  EXPECT_EQ(reader->objectForKey("big", KeyValueCache::kNoMaxAge), std::nullopt);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(reader->objectForKey("key " + std::to_string(i), KeyValueCache::kNoMaxAge), "small");
}

TEST_F(KeyValueCacheTest, SmallValuesAreServedFromMemoryAndLargeOnesFromDiskOnly) {
  auto cache = makeCache();
  const std::string large(KeyValueCache::kDefaultMaxMemoryCacheBytesPerRecord, 'L');
  const std::string small = large.substr(0, KeyValueCache::kDefaultMaxMemoryCacheBytesPerRecord - 6);
  cache->setObject(small, "small");  // key and value together one byte under the bound
  cache->setObject(large, "large");
  cache->waitForOutstandingOperations();
  EXPECT_TRUE(fs::exists(fileOf("small")));
  EXPECT_TRUE(fs::exists(fileOf("large")));

  fs::remove(fileOf("small"));
  fs::remove(fileOf("large"));
  EXPECT_EQ(cache->objectForKey("small", KeyValueCache::kNoMaxAge), small);
  EXPECT_EQ(cache->objectForKey("large", KeyValueCache::kNoMaxAge), std::nullopt);

  // A value read from disk lands in memory, so the next read needs no file.
  cache->setObject("v", "k");
  cache->waitForOutstandingOperations();
  auto other = makeCache();
  EXPECT_EQ(other->objectForKey("k", KeyValueCache::kNoMaxAge), "v");
  fs::remove(fileOf("k"));
  EXPECT_EQ(other->objectForKey("k", KeyValueCache::kNoMaxAge), "v");

  // The memory level is bounded as well: the least recently used entry goes first.
  other->setMaxMemoryCacheBytes(2 * (internal::KeyValueMemoryCache::kEntryOverhead + 2));
  other->setObject("1", "a");
  other->setObject("2", "b");
  EXPECT_EQ(other->objectForKey("a", KeyValueCache::kNoMaxAge), "1");
  other->setObject("3", "c");
  other->waitForOutstandingOperations();
  fs::remove_all(directory);
  EXPECT_EQ(other->objectForKey("a", KeyValueCache::kNoMaxAge), "1");
  EXPECT_EQ(other->objectForKey("b", KeyValueCache::kNoMaxAge), std::nullopt);
  EXPECT_EQ(other->objectForKey("c", KeyValueCache::kNoMaxAge), "3");
}

TEST_F(KeyValueCacheTest, ADamagedFileReadsAsAMissAndIsRemoved) {
  const std::string good = internal::encodeKeyValueCacheFile("k", "{\"results\":[]}", clock.load());
  std::string flipped = good;
  flipped.back() ^= 0x01;
  std::string longer = good + "x";
  const std::vector<std::string> damaged = {"", "KEELKVC1", good.substr(0, good.size() - 1), flipped, longer,
                                            std::string(good.size(), '\0'), "plain text someone left here"};
  for (const std::string& bytes : damaged) {
    fs::create_directories(directory);
    std::ofstream(fileOf("k"), std::ios::binary) << bytes;
    EXPECT_EQ(makeCache()->objectForKey("k", KeyValueCache::kNoMaxAge), std::nullopt) << bytes.size();
    EXPECT_FALSE(fs::exists(fileOf("k"))) << bytes.size();
  }

  // A whole file that holds another key (two keys, one digest) is a miss but is not ours to remove.
  std::ofstream(fileOf("k"), std::ios::binary) << internal::encodeKeyValueCacheFile("other key", "v", clock.load());
  EXPECT_EQ(makeCache()->objectForKey("k", KeyValueCache::kNoMaxAge), std::nullopt);
  EXPECT_TRUE(fs::exists(fileOf("k")));

  std::ofstream(fileOf("k"), std::ios::binary) << good;
  EXPECT_EQ(makeCache()->objectForKey("k", KeyValueCache::kNoMaxAge), "{\"results\":[]}");
}

TEST_F(KeyValueCacheTest, RemovesOneKeyOrEverything) {
  auto cache = makeCache();
  cache->setObject("1", "a");
  cache->setObject("2", "b");
  cache->removeObjectForKey("a");
  cache->waitForOutstandingOperations();
  EXPECT_EQ(cache->objectForKey("a", KeyValueCache::kNoMaxAge), std::nullopt);
  EXPECT_EQ(files(), std::set<std::string>{internal::keyValueCacheFileName("b")});

  cache->removeAllObjects();
  EXPECT_FALSE(fs::exists(directory));
  EXPECT_EQ(cache->objectForKey("b", KeyValueCache::kNoMaxAge), std::nullopt);
  cache->setObject("3", "c");
  cache->waitForOutstandingOperations();
  EXPECT_EQ(makeCache()->objectForKey("c", KeyValueCache::kNoMaxAge), "3");
  EXPECT_EQ(cache->cacheDirectoryPath(), directory);
  EXPECT_THROW(KeyValueCache(), InternalInconsistencyException);
  EXPECT_THROW(KeyValueCacheEntry(), InternalInconsistencyException);
}

TEST_F(KeyValueCacheTest, ThreadsReadingWritingAndRemovingSeeOnlyTheirKeysValues) {
  auto cache = makeCache();
  cache->setMaxDiskCacheRecords(5);  // evictions run alongside
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const std::string key = "key " + std::to_string((i + t) % 8);
        switch ((i * 7 + t) % 5) {
          case 0:
          case 1:
            cache->setObject(key + " = " + std::to_string(i), key);
            break;
          case 2:
            cache->removeObjectForKey(key);
            break;
          default:
            if (auto v = cache->objectForKey(key, KeyValueCache::kNoMaxAge); v && v->rfind(key + " = ", 0) != 0) ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  cache->waitForOutstandingOperations();
  EXPECT_EQ(wrong, 0);
  EXPECT_LE(files().size(), 5u);
}

TEST_F(KeyValueCacheTest, MaxAgesInSecondsBecomeMilliseconds) {
  EXPECT_EQ(KeyValueCache::maxAgeFromSeconds(1.5), milliseconds(1500));
  EXPECT_EQ(KeyValueCache::maxAgeFromSeconds(-3), milliseconds(0));
  EXPECT_EQ(KeyValueCache::maxAgeFromSeconds(std::numeric_limits<double>::infinity()), KeyValueCache::kNoMaxAge);
  EXPECT_EQ(KeyValueCache::maxAgeFromSeconds(std::nan("")), KeyValueCache::kNoMaxAge);
  EXPECT_EQ(KeyValueCache::maxAgeFromSeconds(1e300), KeyValueCache::kNoMaxAge);
}

TEST_F(KeyValueCacheTest, EachApplicationHasItsOwnCacheDirectory) {
  auto first = KeelManager::initWithApplicationId("app-one", "key");
  auto second = KeelManager::initWithApplicationId("../app-two", "key");
  auto one = keyValueCache(*first->coreManager());
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one, keyValueCache(*first->coreManager()));
  const std::string caches = root + "/home/Library/Caches/KeelKeyValueCache/";
  EXPECT_EQ(one->cacheDirectoryPath().rfind(caches, 0), 0u);
  EXPECT_NE(one->cacheDirectoryPath(), keyValueCache(*second->coreManager())->cacheDirectoryPath());
  EXPECT_EQ(fs::path(keyValueCache(*second->coreManager())->cacheDirectoryPath()).parent_path(), fs::path(caches).parent_path());
}

// Run only as the other process of the test below.
TEST_F(KeyValueCacheTest, DISABLED_WriterProcess) {
  const char* dir = std::getenv(kWriterDirectoryVariable);
  ASSERT_NE(dir, nullptr);
  KeyValueCache cache(dir);
  for (int round = 0; round < kWriterRounds; ++round) cache.setObject(writerValue(round), "shared");
}

TEST_F(KeyValueCacheTest, AWriterInAnotherProcessNeverTearsAFile) {
  const std::string variable = std::string(kWriterDirectoryVariable) + "=" + directory;
  std::string self = fs::read_symlink("/proc/self/exe").string();
  std::vector<std::string> args = {self, "--gtest_also_run_disabled_tests",
                                   "--gtest_filter=KeyValueCacheTest.DISABLED_WriterProcess"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  std::string variableCopy = variable;
  env.push_back(variableCopy.data());
  env.push_back(nullptr);

  auto cache = makeCache();
  cache->setMaxMemoryCacheBytesPerRecord(0);  // every read goes to the file
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, self.c_str(), nullptr, nullptr, argv.data(), env.data()), 0);

  int reads = 0;
  int hits = 0;
  int status = 0;
  bool seen = false;
  while (waitpid(child, &status, WNOHANG) == 0) {
    auto value = cache->objectForKey("shared", KeyValueCache::kNoMaxAge);
    ++reads;
    if (value) {
      seen = true;
      ++hits;
      ASSERT_TRUE(isWriterValue(*value)) << "a torn read of " << value->size() << " bytes";
    } else {
      ASSERT_FALSE(seen) << "once written, the key is never missing: a reader saw no file or a damaged one";
    }
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto last = makeCache()->objectForKey("shared", KeyValueCache::kNoMaxAge);
  EXPECT_EQ(last, writerValue(kWriterRounds - 1));
  EXPECT_EQ(files(), std::set<std::string>{internal::keyValueCacheFileName("shared")}) << "no temporary file left";
  RecordProperty("reads", reads);
  RecordProperty("hits", hits);
}

TEST(KeyValueMemoryCacheTest, AFillFromDiskNeverOverwritesAChangeMadeMeanwhile) {
  internal::KeyValueMemoryCache memory(1 << 20);
  const auto stale = KeyValueCacheEntry::cacheEntryWithValue("stale");
  const std::uint64_t before = memory.epoch();
  memory.set("k", KeyValueCacheEntry::cacheEntryWithValue("fresh"));
  EXPECT_FALSE(memory.setIfUnchangedSince(before, "k", stale));
  EXPECT_EQ(memory.get("k")->value(), "fresh");
  memory.remove("k");
  const std::uint64_t afterRemoval = memory.epoch();
  EXPECT_TRUE(memory.setIfUnchangedSince(afterRemoval, "k", stale));
  EXPECT_EQ(memory.get("k")->value(), "stale");

  // An entry larger than the whole bound is not held, and pushes nothing out.
  memory.setMaxBytes(1000);
  memory.set("big", KeyValueCacheEntry::cacheEntryWithValue(std::string(2000, 'b')));
  EXPECT_FALSE(memory.contains("big"));
  EXPECT_TRUE(memory.contains("k"));
  EXPECT_EQ(memory.bytes(), internal::KeyValueMemoryCache::costOf("k", *stale));
}

}  // namespace
}  // namespace keel

#include <keel/objects/KeyValueCache.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <list>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <keel/base/Crypto.h>
#include <keel/base/Exception.h>
#include <keel/base/Format.h>
#include <keel/core/CoreManager.h>
#include <keel/core/KeelManager.h>
#include <keel/objects/internal/KeyValueCacheFile.h>
#include <keel/objects/internal/KeyValueMemoryCache.h>
#include <keel/platform/Dispatch.h>
#include <keel/platform/FileSystem.h>
#include <keel/storage/FileManager.h>
#include <keel/tasks/TaskLibrary.h>

namespace keel {
namespace {

using internal::KeyValueMemoryCache;

// A temporary file older than this belongs to a writer that died; younger ones may still be
// on their way to being renamed into place by another process.
constexpr std::chrono::hours kAbandonedTemporaryFileAge{1};

timespec timespecFromDate(Date d) {
  const std::int64_t ms = millisFromDate(d);
  std::int64_t seconds = ms / 1000;
  std::int64_t rest = ms % 1000;
  if (rest < 0) {
    rest += 1000;
    seconds -= 1;
  }
  timespec t{};
  t.tv_sec = static_cast<time_t>(seconds);
  t.tv_nsec = static_cast<long>(rest * 1000000);
  return t;
}

// Returns how long ago `written` was, as a distance: an entry dated after `now` (written before
// the clock was set back, or by a process with a wrong clock) is as old as it is far away, so a
// date years ahead cannot keep an entry fresh for years. Dates come from files, so the
// subtraction must not overflow.
std::chrono::milliseconds ageOf(Date written, Date now) {
  const std::int64_t a = millisFromDate(now);
  const std::int64_t b = millisFromDate(written);
  std::int64_t difference = 0;
  if (__builtin_sub_overflow(a, b, &difference) || difference == INT64_MIN) return std::chrono::milliseconds::max();
  return std::chrono::milliseconds(difference < 0 ? -difference : difference);
}

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }
bool earlier(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool readAll(int fd, std::size_t size, std::string& out) {
  out.resize(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, out.data() + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  // A file that grew or shrank while it was read is judged by what was read: the checksum
  // refuses anything that is not one whole entry.
  out.resize(done);
  return true;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

KeyValueCacheEntry::KeyValueCacheEntry() {
  throw InternalInconsistencyException(
      formatMessage("%@ is not the designated initializer for instances of %@.", "init", "KeyValueCacheEntry"));
}

KeyValueCacheEntry::KeyValueCacheEntry(std::string value, Date creationTime)
    : value_(std::move(value)), creationTime_(creationTime) {}

std::shared_ptr<const KeyValueCacheEntry> KeyValueCacheEntry::cacheEntryWithValue(std::string value) {
  return cacheEntryWithValue(std::move(value), dateNow());
}

std::shared_ptr<const KeyValueCacheEntry> KeyValueCacheEntry::cacheEntryWithValue(std::string value,
                                                                                  Date creationTime) {
  return std::make_shared<const KeyValueCacheEntry>(std::move(value), creationTime);
}

// ---------------------------------------------------------------------------------------------

struct KeyValueCache::State {
  State(std::string directory, Clock clock)
      : directory(std::move(directory)),
        clock(std::move(clock)),
        memory(kDefaultMaxMemoryCacheBytes),
        diskQueue(platform::DispatchQueue::createSerial(std::string(kQueueLabelPrefix) + ".keyvaluecache.disk")) {}

  // What one read of a file found.
  struct Found {
    std::string value;
    Date writeTime;
  };

  const std::string directory;
  const Clock clock;
  KeyValueMemoryCache memory;
  const platform::DispatchQueuePtr diskQueue;

  std::atomic<std::uint64_t> maxDiskBytes{kDefaultMaxDiskCacheBytes};
  std::atomic<std::uint64_t> maxDiskRecords{kDefaultMaxDiskCacheRecords};
  std::atomic<std::uint64_t> maxMemoryBytesPerRecord{kDefaultMaxMemoryCacheBytesPerRecord};

  // Keys whose file's last-use time awaits a refresh; one queued drain serves them all, so a
  // burst of memory hits costs one disk job, not one each, and no digest on the hit itself.
  std::mutex touchMutex;
  std::unordered_set<std::string> pendingTouches;

  // The account of the directory's files. Disk queue only.
  struct Record {
    std::uint64_t size = 0;
    std::list<std::string>::iterator use;  // place in `uses`
  };
  bool accountKnown = false;
  timespec accountDirectoryTime{};  // the directory's modification time the account matches
  std::uint64_t accountBytes = 0;
  std::list<std::string> uses;  // file names, most recently used first
  std::unordered_map<std::string, Record> records;

  Date now() const { return clock ? clock() : dateNow(); }
  std::string pathOf(const std::string& name) const { return platform::appendPathComponent(directory, name); }

  bool fitsInMemory(std::size_t keySize, std::size_t valueSize) const {
    return static_cast<std::uint64_t>(keySize) + valueSize < maxMemoryBytesPerRecord.load();
  }

  // -- The account ------------------------------------------------------------------------------

  std::optional<timespec> directoryTime() const {
    struct stat st{};
    if (::stat(directory.c_str(), &st) != 0) return std::nullopt;
    return st.st_mtim;
  }

  // Returns true iff the account still describes the directory: nobody else changed it since
  // this process last looked.
  bool accountIsCurrent() const {
    if (!accountKnown) return false;
    const auto time = directoryTime();
    return time && sameTime(*time, accountDirectoryTime);
  }

  void forgetAccount() {
    accountKnown = false;
    accountBytes = 0;
    uses.clear();
    records.clear();
  }

  // Called after a change of our own that the account has taken in: the directory's new time
  // is ours, not another writer's.
  void noteOwnChange() {
    const auto time = directoryTime();
    if (time) {
      accountDirectoryTime = *time;
    } else {
      forgetAccount();
    }
  }

  void dropRecord(const std::string& name) {
    auto found = records.find(name);
    if (found == records.end()) return;
    accountBytes -= found->second.size;
    uses.erase(found->second.use);
    records.erase(found);
  }

  void putRecord(const std::string& name, std::uint64_t size) {
    // A rewrite replaces the key's record: counting it twice would make the older record evict
    // the newer file later on.
    dropRecord(name);
    uses.push_front(name);
    records.emplace(name, Record{size, uses.begin()});
    accountBytes += size;
  }

  void markUsed(const std::string& name) {
    auto found = records.find(name);
    if (found != records.end()) uses.splice(uses.begin(), uses, found->second.use);
  }

  void rebuildAccount() {
    forgetAccount();
    // The time is taken before listing, so that a change made during the listing shows as a
    // change next time.
    const auto time = directoryTime();
    if (!time) return;
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return;
    struct Listed {
      std::string name;
      timespec used;
      std::uint64_t size;
    };
    std::vector<Listed> listed;
    const auto abandonedBefore = std::chrono::system_clock::now() - kAbandonedTemporaryFileAge;
    while (dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      const bool isEntry = internal::isKeyValueCacheFileName(name);
      const bool isTemporary = !isEntry && internal::isKeyValueCacheTemporaryFileName(name);
      if (!isEntry && !isTemporary) continue;  // not ours: left alone and not counted
      struct stat st{};
      if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
      if (isTemporary) {
        if (std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec) < abandonedBefore) {
          ::unlinkat(::dirfd(dir), entry->d_name, 0);
        }
        continue;
      }
      listed.push_back(Listed{std::string(name), st.st_mtim, static_cast<std::uint64_t>(st.st_size)});
    }
    ::closedir(dir);
    // Oldest first, so that pushing each to the front leaves the most recently used in front.
    std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
      if (!sameTime(a.used, b.used)) return earlier(a.used, b.used);
      return a.name < b.name;
    });
    for (const Listed& l : listed) putRecord(l.name, l.size);
    accountKnown = true;
    accountDirectoryTime = *time;
  }

  void compact() {
    if (!accountIsCurrent()) rebuildAccount();
    if (!accountKnown) return;
    bool removed = false;
    while (!uses.empty() && (records.size() > maxDiskRecords.load() || accountBytes > maxDiskBytes.load())) {
      const std::string name = uses.back();
      ::unlink(pathOf(name).c_str());
      dropRecord(name);
      removed = true;
    }
    if (removed) noteOwnChange();
  }

  // -- Files ------------------------------------------------------------------------------------

  // Removes the file at `path` iff it is still the one `fd` has open: another process may have
  // renamed a fresh entry over it since it was opened.
  static bool unlinkIfSame(const std::string& path, int fd) {
    struct stat opened{};
    struct stat current{};
    if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &current) != 0) return false;
    if (opened.st_dev != current.st_dev || opened.st_ino != current.st_ino) return false;
    return ::unlink(path.c_str()) == 0;
  }

  // The file name of a key (its digest) is worked out by the caller, off the disk queue: the
  // queue is shared by every caller and should do nothing but file work.
  void writeEntry(const std::string& key, const std::string& name, const std::string& value, Date writeTime) {
    const bool current = accountIsCurrent();
    const std::string path = pathOf(name);
    const std::string bytes = internal::encodeKeyValueCacheFile(key, value, writeTime);

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
      temporary = pathOf(internal::keyValueCacheTemporaryFileName(name));
      fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0 && errno == ENOENT && platform::createDirectories(directory, 0700)) return;
    }
    if (fd < 0) return;
    // The modification time is the last use; it starts at the write.
    const timespec times[2] = {timespecFromDate(writeTime), timespecFromDate(writeTime)};
    bool ok = writeAll(fd, bytes) && ::futimens(fd, times) == 0;
    ok = (::close(fd) == 0) && ok;
    // The rename is what makes the write atomic for readers in any process: they open either
    // the old file or the new one. No fsync: a file cut short by a crash fails its checksum and
    // reads as a miss, which is all a cache owes.
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
      ::unlink(temporary.c_str());
      if (current) noteOwnChange();
      return;
    }
    if (current) {
      putRecord(name, bytes.size());
      noteOwnChange();
    } else {
      forgetAccount();
    }
    compact();
  }

  void removeEntry(const std::string& name) {
    const bool current = accountIsCurrent();
    ::unlink(pathOf(name).c_str());
    if (current) {
      dropRecord(name);
      noteOwnChange();
    } else {
      forgetAccount();
    }
  }

  // Returns the entry of `key` on disk. A damaged file is removed; so is one older than
  // `maxAge`. With `touch`, a hit counts as a use.
  std::optional<Found> readEntry(const std::string& key, const std::string& name, std::chrono::milliseconds maxAge,
                                 bool touch) {
    const std::string path = pathOf(name);
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) return std::nullopt;
    struct stat st{};
    std::string bytes;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    // Nothing larger is ever written under the present bound; reading it whole would let any
    // file in the directory claim as much memory as it likes.
    if (static_cast<std::uint64_t>(st.st_size) > maxDiskBytes.load()) {
      removeFile(name, path, fd.get());
      return std::nullopt;
    }
    if (!readAll(fd.get(), static_cast<std::size_t>(st.st_size), bytes)) return std::nullopt;
    const auto contents = internal::decodeKeyValueCacheFile(bytes);
    if (!contents) {
      removeFile(name, path, fd.get());
      return std::nullopt;
    }
    // Two keys with one digest: the file is the other key's, and stays.
    if (contents->key != key) return std::nullopt;
    const Date now = this->now();
    if (ageOf(contents->writeTime, now) > maxAge) {
      removeFile(name, path, fd.get());
      return std::nullopt;
    }
    if (touch) {
      const timespec times[2] = {timespecFromDate(now), timespecFromDate(now)};
      ::futimens(fd.get(), times);
      markUsed(name);
    }
    return Found{std::string(contents->value), contents->writeTime};
  }

  void removeFile(const std::string& name, const std::string& path, int fd) {
    const bool current = accountIsCurrent();
    if (!unlinkIfSame(path, fd)) return;
    if (current) {
      dropRecord(name);
      noteOwnChange();
    } else {
      forgetAccount();
    }
  }

  void touchPending() {
    std::unordered_set<std::string> keys;
    {
      std::lock_guard lock(touchMutex);
      keys.swap(pendingTouches);
    }
    const timespec now = timespecFromDate(this->now());
    const timespec times[2] = {now, now};
    for (const std::string& key : keys) {
      const std::string name = internal::keyValueCacheFileName(key);
      // The file may be gone (evicted, removed by another process); then there is nothing to do.
      if (::utimensat(AT_FDCWD, pathOf(name).c_str(), times, AT_SYMLINK_NOFOLLOW) == 0) markUsed(name);
    }
  }

  void removeAll() {
    if (platform::fileExists(directory)) platform::removeItem(directory);
    forgetAccount();
    std::lock_guard lock(touchMutex);
    pendingTouches.clear();
  }
};

// ---------------------------------------------------------------------------------------------

KeyValueCache::KeyValueCache() {
  throw InternalInconsistencyException(
      formatMessage("%@ is not the designated initializer for instances of %@.", "init", "KeyValueCache"));
}

KeyValueCache::KeyValueCache(std::string cacheDirectoryPath, Clock clock)
    : state_(std::make_shared<State>(std::move(cacheDirectoryPath), std::move(clock))) {}

KeyValueCache::~KeyValueCache() {
  // Queued work holds the state and finishes on its own; waiting here only makes the end of
  // the cache a point after which its files are settled (a test removes its directory next).
  if (!state_->diskQueue->isCurrent()) waitForOutstandingOperations();
}

std::shared_ptr<KeyValueCache> KeyValueCache::initWithCacheDirectoryPath(std::string cacheDirectoryPath) {
  return std::make_shared<KeyValueCache>(std::move(cacheDirectoryPath));
}

std::string KeyValueCache::cacheDirectoryPath() const {
  platform::createDirectories(state_->directory, 0700);
  return state_->directory;
}

std::uint64_t KeyValueCache::maxDiskCacheBytes() const { return state_->maxDiskBytes.load(); }
std::uint64_t KeyValueCache::maxDiskCacheRecords() const { return state_->maxDiskRecords.load(); }
std::uint64_t KeyValueCache::maxMemoryCacheBytesPerRecord() const { return state_->maxMemoryBytesPerRecord.load(); }
std::uint64_t KeyValueCache::maxMemoryCacheBytes() const { return state_->memory.maxBytes(); }

void KeyValueCache::setMaxDiskCacheBytes(std::uint64_t bytes) {
  state_->maxDiskBytes.store(bytes);
  state_->diskQueue->async([state = state_] { state->compact(); });
}

void KeyValueCache::setMaxDiskCacheRecords(std::uint64_t records) {
  state_->maxDiskRecords.store(records);
  state_->diskQueue->async([state = state_] { state->compact(); });
}

void KeyValueCache::setMaxMemoryCacheBytesPerRecord(std::uint64_t bytes) {
  state_->maxMemoryBytesPerRecord.store(bytes);
}

void KeyValueCache::setMaxMemoryCacheBytes(std::uint64_t bytes) {
  state_->memory.setMaxBytes(static_cast<std::size_t>(std::min<std::uint64_t>(bytes, SIZE_MAX)));
}

void KeyValueCache::setObject(std::string value, const std::string& key) {
  const Date now = state_->now();
  if (internal::keyValueCacheFileSize(key.size(), value.size()) > state_->maxDiskBytes.load()) {
    // It could never stay: storing it would evict everything else and then itself. What the
    // key held goes all the same, since the caller meant to replace it.
    removeObjectForKey(key);
    return;
  }
  if (state_->fitsInMemory(key.size(), value.size())) {
    state_->memory.set(key, KeyValueCacheEntry::cacheEntryWithValue(value, now));
  } else {
    state_->memory.remove(key);
  }
  state_->diskQueue->async([state = state_, key, name = internal::keyValueCacheFileName(key), value = std::move(value), now] {
    state->writeEntry(key, name, value, now);
  });
}

std::optional<std::string> KeyValueCache::objectForKey(const std::string& key, std::chrono::milliseconds maxAge) {
  const Date now = state_->now();
  if (auto entry = state_->memory.get(key)) {
    if (ageOf(entry->creationTime(), now) > maxAge) {
      state_->memory.removeIf(key, entry);
      // Only the file still holding an expired entry goes: a fresh write queued meanwhile stays.
      state_->diskQueue->async([state = state_, key, name = internal::keyValueCacheFileName(key), maxAge] {
        state->readEntry(key, name, maxAge, false);
      });
      return std::nullopt;
    }
    bool post = false;
    {
      std::lock_guard lock(state_->touchMutex);
      post = state_->pendingTouches.empty();
      state_->pendingTouches.insert(key);
    }
    if (post) state_->diskQueue->async([state = state_] { state->touchPending(); });
    return entry->value();
  }

  const std::uint64_t epoch = state_->memory.epoch();
  const std::string name = internal::keyValueCacheFileName(key);
  auto found = state_->diskQueue->syncResult([&] { return state_->readEntry(key, name, maxAge, true); });
  if (!found) return std::nullopt;
  if (state_->fitsInMemory(key.size(), found->value.size())) {
    // Age counts from the write, so the memory entry carries the write time, not now.
    state_->memory.setIfUnchangedSince(epoch, key, KeyValueCacheEntry::cacheEntryWithValue(found->value, found->writeTime));
  }
  return std::move(found->value);
}

void KeyValueCache::removeObjectForKey(const std::string& key) {
  state_->memory.remove(key);
  state_->diskQueue->async([state = state_, name = internal::keyValueCacheFileName(key)] { state->removeEntry(name); });
}

void KeyValueCache::removeAllObjects() {
  state_->memory.clear();
  state_->diskQueue->sync([&] { state_->removeAll(); });
}

void KeyValueCache::waitForOutstandingOperations() {
  state_->diskQueue->sync([] {});
}

std::chrono::milliseconds KeyValueCache::maxAgeFromSeconds(double seconds) {
  if (std::isnan(seconds) || seconds >= static_cast<double>(kNoMaxAge.count()) / 1000.0) return kNoMaxAge;
  if (seconds <= 0) return std::chrono::milliseconds(0);
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::floor(seconds * 1000.0)));
}

// ---------------------------------------------------------------------------------------------

std::string keyValueCacheDirectoryPath(const FileManager& files, const std::string& applicationId) {
  // The application id is outside input: its digest, not the id itself, names the directory.
  return files.cacheItemPathForPathComponent("../KeelKeyValueCache/" + md5HexDigest(applicationId));
}

std::shared_ptr<KeyValueCache> keyValueCache(CoreManager& core) {
  return core.component<KeyValueCache>([](CoreManager& core) -> std::shared_ptr<KeyValueCache> {
    auto manager = core.dataSource();
    if (!manager) return nullptr;
    return KeyValueCache::initWithCacheDirectoryPath(
        keyValueCacheDirectoryPath(*manager->fileManager(), manager->applicationId()));
  });
}

}  // namespace keel

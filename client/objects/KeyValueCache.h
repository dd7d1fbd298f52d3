// KeyValueCache: the query result cache. Strings (reply texts) by string key (a command's cache
// key), in two levels: a size-bounded memory cache in front of one directory of files.
//
// Memory: an entry whose key and value together are smaller than maxMemoryCacheBytesPerRecord
// (1 MiB) is also kept in memory, least recently used entries giving way once the memory cache
// holds maxMemoryCacheBytes; larger values live on disk only, so one big reply does not push
// out every small one. A memory hit touches no file (the last-use time is refreshed later, in
// the background).
//
// Disk: one file per key, named by the MD5 digest of the key (so any key, "../x" or ten
// kilobytes long, is a safe name), holding the key, the value and the time it was written, with
// a checksum. A file that does not check out (torn by a crash, damaged, or not ours) reads as
// a miss and is removed; a file that holds another key (two keys with one digest) reads as a
// miss and is left alone. Files are written to a temporary name and renamed into place, so a
// reader, in this process or another, sees the old file or the new one, never a part of either.
// The directory holds at most maxDiskCacheRecords files (1000) and maxDiskCacheBytes (10 MiB);
// the least recently used (read or written) go first. A value that could never fit
// (its file alone exceeds maxDiskCacheBytes) is not stored at all: storing it would mean
// evicting everything else for an entry that is itself evicted next. Storing such a value under
// a key still removes what the key held, since the caller meant to replace it.
//
// Age: an entry's age is the time since it was written, wherever it is read from, and reading
// it does not make it younger. An entry dated after now (the clock was set back) is as old as
// it is far away. An entry older than the maxAge a reader asks with is a miss and is removed.
// Eviction order, on the other hand, follows the last use (the file's modification time,
// refreshed on every read).
//
// Files in the directory whose names are not of the cache's form are neither counted nor
// removed (the whole directory goes only with removeAllObjects).
//
// Several processes may share the directory. Each keeps its own account of the directory's
// files and sizes and rebuilds it when the directory changed under it, so across processes the
// bounds hold approximately (a change in the same clock tick as one of ours can go unnoticed
// until the next one); within one process they hold exactly. Each process also has its own
// memory cache: a value another process rewrites is seen here once the memory entry is gone.
//
// File-system failures are not errors: the operation simply has no effect (a write that fails
// leaves a miss, a read that fails is a miss).
//
// Thread-safety: every member may be called from any thread. Disk work runs on the cache's own
// serial queue: writes, removals and last-use refreshes asynchronously, reads and
// removeAllObjects synchronously. REQUIRES: no member is called from that queue.
// Ownership: work still queued holds the cache's state, so a write requested before the cache
// is dropped still happens; the destructor waits for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <keel/base/Value.h>

namespace keel {

class CoreManager;
class FileManager;

// One value of the memory cache with the time it was written. Immutable, so it can be shared
// between threads freely.
class KeyValueCacheEntry {
 public:
  // Throws: the plain initializer is not the designated one.
  KeyValueCacheEntry();
  KeyValueCacheEntry(std::string value, Date creationTime);

  // Returns an entry created now.
  static std::shared_ptr<const KeyValueCacheEntry> cacheEntryWithValue(std::string value);
  static std::shared_ptr<const KeyValueCacheEntry> cacheEntryWithValue(std::string value, Date creationTime);

  const std::string& value() const { return value_; }
  Date creationTime() const { return creationTime_; }

 private:
  std::string value_;
  Date creationTime_;
};

class KeyValueCache {
 public:
  // Returns "now"; tests give their own clock.
  using Clock = std::function<Date()>;

  // A max age under which nothing expires.
  static constexpr std::chrono::milliseconds kNoMaxAge = std::chrono::milliseconds::max();

  static constexpr std::uint64_t kDefaultMaxDiskCacheBytes = 10 * 1024 * 1024;
  static constexpr std::uint64_t kDefaultMaxDiskCacheRecords = 1000;
  static constexpr std::uint64_t kDefaultMaxMemoryCacheBytesPerRecord = 1024 * 1024;
  static constexpr std::uint64_t kDefaultMaxMemoryCacheBytes = 10 * 1024 * 1024;

  // Throws: the plain initializer is not the designated one.
  KeyValueCache();
  // The directory is made (with its parents, mode 0700) when first written to or when
  // cacheDirectoryPath() is read. `clock` defaults to the system clock.
  explicit KeyValueCache(std::string cacheDirectoryPath, Clock clock = {});
  ~KeyValueCache();
  KeyValueCache(const KeyValueCache&) = delete;
  KeyValueCache& operator=(const KeyValueCache&) = delete;

  static std::shared_ptr<KeyValueCache> initWithCacheDirectoryPath(std::string cacheDirectoryPath);

  // Returns the directory, made if it is missing.
  std::string cacheDirectoryPath() const;

  std::uint64_t maxDiskCacheBytes() const;
  void setMaxDiskCacheBytes(std::uint64_t bytes);
  std::uint64_t maxDiskCacheRecords() const;
  void setMaxDiskCacheRecords(std::uint64_t records);
  // An entry is kept in memory only when its key and value together are smaller than this.
  std::uint64_t maxMemoryCacheBytesPerRecord() const;
  void setMaxMemoryCacheBytesPerRecord(std::uint64_t bytes);
  // What the memory cache holds at most, counting keys, values and a small cost per entry.
  std::uint64_t maxMemoryCacheBytes() const;
  void setMaxMemoryCacheBytes(std::uint64_t bytes);

  // Stores `value` under `key`, written now: in memory at once (when small enough), on disk in
  // the background, evicting the least recently used files beyond the bounds.
  void setObject(std::string value, const std::string& key);
  void setObjectForKeyedSubscript(std::string value, const std::string& key) { setObject(std::move(value), key); }

  // Returns the value stored under `key`, or none when there is none or it was written more
  // than `maxAge` ago (an entry exactly maxAge old is returned; an older one is removed).
  std::optional<std::string> objectForKey(const std::string& key, std::chrono::milliseconds maxAge);

  // Removes the key: from memory at once, from disk in the background.
  void removeObjectForKey(const std::string& key);
  // Empties the cache and deletes its directory; returns when the directory is gone.
  void removeAllObjects();

  // Returns once every disk operation requested before the call has run.
  void waitForOutstandingOperations();

  // Returns the max age for a number of seconds, as queries give it: infinite, NaN or beyond
  // what milliseconds hold is kNoMaxAge, a negative age is 0.
  static std::chrono::milliseconds maxAgeFromSeconds(double seconds);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Returns the directory of the key-value cache of an application: under the caches directory
// of `files`, one directory per application id, so that results cached for one application are
// never served to another that shares the home directory.
std::string keyValueCacheDirectoryPath(const FileManager& files, const std::string& applicationId);

// Returns the key-value cache of the core manager's KeelManager, made on first use in that
// manager's cache directory. Returns nullptr once the KeelManager is gone.
std::shared_ptr<KeyValueCache> keyValueCache(CoreManager& core);

}  // namespace keel

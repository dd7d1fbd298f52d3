// KeyValueMemoryCache: the memory level of the key-value cache, a least-recently-used map from
// key to entry bounded by bytes (keys and values plus a fixed cost per entry). Inserting beyond
// the bound drops the least recently used entries; an entry larger than the whole bound is not
// kept at all.
//
// Every change made through set/remove/clear advances an epoch. A reader that fills the cache
// from disk remembers the epoch before it read and fills only when no change came in between
// (setIfUnchangedSince), so a value read just before a concurrent write or removal is never
// put back over it.
//
// Thread-safety: every member may be called from any thread (one mutex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <keel/objects/KeyValueCache.h>

namespace keel::internal {

class KeyValueMemoryCache {
 public:
  using EntryPtr = std::shared_ptr<const KeyValueCacheEntry>;

  // What an entry costs beyond its key and value: the list node, the map node, the entry.
  static constexpr std::size_t kEntryOverhead = 128;

  explicit KeyValueMemoryCache(std::size_t maxBytes);

  // Returns the entry under `key` (and makes it the most recently used), or nullptr.
  EntryPtr get(const std::string& key);
  // Returns true iff an entry is held under `key`, without counting it as a use.
  bool contains(const std::string& key) const;

  void set(const std::string& key, EntryPtr entry);
  void remove(const std::string& key);
  // Removes the entry under `key` only if it is `expected`.
  void removeIf(const std::string& key, const EntryPtr& expected);
  void clear();

  // Returns the number of changes made so far.
  std::uint64_t epoch() const;
  // Sets the entry iff no change has been made since `epoch`; returns true iff it did.
  bool setIfUnchangedSince(std::uint64_t epoch, const std::string& key, EntryPtr entry);

  std::size_t maxBytes() const;
  // Changes the bound, dropping entries beyond it.
  void setMaxBytes(std::size_t maxBytes);
  std::size_t bytes() const;
  std::size_t count() const;

  static std::size_t costOf(const std::string& key, const KeyValueCacheEntry& entry) {
    return key.size() + entry.value().size() + kEntryOverhead;
  }

 private:
  struct Node {
    std::string key;
    EntryPtr entry;
    std::size_t cost;
  };
  using List = std::list<Node>;

  void setLocked(const std::string& key, EntryPtr entry);
  void eraseLocked(std::unordered_map<std::string, List::iterator>::iterator found);
  void trimLocked();

  mutable std::mutex mutex_;
  List lru_;  // most recently used first
  std::unordered_map<std::string, List::iterator> index_;
  std::size_t bytes_ = 0;
  std::size_t maxBytes_;
  std::uint64_t epoch_ = 0;
};

}  // namespace keel::internal

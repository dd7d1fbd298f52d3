#include <keel/objects/internal/KeyValueMemoryCache.h>

#include <utility>

namespace keel::internal {

KeyValueMemoryCache::KeyValueMemoryCache(std::size_t maxBytes) : maxBytes_(maxBytes) {}

KeyValueMemoryCache::EntryPtr KeyValueMemoryCache::get(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto found = index_.find(key);
  if (found == index_.end()) return nullptr;
  lru_.splice(lru_.begin(), lru_, found->second);
  return found->second->entry;
}

bool KeyValueMemoryCache::contains(const std::string& key) const {
  std::lock_guard lock(mutex_);
  return index_.count(key) != 0;
}

void KeyValueMemoryCache::set(const std::string& key, EntryPtr entry) {
  std::lock_guard lock(mutex_);
  ++epoch_;
  setLocked(key, std::move(entry));
}

void KeyValueMemoryCache::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  ++epoch_;
  auto found = index_.find(key);
  if (found != index_.end()) eraseLocked(found);
}

void KeyValueMemoryCache::removeIf(const std::string& key, const EntryPtr& expected) {
  std::lock_guard lock(mutex_);
  auto found = index_.find(key);
  if (found == index_.end() || found->second->entry != expected) return;
  ++epoch_;
  eraseLocked(found);
}

void KeyValueMemoryCache::clear() {
  std::lock_guard lock(mutex_);
  ++epoch_;
  lru_.clear();
  index_.clear();
  bytes_ = 0;
}

std::uint64_t KeyValueMemoryCache::epoch() const {
  std::lock_guard lock(mutex_);
  return epoch_;
}

bool KeyValueMemoryCache::setIfUnchangedSince(std::uint64_t epoch, const std::string& key, EntryPtr entry) {
  std::lock_guard lock(mutex_);
  if (epoch_ != epoch) return false;
  // A fill is not a change: other fills of the same moment may go on.
  setLocked(key, std::move(entry));
  return true;
}

std::size_t KeyValueMemoryCache::maxBytes() const {
  std::lock_guard lock(mutex_);
  return maxBytes_;
}

void KeyValueMemoryCache::setMaxBytes(std::size_t maxBytes) {
  std::lock_guard lock(mutex_);
  maxBytes_ = maxBytes;
  trimLocked();
}

std::size_t KeyValueMemoryCache::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

std::size_t KeyValueMemoryCache::count() const {
  std::lock_guard lock(mutex_);
  return index_.size();
}

void KeyValueMemoryCache::setLocked(const std::string& key, EntryPtr entry) {
  auto found = index_.find(key);
  if (found != index_.end()) eraseLocked(found);
  if (!entry) return;
  const std::size_t cost = costOf(key, *entry);
  // Holding it would mean dropping everything else and then it as well.
  if (cost > maxBytes_) return;
  lru_.push_front(Node{key, std::move(entry), cost});
  index_.emplace(key, lru_.begin());
  bytes_ += cost;
  trimLocked();
}

void KeyValueMemoryCache::eraseLocked(std::unordered_map<std::string, List::iterator>::iterator found) {
  bytes_ -= found->second->cost;
  lru_.erase(found->second);
  index_.erase(found);
}

void KeyValueMemoryCache::trimLocked() {
  while (bytes_ > maxBytes_ && !lru_.empty()) eraseLocked(index_.find(lru_.back().key));
}

}  // namespace keel::internal

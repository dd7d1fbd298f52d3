// UserDefaults: the application's per-user key-value settings store. Values keep their kinds
// (numbers with their number kind, strings, arrays, dictionaries, booleans), so a reader can
// tell a number from a string stored under the same key.
//
// The store is one JSON file, <library>/Preferences/settings.json in the application's sandbox,
// read once and rewritten atomically after every change: a crash never leaves half a file, and
// a value set before the process ends is there at the next start. A file that cannot be read
// as a JSON object counts as empty (and is logged); the next write replaces it.
//
// Thread-safety: every member may be called from any thread; each call is atomic on its own
// (a read-modify-write of several calls is not).
// Ownership: standardUserDefaults() hands out a process-wide instance per sandbox; it lives as
// long as the process.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <keel/base/Value.h>

namespace platform {

class UserDefaults {
 public:
  // Opens the store kept in the file at `path` (created on the first write).
  explicit UserDefaults(std::string path);

  // Returns the store of the current sandbox (see FileSystem.h).
  static std::shared_ptr<UserDefaults> standardUserDefaults();

  // Returns the value under `key`, or the null Value when there is none.
  keel::Value objectForKey(const std::string& key) const;
  // Stores `value` under `key` and writes the file; a null value removes the key.
  // Returns false (and logs) when the file could not be written; the value is kept in memory.
  bool setObject(const keel::Value& value, const std::string& key);
  // Removes the key.
  bool removeObjectForKey(const std::string& key) { return setObject(keel::Value(), key); }

  const std::string& path() const { return path_; }

 private:
  bool writeLocked();

  std::string path_;
  mutable std::mutex mutex_;
  keel::Dictionary values_;
};

}  // namespace platform

// Favorites: the user's favourite exercises, newest first, as the objectIds stored under
// "favorites" in the settings store. Ids of exercises that left the catalogue stay; duplicates
// are the caller's to avoid (the completion screen asks isFavorite first).
//
// Thread-safety: main thread only (its read-modify-writes are not atomic).
#pragma once

#include <memory>
#include <utility>
#include <string>
#include <vector>

#include <keel/platform/UserDefaults.h>

namespace stillnook {

class Favorites {
 public:
  // Uses the settings store of the current sandbox.
  Favorites() : defaults_(platform::UserDefaults::standardUserDefaults()) {}
  // Uses `defaults` (REQUIRES: not null).
  explicit Favorites(std::shared_ptr<platform::UserDefaults> defaults) : defaults_(std::move(defaults)) {}

  const std::shared_ptr<platform::UserDefaults>& defaults() const { return defaults_; }

  // Returns the stored list; empty when absent or not an array of strings as a whole.
  std::vector<std::string> favorites() const;
  void setFavorites(const std::vector<std::string>& favorites);
  // Puts `objectId` at the front of the list (no membership check).
  void addFavorite(const std::string& objectId);
  // Returns true iff the list holds a text canonically equivalent to `objectId`.
  bool isFavorite(const std::string& objectId) const;
  // Removes the first occurrence of `objectId`; writes the list back either way.
  void removeFavorite(const std::string& objectId);

 private:
  std::shared_ptr<platform::UserDefaults> defaults_;
};

// Returns true iff the two UTF-8 texts are canonically equivalent Unicode (equal after
// normalisation to NFC).
bool canonicallyEqual(const std::string& a, const std::string& b);

}  // namespace stillnook

#include <keel/platform/UserDefaults.h>

#include <map>

#include <keel/base/JSONSerialization.h>
#include <keel/platform/FileSystem.h>

namespace platform {

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {
  if (!fileExists(path_)) return;
  std::error_code error;
  auto bytes = readFile(path_, error);
  std::optional<keel::Value> parsed;
  if (bytes) parsed = keel::JSONSerialization::JSONObjectFromData(*bytes);
  if (parsed && parsed->isDictionary()) {
    values_ = parsed->dictionaryValue();
  } else {
    fprintf(stderr, "Settings file %s is unreadable; starting with empty settings\n", path_.c_str());
  }
}

std::shared_ptr<UserDefaults> UserDefaults::standardUserDefaults() {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<UserDefaults>> stores;
  const std::string path =
      appendPathComponent(appendPathComponent(libraryDirectory(), "Preferences"), "settings.json");
  std::lock_guard lock(mutex);
  auto& store = stores[path];
  if (!store) store = std::make_shared<UserDefaults>(path);
  return store;
}

keel::Value UserDefaults::objectForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const keel::Value* value = values_.find(key);
  return value ? *value : keel::Value();
}

bool UserDefaults::setObject(const keel::Value& value, const std::string& key) {
  std::lock_guard lock(mutex_);
  if (value.isNull()) {
    values_.remove(key);
  } else {
    values_.set(key, value);
  }
  return writeLocked();
}

bool UserDefaults::writeLocked() {
  const std::string folder = path_.substr(0, path_.find_last_of('/'));
  std::error_code error = createDirectories(folder);
  if (!error) {
    try {
      error = writeFileAtomically(path_, keel::JSONSerialization::dataFromJSONObject(keel::Value(values_)),
                                  0600);
    } catch (const std::exception& e) {
      // A value JSON cannot carry (a date, bytes) is a caller's mistake; keep the file intact.
      fprintf(stderr, "Settings not written: %s\n", e.what());
      return false;
    }
  }
  if (error) {
    fprintf(stderr, "Settings not written to %s: %s\n", path_.c_str(), error.message().c_str());
    return false;
  }
  return true;
}

}  // namespace platform

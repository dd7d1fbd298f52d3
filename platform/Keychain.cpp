#include <keel/platform/Keychain.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>
#include <keel/platform/FileSystem.h>
#include <keel/platform/internal/SecretServiceKeychain.h>

namespace platform {
namespace {

using internal::SecretServiceKeychain;

// Everything the keychain remembers between calls. Never destroyed: keychain calls may still
// run while the process exits.
struct State {
  std::string directoryOverride;
  std::optional<KeychainBackend> forced;
  std::optional<KeychainBackend> chosen;
  std::unique_ptr<SecretServiceKeychain> secretService;
  // Services whose damaged file store has been reported, so that it is reported once.
  std::set<std::string> reportedDamage;
};

// Serialises every call of this process (the file lock below serialises processes). Recursive
// because directory() is also public.
std::recursive_mutex& keychainMutex() {
  static auto* m = new std::recursive_mutex;
  return *m;
}

State& state() {
  static auto* s = new State;
  return *s;
}

std::string escapeService(const std::string& service) {
  if (service.empty()) return "_";
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : service) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '_' || (c == '.' && !out.empty());
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string removalsPathForService(const std::string& service) {
  return Keychain::filePathForService(service) + ".removed";
}

// True when the environment names a session bus. Without one GLib would try to start a bus
// of its own (through X11), which is not ours to do.
bool sessionBusNamed() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  struct stat st {};
  return ::stat(appendPathComponent(runtime, "bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// REQUIRES: keychainMutex() held.
KeychainBackend currentBackend() {
  State& s = state();
  if (s.forced) {
    if (*s.forced == KeychainBackend::SecretService && !s.secretService) {
      std::string reason;
      s.secretService = SecretServiceKeychain::connect(false, reason);
      if (!s.secretService) keel::logError("The Secret Service cannot be reached: %@", reason);
    }
    return *s.forced;
  }
  if (s.chosen) return *s.chosen;
  std::string reason = "no session bus";
  if (sessionBusNamed()) s.secretService = SecretServiceKeychain::connect(true, reason);
  if (s.secretService) {
    s.chosen = KeychainBackend::SecretService;
    keel::logInfo("Keeping keychain items in the Secret Service");
  } else {
    s.chosen = KeychainBackend::File;
    keel::logInfo("Keeping keychain items in %@: %@", Keychain::directory(), reason);
  }
  return *s.chosen;
}

// Removals made while the Secret Service was away: every item of the service (`all`), and
// single accounts removed since.
struct Removals {
  bool all = false;
  std::vector<std::string> accounts;

  bool empty() const { return !all && accounts.empty(); }
  void add(const std::string& account) {
    if (std::find(accounts.begin(), accounts.end(), account) == accounts.end()) accounts.push_back(account);
  }
  bool drop(const std::string& account) {
    auto it = std::find(accounts.begin(), accounts.end(), account);
    if (it == accounts.end()) return false;
    accounts.erase(it);
    return true;
  }
};

// The file store of one service, under the service's cross-process lock.
// REQUIRES: keychainMutex() held for the object's lifetime.
class ServiceFiles {
 public:
  explicit ServiceFiles(const std::string& service)
      : path_(Keychain::filePathForService(service)), removalsPath_(removalsPathForService(service)) {
    createDirectories(Keychain::directory(), 0700);
    fd_ = openPrivateFile(path_ + ".lock");
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~ServiceFiles() {
    if (fd_ >= 0) ::close(fd_);
  }
  ServiceFiles(const ServiceFiles&) = delete;
  ServiceFiles& operator=(const ServiceFiles&) = delete;

  const std::string& path() const { return path_; }

  // Loads the items; Decode when the file is not a JSON object.
  KeychainStatus load(keel::Dictionary& items) {
    keel::Value value;
    if (auto status = loadJSON(path_, value); status != KeychainStatus::Success) return status;
    if (value.isNull()) return KeychainStatus::Success;
    if (!value.isDictionary()) return KeychainStatus::Decode;
    items = value.dictionaryValue();
    return KeychainStatus::Success;
  }

  KeychainStatus store(const keel::Dictionary& items) { return storeJSON(path_, keel::Value(items)); }

  KeychainStatus loadRemovals(Removals& removals) {
    keel::Value value;
    if (auto status = loadJSON(removalsPath_, value); status != KeychainStatus::Success) return status;
    if (value.isNull()) return KeychainStatus::Success;
    if (!value.isDictionary()) return KeychainStatus::Decode;
    const keel::Dictionary& d = value.dictionaryValue();
    const keel::Value* all = d.find("all");
    removals.all = all && all->isBool() && all->boolValue();
    if (const keel::Value* accounts = d.find("accounts"); accounts && accounts->isArray()) {
      for (const auto& account : accounts->arrayValue()) {
        if (account.isString()) removals.add(account.stringValue());
      }
    }
    return KeychainStatus::Success;
  }

  KeychainStatus storeRemovals(const Removals& removals) {
    if (removals.empty()) return removeFile(removalsPath_);
    keel::Array accounts;
    for (const auto& account : removals.accounts) accounts.push_back(keel::Value(account));
    return storeJSON(removalsPath_, keel::Value(keel::Dictionary{{"all", keel::Value(removals.all)},
                                                                 {"accounts", keel::Value(accounts)}}));
  }

  KeychainStatus removeItemsFile() { return removeFile(path_); }

 private:
  KeychainStatus loadJSON(const std::string& path, keel::Value& value) {
    if (fd_ < 0) return KeychainStatus::IO;
    std::error_code ec;
    auto data = readFile(path, ec);
    if (!data) return ec == std::errc::no_such_file_or_directory ? KeychainStatus::Success : KeychainStatus::IO;
    if (data->empty()) return KeychainStatus::Success;
    auto parsed = keel::JSONSerialization::JSONObjectFromData(*data);
    if (!parsed) return KeychainStatus::Decode;
    value = *parsed;
    return KeychainStatus::Success;
  }

  KeychainStatus storeJSON(const std::string& path, const keel::Value& value) {
    if (fd_ < 0) return KeychainStatus::IO;
    keel::Bytes data;
    try {
      data = keel::JSONSerialization::dataFromJSONObject(value);
    } catch (const std::exception&) {
      return KeychainStatus::Param;
    }
    return writeFileAtomically(path, data, 0600) ? KeychainStatus::IO : KeychainStatus::Success;
  }

  static KeychainStatus removeFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return KeychainStatus::Success;
    return KeychainStatus::IO;
  }

  std::string path_;
  std::string removalsPath_;
  int fd_ = -1;
};

// Carries what the file store holds for `service` over to the Secret Service: first the
// removals, then the items, which were written after them. Cheap when there is nothing to carry
// (two failed stats). A damaged items file stays where it is and is reported once.
// REQUIRES: keychainMutex() held.
KeychainStatus moveFileStoreIntoSecretService(const std::string& service, SecretServiceKeychain& secrets) {
  const std::string itemsPath = Keychain::filePathForService(service);
  if (!fileExists(itemsPath) && !fileExists(removalsPathForService(service))) return KeychainStatus::Success;
  ServiceFiles files(service);

  Removals removals;
  if (files.loadRemovals(removals) == KeychainStatus::Decode) {
    keel::logError("Dropping the damaged list of removed keychain items of %@", service);
  }
  if (removals.all) {
    if (auto status = secrets.removeAll(service); status != KeychainStatus::Success && status != KeychainStatus::ItemNotFound) {
      return status;
    }
  }
  for (const auto& account : removals.accounts) {
    if (auto status = secrets.remove(service, account); status != KeychainStatus::Success && status != KeychainStatus::ItemNotFound) {
      return status;
    }
  }
  if (auto status = files.storeRemovals({}); status != KeychainStatus::Success) return status;

  keel::Dictionary items;
  if (auto status = files.load(items); status != KeychainStatus::Success) {
    if (status == KeychainStatus::Decode && state().reportedDamage.insert(service).second) {
      keel::logError("The keychain file %@ is damaged; its items cannot be moved to the Secret Service", itemsPath);
    }
    return status == KeychainStatus::Decode ? KeychainStatus::Success : status;
  }
  // An item that fails stops the move; what moved already is moved again next time (a store
  // replaces), so the file is removed only once everything is across.
  for (const auto& [account, value] : items) {
    if (auto status = secrets.store(service, account, keel::JSONSerialization::stringFromJSONObject(value));
        status != KeychainStatus::Success) {
      return status;
    }
  }
  return files.removeItemsFile();
}

// Runs `file` on the file store, or `secret` on the Secret Service once the file store's
// leftovers are across, whichever store is in use.
template <typename FileWork, typename SecretWork>
KeychainStatus withStore(const std::string& service, FileWork file, SecretWork secret) {
  std::lock_guard lock(keychainMutex());
  if (currentBackend() == KeychainBackend::File) {
    ServiceFiles files(service);
    return file(files);
  }
  SecretServiceKeychain* secrets = state().secretService.get();
  if (!secrets) return KeychainStatus::NotAvailable;
  if (auto status = moveFileStoreIntoSecretService(service, *secrets); status != KeychainStatus::Success) return status;
  return secret(*secrets);
}

// Forgets a removal of `account` that an item written later supersedes.
KeychainStatus dropRemoval(ServiceFiles& files, const std::string& account) {
  Removals removals;
  if (files.loadRemovals(removals) != KeychainStatus::Success || !removals.drop(account)) return KeychainStatus::Success;
  return files.storeRemovals(removals);
}

}  // namespace

void Keychain::setDirectory(const std::string& path) {
  std::lock_guard lock(keychainMutex());
  state().directoryOverride = path;
}

std::string Keychain::directory() {
  {
    std::lock_guard lock(keychainMutex());
    if (!state().directoryOverride.empty()) return state().directoryOverride;
  }
  return appendPathComponent(libraryDirectory(), "Keychains");
}

std::string Keychain::filePathForService(const std::string& service) {
  return appendPathComponent(directory(), escapeService(service) + ".keychain");
}

KeychainBackend Keychain::backend() {
  std::lock_guard lock(keychainMutex());
  return currentBackend();
}

void Keychain::setBackend(std::optional<KeychainBackend> backend) {
  std::lock_guard lock(keychainMutex());
  State& s = state();
  s.forced = backend;
  s.chosen.reset();
  if (!backend || *backend == KeychainBackend::File) s.secretService.reset();
}

KeychainStatus Keychain::copyItem(const std::string& service, const std::string& account, keel::Value& value) {
  return withStore(
      service,
      [&](ServiceFiles& files) {
        keel::Dictionary items;
        if (auto status = files.load(items); status != KeychainStatus::Success) return status;
        const keel::Value* found = items.find(account);
        if (!found) return KeychainStatus::ItemNotFound;
        value = *found;
        return KeychainStatus::Success;
      },
      [&](SecretServiceKeychain& secrets) {
        std::string text;
        if (auto status = secrets.copy(service, account, text); status != KeychainStatus::Success) return status;
        auto parsed = keel::JSONSerialization::JSONObjectFromString(text);
        if (!parsed) return KeychainStatus::Decode;
        value = *parsed;
        return KeychainStatus::Success;
      });
}

KeychainStatus Keychain::addItem(const std::string& service, const std::string& account, const keel::Value& value) {
  std::string text;
  try {
    text = keel::JSONSerialization::stringFromJSONObject(value);
  } catch (const std::exception&) {
    return KeychainStatus::Param;
  }
  return withStore(
      service,
      [&](ServiceFiles& files) {
        keel::Dictionary items;
        if (auto status = files.load(items); status != KeychainStatus::Success) return status;
        if (items.contains(account)) return KeychainStatus::DuplicateItem;
        items.set(account, value);
        if (auto status = files.store(items); status != KeychainStatus::Success) return status;
        return dropRemoval(files, account);
      },
      [&](SecretServiceKeychain& secrets) {
        KeychainStatus status = secrets.contains(service, account);
        if (status == KeychainStatus::Success) return KeychainStatus::DuplicateItem;
        if (status != KeychainStatus::ItemNotFound) return status;
        return secrets.store(service, account, text);
      });
}

KeychainStatus Keychain::updateItem(const std::string& service, const std::string& account, const keel::Value& value) {
  std::string text;
  try {
    text = keel::JSONSerialization::stringFromJSONObject(value);
  } catch (const std::exception&) {
    return KeychainStatus::Param;
  }
  return withStore(
      service,
      [&](ServiceFiles& files) {
        keel::Dictionary items;
        if (auto status = files.load(items); status != KeychainStatus::Success) return status;
        keel::Value* found = items.find(account);
        if (!found) return KeychainStatus::ItemNotFound;
        *found = value;
        if (auto status = files.store(items); status != KeychainStatus::Success) return status;
        return dropRemoval(files, account);
      },
      [&](SecretServiceKeychain& secrets) {
        if (auto status = secrets.contains(service, account); status != KeychainStatus::Success) return status;
        return secrets.store(service, account, text);
      });
}

KeychainStatus Keychain::deleteItem(const std::string& service, const std::string& account) {
  return withStore(
      service,
      [&](ServiceFiles& files) {
        // The removal is written down first: whatever happens next, the Secret Service's copy
        // (which this process cannot see) must not outlive it.
        Removals removals;
        files.loadRemovals(removals);
        removals.add(account);
        if (auto status = files.storeRemovals(removals); status != KeychainStatus::Success) return status;
        keel::Dictionary items;
        if (auto status = files.load(items); status != KeychainStatus::Success) return status;
        if (!items.remove(account)) return KeychainStatus::ItemNotFound;
        return files.store(items);
      },
      [&](SecretServiceKeychain& secrets) { return secrets.remove(service, account); });
}

KeychainStatus Keychain::deleteAllItems(const std::string& service) {
  return withStore(
      service,
      [&](ServiceFiles& files) {
        Removals removals;
        removals.all = true;
        if (auto status = files.storeRemovals(removals); status != KeychainStatus::Success) return status;
        return files.removeItemsFile();
      },
      [&](SecretServiceKeychain& secrets) {
        KeychainStatus status = secrets.removeAll(service);
        return status == KeychainStatus::ItemNotFound ? KeychainStatus::Success : status;
      });
}

KeychainStatus Keychain::copyAccounts(const std::string& service, std::vector<std::string>& accounts) {
  KeychainStatus status = withStore(
      service,
      [&](ServiceFiles& files) {
        keel::Dictionary items;
        if (auto loaded = files.load(items); loaded != KeychainStatus::Success) return loaded;
        accounts = items.keys();
        return KeychainStatus::Success;
      },
      [&](SecretServiceKeychain& secrets) { return secrets.accounts(service, accounts); });
  if (status == KeychainStatus::Success && accounts.empty()) return KeychainStatus::ItemNotFound;
  return status;
}

}  // namespace platform

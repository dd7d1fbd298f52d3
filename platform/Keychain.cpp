#include <keel/platform/Keychain.h>

#include <cerrno>
#include <mutex>
#include <optional>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <keel/base/JSONSerialization.h>
#include <keel/platform/FileSystem.h>

namespace platform {
namespace {

std::mutex& stateMutex() {
  static std::mutex m;
  return m;
}

std::string& directoryOverride() {
  static std::string dir;
  return dir;
}

// Serialises the threads of this process; the file lock below serialises processes.
std::recursive_mutex& fileMutex() {
  static std::recursive_mutex m;
  return m;
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

class ServiceFile {
 public:
  explicit ServiceFile(const std::string& service)
      : guard_(fileMutex()), path_(Keychain::filePathForService(service)) {
    createDirectories(Keychain::directory(), 0700);
    std::string lockPath = path_ + ".lock";
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~ServiceFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  ServiceFile(const ServiceFile&) = delete;
  ServiceFile& operator=(const ServiceFile&) = delete;

  // Loads the items; Decode when the file is not a JSON object.
  KeychainStatus load(keel::Dictionary& items) {
    if (fd_ < 0) return KeychainStatus::IO;
    std::error_code ec;
    auto data = readFile(path_, ec);
    if (!data) {
      if (ec == std::errc::no_such_file_or_directory) return KeychainStatus::Success;
      return KeychainStatus::IO;
    }
    if (data->empty()) return KeychainStatus::Success;
    auto value = keel::JSONSerialization::JSONObjectFromData(*data);
    if (!value || !value->isDictionary()) return KeychainStatus::Decode;
    items = value->dictionaryValue();
    return KeychainStatus::Success;
  }

  KeychainStatus store(const keel::Dictionary& items) {
    keel::Bytes data;
    try {
      data = keel::JSONSerialization::dataFromJSONObject(keel::Value(items));
    } catch (const std::exception&) {
      return KeychainStatus::Param;
    }
    return writeFileAtomically(path_, data, 0600) ? KeychainStatus::IO : KeychainStatus::Success;
  }

 private:
  std::lock_guard<std::recursive_mutex> guard_;
  std::string path_;
  int fd_ = -1;
};

}  // namespace

void Keychain::setDirectory(const std::string& path) {
  std::lock_guard lock(stateMutex());
  directoryOverride() = path;
}

std::string Keychain::directory() {
  {
    std::lock_guard lock(stateMutex());
    if (!directoryOverride().empty()) return directoryOverride();
  }
  return appendPathComponent(libraryDirectory(), "Keychains");
}

std::string Keychain::filePathForService(const std::string& service) {
  return appendPathComponent(directory(), escapeService(service) + ".keychain");
}

KeychainStatus Keychain::copyItem(const std::string& service, const std::string& account,
                                  keel::Value& value) {
  ServiceFile file(service);
  keel::Dictionary items;
  if (auto status = file.load(items); status != KeychainStatus::Success) return status;
  const keel::Value* found = items.find(account);
  if (!found) return KeychainStatus::ItemNotFound;
  value = *found;
  return KeychainStatus::Success;
}

KeychainStatus Keychain::addItem(const std::string& service, const std::string& account,
                                 const keel::Value& value) {
  ServiceFile file(service);
  keel::Dictionary items;
  if (auto status = file.load(items); status != KeychainStatus::Success) return status;
  if (items.contains(account)) return KeychainStatus::DuplicateItem;
  items.set(account, value);
  return file.store(items);
}

KeychainStatus Keychain::updateItem(const std::string& service, const std::string& account,
                                    const keel::Value& value) {
  ServiceFile file(service);
  keel::Dictionary items;
  if (auto status = file.load(items); status != KeychainStatus::Success) return status;
  keel::Value* found = items.find(account);
  if (!found) return KeychainStatus::ItemNotFound;
  *found = value;
  return file.store(items);
}

KeychainStatus Keychain::deleteItem(const std::string& service, const std::string& account) {
  ServiceFile file(service);
  keel::Dictionary items;
  if (auto status = file.load(items); status != KeychainStatus::Success) return status;
  if (!items.remove(account)) return KeychainStatus::ItemNotFound;
  return file.store(items);
}

KeychainStatus Keychain::copyAccounts(const std::string& service, std::vector<std::string>& accounts) {
  ServiceFile file(service);
  keel::Dictionary items;
  if (auto status = file.load(items); status != KeychainStatus::Success) return status;
  accounts = items.keys();
  return accounts.empty() ? KeychainStatus::ItemNotFound : KeychainStatus::Success;
}

}  // namespace platform

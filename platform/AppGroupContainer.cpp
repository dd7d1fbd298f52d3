#include <keel/platform/AppGroupContainer.h>

#include <mutex>

#include <pwd.h>
#include <unistd.h>

#include <keel/platform/FileSystem.h>

namespace platform {
namespace {

std::mutex& rootMutex() {
  static std::mutex m;
  return m;
}

std::string& rootOverride() {
  static std::string root;
  return root;
}

std::string defaultRoot() {
  struct passwd pw {};
  struct passwd* result = nullptr;
  char buffer[16384];
  std::string home = "/tmp";
  if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &result) == 0 && result && result->pw_dir &&
      *result->pw_dir) {
    home = result->pw_dir;
  }
  return appendPathComponent(home, ".local/share/keel-app-groups");
}

bool isSafeIdentifier(const std::string& id) {
  if (id.empty() || id.front() == '.') return false;
  if (id.find('/') != std::string::npos || id.find('\0') != std::string::npos) return false;
  return id.find("..") == std::string::npos;
}

}  // namespace

void setGroupContainersRoot(const std::string& path) {
  std::lock_guard lock(rootMutex());
  rootOverride() = path;
}

std::optional<std::string> containerPathForApplicationGroup(const std::string& groupIdentifier) {
  if (!isSafeIdentifier(groupIdentifier)) return std::nullopt;
  std::string root;
  {
    std::lock_guard lock(rootMutex());
    root = rootOverride().empty() ? defaultRoot() : rootOverride();
  }
  std::string path = appendPathComponent(root, groupIdentifier);
  if (createDirectories(path, 0700)) return std::nullopt;
  return path;
}

}  // namespace platform

#include <keel/platform/DeviceInfo.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <optional>

#include <sys/utsname.h>

#include <keel/platform/FileSystem.h>

namespace platform {
namespace {

std::mutex& bundleMutex() {
  static std::mutex m;
  return m;
}

std::optional<BundleInfo>& bundleOverride() {
  static std::optional<BundleInfo> info;
  return info;
}

std::atomic<long>& badge() {
  static std::atomic<long> value{0};
  return value;
}

std::string unquote(std::string v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return v;
}

}  // namespace

std::string machine() {
  struct utsname u {};
  if (::uname(&u) != 0) return {};
  return u.machine;
}

std::string systemBuild() {
  struct utsname u {};
  if (::uname(&u) != 0) return {};
  return u.release;
}

std::string systemVersion() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("VERSION_ID=", 0) == 0) {
        std::string v = unquote(line.substr(11));
        if (!v.empty()) return v;
      }
    }
  }
  return systemBuild();
}

std::string genericModelName() { return "Linux"; }

void setMainBundleInfo(const BundleInfo& info) {
  std::lock_guard lock(bundleMutex());
  bundleOverride() = info;
}

BundleInfo mainBundleInfo() {
  std::string exe = executablePath();
  std::string name = lastPathComponent(exe);
  if (name.empty()) name = "keel";
  BundleInfo derived{"local." + name, name, "0", "0", exe.empty() ? std::string() : exe.substr(0, exe.size() - name.size() - 1)};
  std::lock_guard lock(bundleMutex());
  if (!bundleOverride()) return derived;
  BundleInfo out = *bundleOverride();
  if (out.identifier.empty()) out.identifier = derived.identifier;
  if (out.name.empty()) out.name = derived.name;
  if (out.version.empty()) out.version = derived.version;
  if (out.shortVersion.empty()) out.shortVersion = out.version;
  if (out.bundlePath.empty()) out.bundlePath = derived.bundlePath;
  return out;
}

long iconBadgeNumber() { return badge().load(); }
void setIconBadgeNumber(long value) { badge().store(value); }

}  // namespace platform

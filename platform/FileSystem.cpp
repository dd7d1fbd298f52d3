#include <keel/platform/FileSystem.h>

#include <cstdlib>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <keel/base/Crypto.h>

namespace fs = std::filesystem;

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

std::string userHome() {
  struct passwd pw {};
  struct passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir && *result->pw_dir) {
    return result->pw_dir;
  }
  return "/tmp";
}

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

std::error_code syncDirectoryOf(const std::string& path) {
  std::string dir = fs::path(path).parent_path().string();
  if (dir.empty()) dir = ".";
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return lastError();
  std::error_code ec;
  if (::fsync(fd) != 0) ec = lastError();
  ::close(fd);
  return ec;
}

constexpr const char* kNoBackupAttribute = "user.keel.nobackup";

}  // namespace

void setSandboxRoot(const std::string& path) {
  std::lock_guard lock(rootMutex());
  rootOverride() = path.empty() ? std::string() : standardizePath(path);
}

std::string homeDirectory() {
  {
    std::lock_guard lock(rootMutex());
    if (!rootOverride().empty()) return rootOverride();
  }
  std::string name = lastPathComponent(executablePath());
  if (name.empty()) name = "keel";
  // The XDG base directory rule: $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const std::string dataHome = xdg && xdg[0] == '/' ? std::string(xdg) : appendPathComponent(userHome(), ".local/share");
  return appendPathComponent(dataHome, name);
}

std::string documentsDirectory() { return appendPathComponent(homeDirectory(), "Documents"); }
std::string libraryDirectory() { return appendPathComponent(homeDirectory(), "Library"); }
std::string cachesDirectory() { return appendPathComponent(libraryDirectory(), "Caches"); }

std::string appendPathComponent(const std::string& base, const std::string& component) {
  if (base.empty()) return component;
  if (component.empty()) return base;
  std::string out = base;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  std::size_t start = 0;
  while (start < component.size() && component[start] == '/') ++start;
  if (out != "/") out += '/';
  out.append(component, start, std::string::npos);
  return out;
}

std::string lastPathComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  auto slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string lastPathComponentWithoutExtension(const std::string& path) {
  std::string name = lastPathComponent(path);
  auto dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return name;
  return name.substr(0, dot);
}

std::string standardizePath(const std::string& path) {
  std::string out = fs::path(path).lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> contentsOfDirectory(const std::string& path, std::error_code& error) {
  error.clear();
  std::vector<std::string> names;
  for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  if (error) names.clear();
  std::sort(names.begin(), names.end());
  return names;
}

std::error_code createDirectories(const std::string& path, mode_t mode) {
  if (isDirectory(path)) return {};
  std::string parent = fs::path(standardizePath(path)).parent_path().string();
  if (!parent.empty() && parent != path && !isDirectory(parent)) {
    if (auto ec = createDirectories(parent, mode)) return ec;
  }
  if (::mkdir(path.c_str(), mode) != 0) {
    // Another thread or process may have made it in the meantime.
    if (errno == EEXIST && isDirectory(path)) return {};
    return lastError();
  }
  // mkdir() honours the umask, which can take the owner's own bits away (0277 makes a
  // directory nobody can write into); the directories we make have the mode we ask for.
  if (::chmod(path.c_str(), mode) != 0) return lastError();
  return {};
}

std::error_code writeFileAtomically(const std::string& path, const keel::Bytes& data, mode_t mode) {
  // The temporary file sits beside the target so that the rename stays on one file system.
  std::string temp = path + ".tmp-" + keel::uuidV4Lowercase();
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return lastError();
  // open() honours the umask; the mode of a data file is not the umask's business.
  std::error_code ec;
  if (::fchmod(fd, mode) != 0) ec = lastError();
  const auto* bytes = reinterpret_cast<const char*>(data.data());
  std::size_t left = data.size();
  while (left > 0 && !ec) {
    ssize_t n = ::write(fd, bytes, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ec = lastError();
    } else {
      bytes += n;
      left -= static_cast<std::size_t>(n);
    }
  }
  if (!ec && ::fsync(fd) != 0) ec = lastError();
  if (::close(fd) != 0 && !ec) ec = lastError();
  if (!ec && ::rename(temp.c_str(), path.c_str()) != 0) ec = lastError();
  if (ec) {
    ::unlink(temp.c_str());
    return ec;
  }
  return syncDirectoryOf(path);
}

int openPrivateFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  // A file made under a tight umask, or left by an older build with other modes, is set to
  // 0600 when it is ours; one owned by someone else is used as it is.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && (st.st_mode & 07777) != 0600 && st.st_uid == ::geteuid()) {
    (void)::fchmod(fd, 0600);
  }
  return fd;
}

std::optional<keel::Bytes> readFile(const std::string& path, std::error_code& error) {
  error.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = lastError();
    return std::nullopt;
  }
  keel::Bytes out;
  unsigned char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = lastError();
      break;
    }
    if (n == 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  ::close(fd);
  if (error) return std::nullopt;
  return out;
}

std::error_code removeItem(const std::string& path) {
  if (!fileExists(path)) return std::make_error_code(std::errc::no_such_file_or_directory);
  std::error_code ec;
  fs::remove_all(path, ec);
  return ec;
}

std::error_code copyItem(const std::string& from, const std::string& to) {
  if (!fileExists(from)) return std::make_error_code(std::errc::no_such_file_or_directory);
  if (fileExists(to)) return std::make_error_code(std::errc::file_exists);
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  return ec;
}

std::error_code moveItem(const std::string& from, const std::string& to) {
  if (!fileExists(from)) return std::make_error_code(std::errc::no_such_file_or_directory);
  if (fileExists(to)) return std::make_error_code(std::errc::file_exists);
  if (::rename(from.c_str(), to.c_str()) == 0) return {};
  if (errno != EXDEV) return lastError();
  if (auto ec = copyItem(from, to)) return ec;
  return removeItem(from);
}

std::error_code setExcludedFromBackup(const std::string& path) {
  static const char kYes[] = "1";
  if (::setxattr(path.c_str(), kNoBackupAttribute, kYes, 1, 0) == 0) return {};
  if (errno == ENOTSUP || errno == EOPNOTSUPP) return {};
  return lastError();
}

bool isExcludedFromBackup(const std::string& path) {
  char value[4];
  return ::getxattr(path.c_str(), kNoBackupAttribute, value, sizeof value) > 0;
}

std::string executablePath() {
  std::error_code ec;
  auto p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

}  // namespace platform

// A private desktop session for the tests of the keychain's Secret Service store: a session
// bus of its own (dbus-run-session) with a keyring daemon (gnome-keyring-daemon) whose login
// keyring is created and unlocked without a prompt, all under a temporary home, so that no test
// touches a real keyring and every run starts empty.
//
// The session is started once per process and lives exactly as long as the process: its last
// step reads this process's end of a pipe, which the kernel closes when the process ends; then
// the bus stops, the daemon follows it, and the temporary home is removed. Nothing is left
// behind for CTest to wait on (the session's output goes to a log file, not to the test's).
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace keel::testing {

class PrivateKeyring {
 public:
  // The outcome of start(): `ready`, or why not. `toolsMissing` means the packages are not
  // installed (the test is skipped and says which ones); anything else is a failure.
  struct Outcome {
    bool ready = false;
    bool toolsMissing = false;
    std::string message;
  };

  // Starts the session (once per process) and points DBUS_SESSION_BUS_ADDRESS at its bus.
  static const Outcome& start() {
    static const Outcome outcome = launch();
    if (outcome.ready) ::setenv("DBUS_SESSION_BUS_ADDRESS", address().c_str(), 1);
    return outcome;
  }

 private:
  static std::string& address() {
    static std::string a;
    return a;
  }

  static bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
      std::size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      const std::string candidate = dirs.substr(start, end - start) + "/" + program;
      if (::access(candidate.c_str(), X_OK) == 0) return true;
      start = end + 1;
    }
    return false;
  }

  static std::string readLog(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static Outcome launch() {
    for (const char* tool : {"dbus-run-session", "gnome-keyring-daemon"}) {
      if (!onPath(tool)) {
        return {false, true,
                std::string(tool) + " is not installed, so the Secret Service cannot be tested here; "
                                    "./scripts/setup installs it (Debian packages dbus and gnome-keyring)"};
      }
    }
    char pattern[] = "/tmp/keel-keyring-XXXXXX";
    if (!::mkdtemp(pattern)) return {false, false, std::string("mkdtemp: ") + std::strerror(errno)};
    const std::string dir = pattern;
    for (const char* sub : {"/data", "/config", "/cache", "/run"}) std::filesystem::create_directories(dir + sub);
    std::filesystem::permissions(dir + "/run", std::filesystem::perms::owner_all);
    const std::string log = dir + ".log";

    // The environment of the session: the temporary home, and no bus of the caller's.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      if (name == "DBUS_SESSION_BUS_ADDRESS" || name == "HOME" || name.rfind("XDG_", 0) == 0) continue;
      env.push_back(entry);
    }
    env.push_back("HOME=" + dir);
    env.push_back("XDG_DATA_HOME=" + dir + "/data");
    env.push_back("XDG_CONFIG_HOME=" + dir + "/config");
    env.push_back("XDG_CACHE_HOME=" + dir + "/cache");
    env.push_back("XDG_RUNTIME_DIR=" + dir + "/run");
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    // $1 is the temporary home. The daemon creates the login keyring with the password it reads
    // and leaves it unlocked; the address goes to our pipe; cat holds the session open until this
    // process ends.
    const std::string script =
        "dbus-run-session -- sh -c '"
        "printf keel-test | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 1; "
        "echo \"$DBUS_SESSION_BUS_ADDRESS\"; exec cat >/dev/null'; "
        "rm -rf \"$1\" \"$1.log\"";
    std::vector<std::string> args = {"sh", "-c", script, "sh", dir};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int toSession[2], fromSession[2];
    if (::pipe2(toSession, O_CLOEXEC) != 0 || ::pipe2(fromSession, O_CLOEXEC) != 0) {
      return {false, false, std::string("pipe: ") + std::strerror(errno)};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toSession[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromSession[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, "sh", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(toSession[0]);
    ::close(fromSession[1]);
    if (spawned != 0) return {false, false, std::string("posix_spawn: ") + std::strerror(spawned)};
    // toSession[1] stays open, unused, for the life of the process: its closing ends the session.

    std::string line;
    pollfd fd{fromSession[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos) {
      if (::poll(&fd, 1, 20000) <= 0) {
        return {false, false, "the private session did not start within 20 s; its log:\n" + readLog(log)};
      }
      char buffer[512];
      const ssize_t n = ::read(fromSession[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return {false, false, "the private session ended before it started; its log:\n" + readLog(log)};
      line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fromSession[0]);
    address() = line.substr(0, line.find('\n'));
    if (address().empty()) return {false, false, "the private session named no bus; its log:\n" + readLog(log)};
    return {true, false, {}};
  }
};

}  // namespace keel::testing

#include "support/KeelServerProcess.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace keel::testing {

KeelServerProcess::KeelServerProcess(const std::string& binary, KeelServerOptions options)
    : options_(std::move(options)) {
  int out[2];
  if (pipe(out) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> args = {binary,        "--port",       "0",
                                   "--data",      ":memory:",     "--app-id",
                                   options_.applicationId, "--client-key", options_.clientKey,
                                   "--master-key", options_.masterKey, "--quiet"};
  if (!options_.seedFile.empty()) args.insert(args.end(), {"--seed", options_.seedFile});
  if (!options_.mediaDirectory.empty()) args.insert(args.end(), {"--media", options_.mediaDirectory});
  args.insert(args.end(), options_.extraArguments.begin(), options_.extraArguments.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  // The program prints one line naming its address once it listens; the port ends it.
  std::string line;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  out_ = out[0];
  const auto digits = line.find_last_not_of("0123456789");
  port_ = line.substr(digits == std::string::npos ? 0 : digits + 1);
}

KeelServerProcess::~KeelServerProcess() { stop(); }

void KeelServerProcess::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (out_ >= 0) {
    close(out_);
    out_ = -1;
  }
}

}  // namespace keel::testing

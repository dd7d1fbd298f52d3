// KeelServerProcess: the keel-server program running on a free loopback port for the life of
// the object, on an in-memory database, so that client tests talk to the real backend over
// real HTTP. The test target must say where the program is: keel_uses_server(<target>) in its
// CMakeLists.txt defines KEEL_SERVER_BINARY and KEEL_SOURCE_DIR.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace keel::testing {

struct KeelServerOptions {
  std::string applicationId = "test-app";
  std::string clientKey = "test-client-key";
  std::string masterKey = "test-master-key";
  std::string seedFile;                 // a catalogue to load at start, if any
  std::string mediaDirectory;           // served under /media/, if any
  std::vector<std::string> extraArguments;
};

class KeelServerProcess {
 public:
  // Starts `binary` and waits until it prints its port. started() says whether it did.
  KeelServerProcess(const std::string& binary, KeelServerOptions options = {});
  ~KeelServerProcess();
  KeelServerProcess(const KeelServerProcess&) = delete;
  KeelServerProcess& operator=(const KeelServerProcess&) = delete;

  bool started() const { return pid_ > 0 && !port_.empty(); }
  std::string url() const { return "http://127.0.0.1:" + port_; }
  const std::string& port() const { return port_; }
  const KeelServerOptions& options() const { return options_; }

  // Ends the program (SIGTERM, then waits for it). Safe to call twice.
  void stop();

 private:
  KeelServerOptions options_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string port_;
};

#ifdef KEEL_SERVER_BINARY
// The base of a test suite whose tests share one keel-server program: it starts with the suite
// and ends after the suite's last test. `Base` is the suite's own base (a gtest fixture).
template <typename Base>
class WithKeelServer : public Base {
 protected:
  static void SetUpTestSuite() { server_ = new KeelServerProcess(KEEL_SERVER_BINARY); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  inline static KeelServerProcess* server_ = nullptr;
};
#endif

}  // namespace keel::testing

// Runs the keel-server program itself, as ./scripts/run does.
#include "server/Options.h"

#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

#include "server/ServerTestSupport.h"

namespace keel::server::testing {
namespace {

// A keel-server child process; its first line of output is the port.
class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> args) {
    args.insert(args.begin(), {KEEL_SERVER_BINARY, "--port", "0", "--quiet", "--app-id", kAppId, "--client-key", kClientKey});
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    output_ = fdopen(out[0], "r");
    char line[64] = {};
    if (!std::fgets(line, sizeof line, output_)) throw std::runtime_error("keel-server printed no port");
    port_ = static_cast<std::uint16_t>(std::stoi(line));
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_) std::fclose(output_);
  }
  std::uint16_t port() const { return port_; }
  // Sends the signal and returns the exit status (or the terminating signal + 128).
  int signalAndWait(int signal) {
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
  std::uint16_t port_ = 0;
};

std::string tempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("keel-" + std::to_string(::getpid()) + "-" + name)).string();
}

TEST(ProcessTest, KeepsEveryObjectWhenKilledBetweenRequests) {
  const auto data = tempPath("kill.sqlite");
  std::vector<std::string> ids;
  {
    ServerProcess server({"--data", data});
    HttpClient c(server.port());
    for (int i = 0; i < 30; ++i)
      ids.emplace_back(c.post("/1/classes/Kept", json::object{{"i", i}}).object().at("objectId").as_string());
    ASSERT_EQ(c.put("/1/classes/Kept/" + ids[0], json::object{{"i", {{"__op", "Increment"}, {"amount", 100}}}}).status, 200);
    EXPECT_EQ(server.signalAndWait(SIGKILL), 128 + SIGKILL);
  }
  ServerProcess restarted({"--data", data});
  HttpClient c(restarted.port());
  auto all = c.find("Kept", {{"limit", 1000}, {"order", "i"}});
  ASSERT_EQ(results(all).size(), 30u);
  EXPECT_EQ(c.get("/1/classes/Kept/" + ids[0]).object().at("i"), 100);
  EXPECT_EQ(results(c.find("Kept", {{"where", {{"i", 7}}}})).size(), 1u);  // the index survived too
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(data + suffix);
}

TEST(ProcessTest, ServesTheDemoCatalogueAndItsThumbnailsThenStopsOnSigterm) {
  ServerProcess server({"--seed", std::string(KEEL_SOURCE_DIR) + "/server/demo/catalog.json", "--media",
                        std::string(KEEL_SOURCE_DIR) + "/server/demo/media"});
  HttpClient c(server.port());
  auto videos = results(c.find("Video", {{"limit", 1000}}));
  EXPECT_GE(videos.size(), 36u);
  std::set<std::int64_t> minutes;
  std::set<std::string> types;
  for (const auto& v : videos) {
    minutes.insert(v.at("Mins").as_int64());
    types.emplace(v.at("Type").as_string());
    for (const char* key : {"Title", "ThumbnailImage", "HTMLLink", "MP4Link"}) EXPECT_TRUE(v.as_object().contains(key)) << key;
  }
  EXPECT_EQ(minutes, (std::set<std::int64_t>{5, 10, 15, 30, 45, 60}));
  EXPECT_EQ(types, (std::set<std::string>{"Energize", "Relax"}));
  const std::string thumbnail(videos[0].at("ThumbnailImage").as_string());
  const std::string prefix = "http://127.0.0.1:" + std::to_string(server.port());
  ASSERT_EQ(thumbnail.rfind(prefix, 0), 0u) << thumbnail;
  auto image = c.send("GET", thumbnail.substr(prefix.size()), "", {});
  EXPECT_EQ(image.status, 200);
  EXPECT_EQ(image.body.substr(1, 3), "PNG");
  EXPECT_EQ(server.signalAndWait(SIGTERM), 0);
}

TEST(ProcessTest, RefusesBadCommandLines) {
  ServerOptions options;
  EXPECT_TRUE(parseOptions({"--port", "70000"}, options));
  EXPECT_TRUE(parseOptions({"--tls-cert", "a.pem"}, options));
  EXPECT_TRUE(parseOptions({"--bogus"}, options));
  EXPECT_TRUE(parseOptions({"--data"}, options));
  ServerOptions good;
  EXPECT_FALSE(parseOptions({"--port=8080", "--data", "x.sqlite", "--faults", "--master-key", "m"}, good));
  EXPECT_EQ(good.http.port, 8080);
  EXPECT_EQ(good.dataFile, "x.sqlite");
  EXPECT_TRUE(good.faults);
  EXPECT_EQ(good.masterKey, "m");
}

}  // namespace
}  // namespace keel::server::testing

// The launch against the real backend program over loopback HTTP, as ./scripts/run starts them.
#include "app/AppDelegate.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AppTestSupport.h"
#include "app/BackendCatalogSource.h"
#include "app/CatalogData.h"
#include "app/ThumbnailLoader.h"
#include <keel/core/Keel.h>
#include <keel/platform/Dispatch.h>

extern char** environ;

namespace stillnook {
namespace {

// Runs keel-server with the demo catalogue on a free port for the life of the object.
class BackendProcess {
 public:
  BackendProcess() {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string seed = std::string(KEEL_SOURCE_DIR) + "/server/demo/catalog.json";
    const std::string media = std::string(KEEL_SOURCE_DIR) + "/server/demo/media";
    std::vector<std::string> args = {KEEL_SERVER_BINARY, "--port", "0", "--data", ":memory:", "--app-id",
                                     kApplicationId, "--client-key", kClientKey, "--seed", seed, "--media", media};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, KEEL_SERVER_BINARY, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    out_ = out[0];
    const auto digits = line.find_last_not_of("0123456789");
    port_ = line.substr(digits == std::string::npos ? 0 : digits + 1);
  }
  ~BackendProcess() { stop(); }
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      close(out_);
    }
  }
  std::string url() const { return "http://127.0.0.1:" + port_; }
  bool started() const { return pid_ > 0 && !port_.empty(); }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string port_;
};

// The application's source, with the retry waits of an unreachable backend kept short.
class QuickRetrySource : public CatalogSource {
 public:
  explicit QuickRetrySource(const std::string& url) : inner_(makeBackendCatalogSource(url)) {}
  void configure() override {
    inner_->configure();
    keel::Keel::_currentManager()->commandRunner()->setInitialRetryDelay(0.01);
  }
  std::optional<std::vector<CatalogEntry>> fetchCatalog(keel::ErrorPtr* error) override {
    return inner_->fetchCatalog(error);
  }

 private:
  std::unique_ptr<CatalogSource> inner_;
};

class EndToEndLaunchTest : public testing::SandboxTest {};

TEST_F(EndToEndLaunchTest, ALaunchStoresTheBackendsCatalogueAndAnOfflineLaunchKeepsIt) {
  BackendProcess backend;
  ASSERT_TRUE(backend.started());
  auto app = std::make_shared<AppDelegate>(makeBackendCatalogSource(backend.url()));
  platform::Application::sharedApplication().setDelegate(app);
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(platform::Application::sharedApplication().didFinishLaunching());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  auto relax = CatalogData(app->managedObjectContext()).fetchExercises("Relax", 10);
  ASSERT_TRUE(relax);
  EXPECT_FALSE(relax->empty());
  auto first = CatalogData(app->managedObjectContext()).fetchExercise("demoVid001");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->minutes(), 5);
  EXPECT_EQ(first->type(), "Energize");
  EXPECT_EQ(first->thumbnailImageURL().rfind(backend.url() + "/media/", 0), 0u) << first->thumbnailImageURL();
  // The backend serves the picture behind that address, and the app's loader brings it over.
  {
    ThumbnailLoader loader(nullptr);
    std::optional<std::optional<QByteArray>> thumbnail;
    loader.fetch(QString::fromStdString(first->thumbnailImageURL()),
                 [&](std::optional<QByteArray> bytes) { thumbnail = std::move(bytes); });
    ASSERT_TRUE(platform::MainLoop::runUntil([&] { return thumbnail.has_value(); }, std::chrono::seconds(10)));
    ASSERT_TRUE(thumbnail->has_value());
    EXPECT_TRUE((*thumbnail)->startsWith("\x89PNG"));
  }
  platform::Application::sharedApplication().enterBackground();

  backend.stop();
  const std::string stopped = backend.url();
  app = std::make_shared<AppDelegate>(std::make_unique<QuickRetrySource>(stopped));
  platform::Application::sharedApplication().setDelegate(app);
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(app->applicationDidFinishLaunchingWithOptions());
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("getAllVideos() failed: ", 0), 0u) << out;
  EXPECT_NE(CatalogData(app->managedObjectContext()).fetchExercise("demoVid001"), nullptr);
}

}  // namespace
}  // namespace stillnook

// The launch against the real backend program over loopback HTTP, as ./scripts/run starts them.
#include "app/AppDelegate.h"

#include "AppTestSupport.h"
#include "app/BackendCatalogSource.h"
#include "app/CatalogData.h"
#include "app/ThumbnailLoader.h"
#include "support/KeelServerProcess.h"
#include <keel/platform/Dispatch.h>

namespace stillnook {
namespace {

// keel-server with the demo catalogue on a free port for the life of the object.
class BackendProcess : public keel::testing::KeelServerProcess {
 public:
  BackendProcess() : KeelServerProcess(KEEL_SERVER_BINARY, options()) {}

 private:
  static keel::testing::KeelServerOptions options() {
    keel::testing::KeelServerOptions o;
    o.applicationId = kApplicationId;
    o.clientKey = kClientKey;
    o.seedFile = std::string(KEEL_SOURCE_DIR) + "/server/demo/catalog.json";
    o.mediaDirectory = std::string(KEEL_SOURCE_DIR) + "/server/demo/media";
    return o;
  }
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
  app = std::make_shared<AppDelegate>(makeBackendCatalogSource(stopped, {.initialRetryDelay = 0.01}));
  platform::Application::sharedApplication().setDelegate(app);
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(app->applicationDidFinishLaunchingWithOptions());
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("getAllVideos() failed: ", 0), 0u) << out;
  EXPECT_NE(CatalogData(app->managedObjectContext()).fetchExercise("demoVid001"), nullptr);
}

}  // namespace
}  // namespace stillnook

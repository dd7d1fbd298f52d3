#include "app/BackendCatalogSource.h"

#include "AppTestSupport.h"
#include "app/CatalogData.h"
#include <keel/base/Logger.h>
#include <keel/platform/Dispatch.h>
#include "support/ScriptedHttpServer.h"

namespace stillnook {
namespace {

using keel::testing::ScriptedHttpServer;
using keel::testing::ScriptedResponse;

TEST(BackendCatalogSourceTest, AsksForTheVideosAndHandsOverTheObjectsInTheServersOrder) {
  ScriptedHttpServer server;
  server.enqueue(ScriptedResponse::json(
      200, R"({"results":[{"objectId":"b2","Mins":10,"Type":"Relax","Title":"Breathe","HTMLLink":"h","ThumbnailImage":"t","MP4Link":"m","Extra":1},)"
           R"({"objectId":"a1","Mins":5}]})"));
  auto source = makeBackendCatalogSource(server.baseURL());
  source->configure();
  keel::ErrorPtr error;
  // The launch waits for the catalogue on the main thread on purpose: no warning about it.
  ASSERT_TRUE(platform::isMainThread());
  auto& logger = keel::Logger::sharedLogger();
  const auto level = logger.logLevel();
  logger.setLogLevel(static_cast<std::uint8_t>(keel::LoggingLevel::Debug));
  std::vector<std::string> lines;
  auto previousSink = logger.setSink([&](const std::string& line) { lines.push_back(line); });
  auto entries = source->fetchCatalog(&error);
  logger.setSink(previousSink);
  logger.setLogLevel(level);
  for (const auto& line : lines) EXPECT_EQ(line.find("main thread"), std::string::npos) << line;
  ASSERT_TRUE(entries) << (error ? error->description() : "");
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].objectId, "b2");
  EXPECT_EQ((*entries)[0].fields["Title"].stringValue(), "Breathe");
  EXPECT_EQ((*entries)[1].objectId, "a1");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/1/classes/Video");
  EXPECT_NE(requests[0].body.find("\"_method\":\"GET\""), std::string::npos) << requests[0].body;
  EXPECT_EQ(requests[0].header("x-keel-application-id"), kApplicationId);
  EXPECT_EQ(requests[0].header("x-keel-client-key"), kClientKey);
}

TEST(BackendCatalogSourceTest, ARejectedQueryIsAnErrorWithTheServersCode) {
  ScriptedHttpServer server;
  server.enqueue(ScriptedResponse::json(401, R"({"code":401,"error":"unauthorized"})"));
  auto source = makeBackendCatalogSource(server.baseURL());
  keel::ErrorPtr error;
  EXPECT_FALSE(source->fetchCatalog(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), 401);
}

}  // namespace
}  // namespace stillnook

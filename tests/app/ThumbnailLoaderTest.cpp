#include "app/ThumbnailLoader.h"

#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <map>

#include <gtest/gtest.h>

#include "support/ScriptedHttpServer.h"
#include <keel/platform/Dispatch.h>
#include <keel/platform/NotificationCenter.h>

namespace stillnook {
namespace {

using keel::testing::ReceivedRequest;
using keel::testing::ScriptedHttpServer;
using keel::testing::ScriptedResponse;
using namespace std::chrono_literals;

ScriptedResponse body(std::string text, int status = 200) {
  ScriptedResponse r;
  r.status = status;
  r.body = std::move(text);
  r.headers = {{"Content-Type", "image/png"}};
  return r;
}

ScriptedResponse redirectTo(const std::string& location) {
  ScriptedResponse r = body("", 302);
  r.headers = {{"Location", location}};
  return r;
}

class ThumbnailLoaderTest : public ::testing::Test {
 protected:
  // An answer as the completion received it, and where it ran.
  struct Answer {
    std::optional<QByteArray> bytes;
    bool onMainThread = false;
  };

  // Starts fetching `address`; the answer lands in the returned slot.
  std::shared_ptr<std::optional<Answer>> start(ThumbnailLoader& loader, const QString& address) {
    auto slot = std::make_shared<std::optional<Answer>>();
    loader.fetch(address, [slot](std::optional<QByteArray> bytes) {
      *slot = Answer{std::move(bytes), platform::isMainThread()};
    });
    return slot;
  }

  // Fetches `address` and runs the main loop until the answer is there.
  std::optional<QByteArray> fetch(ThumbnailLoader& loader, const QString& address) {
    auto slot = start(loader, address);
    EXPECT_TRUE(platform::MainLoop::runUntil([&] { return slot->has_value(); }, 10s)) << address.toStdString();
    if (!slot->has_value()) return std::nullopt;
    EXPECT_TRUE((*slot)->onMainThread);
    return (*slot)->bytes;
  }

  QString url(const std::string& path) const { return QString::fromStdString(server.baseURL() + path); }

  ScriptedHttpServer server;
  ThumbnailLoader loader{nullptr};
};

TEST_F(ThumbnailLoaderTest, ReadsFileUrlsAndAnswersNoneForWhatIsNotAnAddressButNeverInsideFetch) {
  QTemporaryDir dir;
  const QString path = dir.filePath("thumb.bin");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("bytes");
  file.close();
  EXPECT_EQ(fetch(loader, QUrl::fromLocalFile(path).toString()), QByteArray("bytes"));
  EXPECT_EQ(fetch(loader, QUrl::fromLocalFile(dir.filePath("none")).toString()), std::nullopt);
  for (const char* bad : {"", "not a url", "ftp://example.com/x.png", "http://", "javascript:alert(1)"}) {
    auto slot = start(loader, bad);
    EXPECT_FALSE(slot->has_value()) << bad;
    ASSERT_TRUE(platform::MainLoop::runUntil([&] { return slot->has_value(); }, 10s)) << bad;
    EXPECT_EQ((*slot)->bytes, std::nullopt) << bad;
  }
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ThumbnailLoaderTest, DownloadsOverHttpAndTreatsErrorStatusesEmptyBodiesAndFailuresAsNone) {
  server.enqueue(body("PNGDATA"));
  server.enqueue(body("missing", 404));
  server.enqueue(body("oops", 500));
  server.enqueue(body(""));
  EXPECT_EQ(fetch(loader, url("/thumb.png")), QByteArray("PNGDATA"));
  EXPECT_EQ(fetch(loader, url("/thumb.png")), std::nullopt);
  EXPECT_EQ(fetch(loader, url("/thumb.png")), std::nullopt);
  EXPECT_EQ(fetch(loader, url("/thumb.png")), std::nullopt);
  // Nothing listens there: a transport failure.
  const auto closed = QString::fromStdString("http://127.0.0.1:" + std::to_string(keel::testing::unusedLoopbackPort()));
  EXPECT_EQ(fetch(loader, closed + "/thumb.png"), std::nullopt);
}

TEST_F(ThumbnailLoaderTest, ManyDownloadsAtOnceEachGetTheirOwnBytes) {
  server.setHandler([](const ReceivedRequest& request) {
    ScriptedResponse r = body("bytes of " + request.target);
    // Answer out of order.
    r.delay = std::chrono::milliseconds(request.target.size() % 3 * 20);
    return r;
  });
  std::map<int, std::shared_ptr<std::optional<Answer>>> answers;
  for (int i = 0; i < 24; ++i) answers[i] = start(loader, url("/t" + std::to_string(i) + ".png"));
  ASSERT_TRUE(platform::MainLoop::runUntil(
      [&] {
        for (auto& [_, slot] : answers)
          if (!slot->has_value()) return false;
        return true;
      },
      20s));
  for (auto& [i, slot] : answers) {
    EXPECT_EQ((*slot)->bytes, QByteArray::fromStdString("bytes of /t" + std::to_string(i) + ".png"));
    EXPECT_TRUE((*slot)->onMainThread);
  }
}

TEST_F(ThumbnailLoaderTest, FollowsRedirectsToWebAddressesOnlyAndOnlySoFar) {
  server.setHandler([this](const ReceivedRequest& request) {
    if (request.target == "/moved") return redirectTo("/images/real.png");
    if (request.target == "/images/real.png") return body("REAL");
    if (request.target == "/absolute") return redirectTo(server.baseURL() + "/images/real.png");
    if (request.target == "/to-file") return redirectTo("file:///etc/hostname");
    if (request.target == "/circle") return redirectTo("/circle");
    return body("", 404);
  });
  EXPECT_EQ(fetch(loader, url("/moved")), QByteArray("REAL"));
  EXPECT_EQ(fetch(loader, url("/absolute")), QByteArray("REAL"));
  EXPECT_EQ(fetch(loader, url("/to-file")), std::nullopt);

  const std::size_t before = server.requestCount();
  EXPECT_EQ(fetch(loader, url("/circle")), std::nullopt);
  EXPECT_EQ(server.requestCount() - before, static_cast<std::size_t>(ThumbnailLoaderOptions{}.maximumRedirects + 1));
}

TEST_F(ThumbnailLoaderTest, ABodyLargerThanTheLimitIsNone) {
  ThumbnailLoaderOptions options;
  options.maximumBytes = 64 * 1024;
  ThumbnailLoader small(nullptr, options);
  server.enqueue(body(std::string(options.maximumBytes, 'x')));
  server.enqueue(body(std::string(options.maximumBytes + 1, 'x')));
  EXPECT_EQ(fetch(small, url("/fits.png"))->size(), static_cast<qsizetype>(options.maximumBytes));
  EXPECT_EQ(fetch(small, url("/too-big.png")), std::nullopt);
}

TEST_F(ThumbnailLoaderTest, EachDownloadCountsAsNetworkActivityUntilItIsAnswered) {
  auto activity = keel::NetworkActivityIndicatorManager::create(std::make_shared<platform::NotificationCenter>());
  ThumbnailLoader counting(activity);
  server.setHandler([](const ReceivedRequest& request) {
    if (request.target == "/slow-redirect") {
      ScriptedResponse r = redirectTo("/slow.png");
      r.delay = 100ms;
      return r;
    }
    ScriptedResponse r = body("SLOW");
    r.delay = 100ms;
    return r;
  });
  auto first = start(counting, url("/slow-redirect"));
  auto second = start(counting, url("/slow.png"));
  EXPECT_EQ(activity->networkActivityCount(), 2u);
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return first->has_value() && second->has_value(); }, 10s));
  EXPECT_EQ((*first)->bytes, QByteArray("SLOW"));
  EXPECT_TRUE(platform::MainLoop::runUntil([&] { return activity->networkActivityCount() == 0; }, 10s));
  // Files are not network activity.
  start(counting, "file:///nonexistent/thumb.png");
  EXPECT_EQ(activity->networkActivityCount(), 0u);
}

TEST_F(ThumbnailLoaderTest, DestroyingTheLoaderAnswersItsDownloadsInFlightWithNone) {
  auto activity = keel::NetworkActivityIndicatorManager::create(std::make_shared<platform::NotificationCenter>());
  ScriptedResponse slow = body("LATE");
  slow.delay = 5s;
  server.enqueue(slow);
  auto loading = std::make_unique<ThumbnailLoader>(activity);
  auto slot = start(*loading, url("/slow.png"));
  ASSERT_TRUE(server.waitForRequests(1, 10s));
  loading.reset();
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return slot->has_value(); }, 3s));
  EXPECT_EQ((*slot)->bytes, std::nullopt);
  EXPECT_EQ(activity->networkActivityCount(), 0u);
}

}  // namespace
}  // namespace stillnook

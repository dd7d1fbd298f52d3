#include "app/screens/ThumbnailLoader.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include "support/ScriptedHttpServer.h"

namespace stillnook {
namespace {

using keel::testing::ScriptedHttpServer;
using keel::testing::ScriptedResponse;

TEST(ThumbnailLoaderTest, ReadsFileUrlsAndRefusesWhatIsNotAnAddress) {
  QTemporaryDir dir;
  const QString path = dir.filePath("thumb.bin");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("bytes");
  file.close();
  EXPECT_EQ(ThumbnailLoader::fetchBytes(QUrl::fromLocalFile(path).toString()), QByteArray("bytes"));
  EXPECT_FALSE(ThumbnailLoader::fetchBytes(QUrl::fromLocalFile(dir.filePath("none")).toString()));
  for (const char* bad : {"", "not a url", "ftp://example.com/x.png", "http://", "javascript:alert(1)"}) {
    EXPECT_FALSE(ThumbnailLoader::fetchBytes(bad)) << bad;
  }
}

TEST(ThumbnailLoaderTest, DownloadsOverHttpAndTreatsErrorStatusesAsNoBytes) {
  ScriptedHttpServer server;
  ScriptedResponse ok;
  ok.body = "PNGDATA";
  ok.headers = {{"Content-Type", "image/png"}};
  server.enqueue(ok);
  server.enqueue(ScriptedResponse::json(404, "missing"));
  const QString url = QString::fromStdString(server.baseURL() + "/thumb.png");
  EXPECT_EQ(ThumbnailLoader::fetchBytes(url), QByteArray("PNGDATA"));
  EXPECT_FALSE(ThumbnailLoader::fetchBytes(url));
}

}  // namespace
}  // namespace stillnook

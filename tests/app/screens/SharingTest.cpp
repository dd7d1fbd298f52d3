#include "app/screens/Sharing.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QUrlQuery>

#include "QtTestApp.h"

namespace stillnook {
namespace {

class SharingTest : public testing::QtTest {
 protected:
  void TearDown() override { SocialAccounts::setUrlOpener(nullptr); }
};

TEST_F(SharingTest, ShareAddressesKeepALinkWithItsOwnQueryIntact) {
  const QUrl link("https://video.example/watch?v=abc&t=10");
  QUrlQuery twitter(SocialAccounts::shareUrl(SocialService::Twitter, "Hi & bye", link));
  EXPECT_EQ(twitter.queryItemValue("text", QUrl::FullyDecoded), "Hi & bye");
  EXPECT_EQ(twitter.queryItemValue("url", QUrl::FullyDecoded), link.toString());
  const QUrl facebook = SocialAccounts::shareUrl(SocialService::Facebook, {}, link);
  EXPECT_EQ(facebook.host(), "www.facebook.com");
  EXPECT_EQ(QUrlQuery(facebook).queryItemValue("u", QUrl::FullyDecoded), link.toString());
}

TEST_F(SharingTest, PostingOpensTheShareAddressWithTheEditedTextAndLink) {
  std::vector<QUrl> opened;
  SocialAccounts::setUrlOpener([&](const QUrl& url) {
    opened.push_back(url);
    return true;
  });
  ComposeSheet sheet(SocialService::Twitter);
  sheet.setInitialText("first");
  EXPECT_FALSE(sheet.addURL(QUrl("not a url")));
  EXPECT_TRUE(sheet.url().isEmpty());
  EXPECT_TRUE(sheet.addURL(QUrl("https://video.example/x")));
  sheet.findChild<QPlainTextEdit*>("composeText")->setPlainText("edited");
  sheet.findChild<QPushButton*>("post")->click();
  ASSERT_EQ(opened.size(), 1u);
  QUrlQuery query(opened[0]);
  EXPECT_EQ(query.queryItemValue("text", QUrl::FullyDecoded), "edited");
  EXPECT_EQ(query.queryItemValue("url", QUrl::FullyDecoded), "https://video.example/x");
  EXPECT_EQ(sheet.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace stillnook

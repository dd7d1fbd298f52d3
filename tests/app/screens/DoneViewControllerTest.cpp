#include "app/screens/DoneViewController.h"

#include <QAbstractButton>
#include <QMessageBox>

#include "ScreenTestSupport.h"
#include "app/ChillPoints.h"
#include "app/Favorites.h"
#include "app/screens/HomeViewController.h"

namespace stillnook {
namespace {

using testing::ScreenTest;
using testing::videoEntry;

class DoneViewControllerTest : public ScreenTest {
 protected:
  void SetUp() override {
    ScreenTest::SetUp();
    launch({videoEntry("e10", 10, "Energize"), videoEntry("r10", 10, "Relax")});
  }
  void TearDown() override {
    SocialAccounts::setAvailabilityCheck({});
    SocialAccounts::setUrlOpener({});
    ScreenTest::TearDown();
  }

  // Walks from home with 10 minutes to the completion screen of the first "Energize" exercise.
  DoneViewController* finishTenMinutes() {
    if (!navigation) open();
    auto* home = top<HomeViewController>();
    home->stepper()->setValue(1);
    QTest::mouseClick(home->beginButton(), Qt::LeftButton);
    auto* exercise = top<ExerciseViewController>();
    QTest::mouseClick(exercise->doneButton(), Qt::LeftButton);
    return top<DoneViewController>();
  }

  std::vector<ProgressPtr> todaysRecords() {
    const auto today = platform::dateComponents(std::chrono::system_clock::now());
    auto records = Progress::fetchProgressForWeek(today.weekOfYear, today.yearForWeekOfYear, context());
    return records ? *records : std::vector<ProgressPtr>{};
  }

  std::unique_ptr<DoneViewController> screenFor(std::optional<std::string> id) {
    auto screen = std::make_unique<DoneViewController>(environment());
    screen->setExerciseId(std::move(id));
    screen->resize(390, 800);
    screen->show();
    return screen;
  }
};

TEST_F(DoneViewControllerTest, GoingHomeRecordsThePracticeOnceAndAddsToTheSameDay) {
  DoneViewController* done = finishTenMinutes();
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->exerciseLabel()->text(), "Title e10");
  EXPECT_EQ(done->chillPoints()->text(), "10");
  QTest::mouseClick(done->homeButton(), Qt::LeftButton);
  ASSERT_NE(top<HomeViewController>(), nullptr);
  EXPECT_EQ(navigation->viewControllers().size(), 1u);
  EXPECT_EQ(ChillPoints().chillPoints(), 10);
  EXPECT_EQ(ChillPoints().numExercises(), 1);
  auto records = todaysRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]->minutes(), 10);

  done = finishTenMinutes();
  QTest::mouseClick(done->homeButton(), Qt::LeftButton);
  records = todaysRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]->minutes(), 20);
  EXPECT_EQ(ChillPoints().numExercises(), 2);
}

TEST_F(DoneViewControllerTest, GoingBackToTheExerciseRecordsNothing) {
  finishTenMinutes();
  QTest::mouseClick(navigation->navigationBar()->backButton(), Qt::LeftButton);
  EXPECT_NE(top<ExerciseViewController>(), nullptr);
  EXPECT_EQ(ChillPoints().chillPoints(), 0);
  EXPECT_EQ(ChillPoints().numExercises(), 0);
  EXPECT_TRUE(todaysRecords().empty());
}

TEST_F(DoneViewControllerTest, TheToggleSwitchesBetweenFavoriteAndNotWithOneActionAttached) {
  Favorites().addFavorite("r10");
  Favorites().addFavorite("e10");
  auto done = screenFor(std::string("e10"));
  EXPECT_EQ(done->addButton()->imageName(), "addedtofav.png");
  EXPECT_EQ(done->addButton()->targetNames(), QStringList{"removeFromFavorite"});

  QTest::mouseClick(done->addButton(), Qt::LeftButton);
  EXPECT_EQ(Favorites().favorites(), std::vector<std::string>{"r10"});
  EXPECT_EQ(done->addButton()->imageName(), "addtofav.png");
  EXPECT_EQ(done->addButton()->targetNames(), QStringList{"addToFavorite"});

  QTest::mouseClick(done->addButton(), Qt::LeftButton);
  EXPECT_EQ(Favorites().favorites(), (std::vector<std::string>{"e10", "r10"}));
  EXPECT_EQ(done->addButton()->imageName(), "addedtofav.png");

  Favorites().setFavorites({});
  auto notFavorite = screenFor(std::string("r10"));
  EXPECT_EQ(notFavorite->addButton()->imageName(), "addtofav.png");
  EXPECT_EQ(notFavorite->addButton()->targetNames(), QStringList{"addToFavorite"});
}

TEST_F(DoneViewControllerTest, SharingWithoutAnAccountShowsTheAccountsAlertAndHidesThePanel) {
  SocialAccounts::setAvailabilityCheck([](SocialService s) { return s != SocialService::Twitter; });
  auto done = screenFor(std::string("e10"));
  EXPECT_FALSE(done->shareView()->isVisible());
  QTest::mouseClick(done->shareButton(), Qt::LeftButton);
  EXPECT_TRUE(done->shareView()->isVisible());
  QTest::mouseClick(done->twitterButton(), Qt::LeftButton);
  auto* alert = qobject_cast<QMessageBox*>(done->presentedViewController());
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->windowTitle(), "Accounts");
  EXPECT_EQ(alert->text(), "Please login to a Twitter account to share.");
  ASSERT_EQ(alert->buttons().size(), 1);
  EXPECT_EQ(alert->buttons().front()->text(), "OK");
  EXPECT_FALSE(done->shareView()->isVisible());
  alert->close();

  QTest::mouseClick(done->shareButton(), Qt::LeftButton);
  QTest::mouseClick(done->cancelButton(), Qt::LeftButton);
  EXPECT_FALSE(done->shareView()->isVisible());
}

TEST_F(DoneViewControllerTest, SharingWithAnAccountOpensTheSheetWithTextAndLink) {
  QUrl opened;
  SocialAccounts::setUrlOpener([&](const QUrl& url) {
    opened = url;
    return true;
  });
  auto done = screenFor(std::string("e10"));
  done->shareMenu();
  QTest::mouseClick(done->twitterButton(), Qt::LeftButton);
  auto* sheet = qobject_cast<ComposeSheet*>(done->presentedViewController());
  ASSERT_NE(sheet, nullptr);
  EXPECT_EQ(sheet->service(), SocialService::Twitter);
  EXPECT_EQ(sheet->text(), "Check out the exercise I just finished on Stillnook!");
  EXPECT_EQ(sheet->url(), QUrl("https://videos.example/e10"));
  EXPECT_FALSE(done->shareView()->isVisible());
  sheet->post();
  EXPECT_TRUE(opened.isValid());

  done->facebookButtonPushed(nullptr);
  auto* facebook = qobject_cast<ComposeSheet*>(done->presentedViewController());
  ASSERT_NE(facebook, nullptr);
  EXPECT_EQ(facebook->service(), SocialService::Facebook);
  EXPECT_EQ(facebook->text(), "");
  EXPECT_EQ(facebook->url(), QUrl("https://videos.example/e10"));
}

TEST_F(DoneViewControllerTest, WithoutAKnownExerciseTheScreenShowsNothingAndRecordsNothing) {
  for (const std::optional<std::string>& id : {std::optional<std::string>(), std::optional<std::string>("unknown")}) {
    auto done = screenFor(id);
    EXPECT_EQ(done->exerciseLabel()->text(), "");
    EXPECT_EQ(done->chillPoints()->text(), "");
    EXPECT_FALSE(done->addButton()->isEnabled());
    EXPECT_FALSE(done->shareButton()->isEnabled());
    done->addToFavorite();
    Segue home("home", done.get(), nullptr);
    done->prepareForSegue(home, nullptr);
  }
  EXPECT_TRUE(Favorites().favorites().empty());
  EXPECT_EQ(ChillPoints().numExercises(), 0);
  EXPECT_TRUE(todaysRecords().empty());
}

}  // namespace
}  // namespace stillnook

#include "app/screens/ExerciseViewController.h"

#include <QTemporaryDir>

#include "ScreenTestSupport.h"
#include "app/Favorites.h"
#include "app/screens/DoneViewController.h"
#include "app/screens/Theme.h"
#include "app/screens/VideoPlayer.h"

namespace stillnook {
namespace {

using testing::ScreenTest;
using testing::videoEntry;

class ExerciseViewControllerTest : public ScreenTest {
 protected:
  void SetUp() override {
    ScreenTest::SetUp();
    launch({videoEntry("e1", 15, "Energize"), videoEntry("e2", 15, "Energize"), videoEntry("e3", 15, "Energize"),
            videoEntry("r1", 15, "Relax"), videoEntry("r14", 14, "Relax"), videoEntry("solo", 5, "Energize")});
  }

  // Opens the screen as the home screen does: length handed over before the view loads.
  ExerciseViewController* openWith(std::optional<int> minutes) {
    screen = std::make_unique<ExerciseViewController>(environment());
    screen->setMinutes(minutes);
    screen->resize(390, 800);
    screen->show();
    return screen.get();
  }

  std::string shown() const { return screen->currentExercise() ? screen->currentExercise()->objectId() : "none"; }

  std::unique_ptr<ExerciseViewController> screen;
};

TEST_F(ExerciseViewControllerTest, OpensOnEnergizeWithTheFreeTimeAndTheFirstExerciseOfThatLength) {
  openWith(15);
  EXPECT_EQ(screen->timeLabel()->text(), "Free Time: 15 min");
  EXPECT_EQ(screen->exerciseTypeLabel()->text(), "Energize");
  EXPECT_EQ(screen->energize()->backgroundColor(), theme::highlightGreen());
  EXPECT_EQ(screen->relax()->backgroundColor(), theme::transparentWhite());
  EXPECT_EQ(screen->favorites()->backgroundColor(), theme::transparentWhite());
  EXPECT_EQ(screen->energize()->borderWidth(), 1.0);
  EXPECT_EQ(shown(), "e1");
  EXPECT_EQ(screen->exerciseTitle()->text(), "Title e1");
  EXPECT_FALSE(screen->favTableView()->isVisible());
  EXPECT_TRUE(screen->timer()->isValid());
  EXPECT_EQ(screen->timer()->interval(), 60'000);
  EXPECT_TRUE(testing::waitFor([&] { return !screen->contentImageView()->image().isNull(); }));
}

TEST_F(ExerciseViewControllerTest, CountsDownToZeroAndStopsWhileTheTabsKeepThePickedLength) {
  openWith(15);
  screen->timer()->fire();
  EXPECT_EQ(screen->timeLabel()->text(), "Free Time: 14 min");
  // There is a 14-minute "Relax" exercise, but the user picked 15.
  QTest::mouseClick(screen->relax(), Qt::LeftButton);
  EXPECT_EQ(shown(), "r1");
  EXPECT_EQ(screen->relax()->backgroundColor(), theme::highlightGreen());
  EXPECT_EQ(screen->energize()->backgroundColor(), theme::transparentWhite());

  for (int i = 0; i < 20; ++i) screen->timer()->fire();
  EXPECT_EQ(screen->timeLabel()->text(), "Free Time: 0 min");
  EXPECT_EQ(screen->minutes(), 0);
  EXPECT_FALSE(screen->timer()->isValid());
}

TEST_F(ExerciseViewControllerTest, SwipesStepThroughTheListWrappingBothWays) {
  openWith(15);
  QStringList seen;
  for (int i = 0; i < 3; ++i) {
    QTest::keyClick(screen.get(), Qt::Key_Right);
    seen << QString::fromStdString(shown());
  }
  EXPECT_EQ(seen, (QStringList{"e2", "e3", "e1"}));
  QTest::keyClick(screen.get(), Qt::Key_Left);
  EXPECT_EQ(shown(), "e3");
  // A mouse drag to the left is a swipe back as well.
  QTest::mousePress(screen.get(), Qt::LeftButton, {}, QPoint(300, 300));
  QTest::mouseRelease(screen.get(), Qt::LeftButton, {}, QPoint(200, 310));
  EXPECT_EQ(shown(), "e2");

  openWith(5);
  QTest::keyClick(screen.get(), Qt::Key_Right);
  EXPECT_EQ(shown(), "solo");
  QTest::keyClick(screen.get(), Qt::Key_Left);
  EXPECT_EQ(shown(), "solo");
}

TEST_F(ExerciseViewControllerTest, FavoritesTableListsNewestFirstAndASelectionTakesTheLookOfItsType) {
  Favorites().addFavorite("e2");
  Favorites().addFavorite("gone");
  Favorites().addFavorite("r1");
  openWith(15);
  QTest::mouseClick(screen->favorites(), Qt::LeftButton);
  TableView* table = screen->favTableView();
  ASSERT_TRUE(table->isVisible());
  EXPECT_EQ(screen->exerciseTypeLabel()->text(), "Favorites");
  EXPECT_EQ(screen->favorites()->backgroundColor(), theme::highlightGreen());
  ASSERT_EQ(table->numberOfRows(), 3);
  EXPECT_EQ(table->cellForRow(0)->text(), "15 min Title r1");
  EXPECT_EQ(table->cellForRow(1)->text(), "No longer in the catalogue");
  EXPECT_EQ(table->cellForRow(2)->text(), "15 min Title e2");
  TableViewCell* cell = table->cellForRow(0);
  EXPECT_EQ(cell->accessibilityValue(), "r1");
  EXPECT_EQ(cell->accessoryType(), TableViewCell::Accessory::DisclosureIndicator);
  EXPECT_EQ(cell->layoutMargins(), QMargins());
  EXPECT_EQ(cell->textColor(), QColor(Qt::white));
  EXPECT_EQ(cell->backgroundColor(), theme::tableGreen());
  EXPECT_EQ(table->backgroundColor(), theme::tableGreen());

  table->selectRow(0);
  EXPECT_EQ(shown(), "r1");
  EXPECT_EQ(screen->exerciseTypeLabel()->text(), "Relax");
  EXPECT_EQ(screen->relax()->backgroundColor(), theme::highlightGreen());
  EXPECT_FALSE(table->isVisible());
  EXPECT_EQ(table->selectedRow(), -1);
  // The list is still the "Energize" one the tab left, at its old position.
  QTest::keyClick(screen.get(), Qt::Key_Right);
  EXPECT_EQ(shown(), "e2");

  screen->favoritesTab();
  table->selectRow(2);
  EXPECT_EQ(screen->exerciseTypeLabel()->text(), "Energize");
  screen->favoritesTab();
  table->selectRow(1);
  EXPECT_EQ(shown(), "e2");

  // A favourite added elsewhere shows the next time the table appears.
  Favorites().addFavorite("e3");
  screen->favoritesTab();
  EXPECT_EQ(table->numberOfRows(), 4);
}

TEST_F(ExerciseViewControllerTest, AnEmptyCategoryOrNoLengthLeavesNothingToActOn) {
  openWith(30);
  EXPECT_EQ(screen->exerciseTitle()->text(), "No exercise of this length yet");
  EXPECT_EQ(screen->currentExercise(), nullptr);
  QTest::keyClick(screen.get(), Qt::Key_Right);
  QTest::keyClick(screen.get(), Qt::Key_Left);
  screen->playVideo();
  EXPECT_EQ(screen->presentedViewController(), nullptr);
  DoneViewController done(environment());
  done.setExerciseId(std::string("stale"));
  Segue segue("done", screen.get(), &done);
  screen->prepareForSegue(segue, nullptr);
  EXPECT_EQ(done.exerciseId(), std::nullopt);

  openWith(std::nullopt);
  EXPECT_EQ(screen->timeLabel()->text(), "");
  EXPECT_FALSE(screen->timer()->isValid());
  EXPECT_EQ(screen->exercises(), std::nullopt);
  screen->relaxTab();
  screen->timer()->fire();
  EXPECT_EQ(screen->minutes(), std::nullopt);

  openWith(0);
  EXPECT_EQ(screen->timeLabel()->text(), "Free Time: 0 min");
  EXPECT_FALSE(screen->timer()->isValid());
}

TEST_F(ExerciseViewControllerTest, DoneHandsTheExerciseOnDisplayToTheCompletionScreen) {
  openWith(15);
  QTest::keyClick(screen.get(), Qt::Key_Right);
  DoneViewController done(environment());
  Segue other("elsewhere", screen.get(), &done);
  screen->prepareForSegue(other, nullptr);
  EXPECT_EQ(done.exerciseId(), std::nullopt);
  Segue segue("done", screen.get(), &done);
  screen->prepareForSegue(segue, nullptr);
  EXPECT_EQ(done.exerciseId(), "e2");
  ASSERT_NE(done.exercise(), nullptr);
  EXPECT_EQ(done.exercise()->title(), "Title e2");
}

TEST_F(ExerciseViewControllerTest, PlayOpensTheVideoOfTheExerciseAndABadAddressOpensNothing) {
  openWith(15);
  screen->playVideo();
  auto* player = qobject_cast<VideoPlayerDialog*>(screen->presentedViewController());
  ASSERT_NE(player, nullptr);
  EXPECT_EQ(player->url(), QUrl("https://videos.example/e1.mp4"));
  player->close();

  screen->currentExercise()->setVideoURL("not a url");
  screen->playVideo();
  EXPECT_TRUE(testing::waitFor([&] { return screen->presentedViewController() == nullptr; }));
}

TEST_F(ExerciseViewControllerTest, WithoutGStreamersPluginsThePlayerSaysSoInsteadOfCrashing) {
  QTemporaryDir emptyPluginDir;
  const QByteArray backend = qgetenv("QT_MEDIA_BACKEND");
  const QByteArray systemPath = qgetenv("GST_PLUGIN_SYSTEM_PATH_1_0");
  const bool hadSystemPath = qEnvironmentVariableIsSet("GST_PLUGIN_SYSTEM_PATH_1_0");
  qunsetenv("QT_MEDIA_BACKEND");
  // The project's set-up installs GStreamer's base plugins, where the system keeps them.
  if (!hadSystemPath) {
    EXPECT_TRUE(VideoPlayerDialog::mediaBackendCanMakePlayers());
  }
  qputenv("GST_PLUGIN_SYSTEM_PATH_1_0", emptyPluginDir.path().toUtf8());
  EXPECT_FALSE(VideoPlayerDialog::mediaBackendCanMakePlayers());
  {
    VideoPlayerDialog player(QUrl("https://videos.example/e1.mp4"));
    EXPECT_EQ(player.player(), nullptr);
    player.play();
    EXPECT_EQ(player.statusText(), "Video playback is not available on this system.");
  }
  qputenv("QT_MEDIA_BACKEND", "ffmpeg");
  EXPECT_TRUE(VideoPlayerDialog::mediaBackendCanMakePlayers());
  if (backend.isEmpty()) qunsetenv("QT_MEDIA_BACKEND");
  else qputenv("QT_MEDIA_BACKEND", backend);
  if (hadSystemPath) qputenv("GST_PLUGIN_SYSTEM_PATH_1_0", systemPath);
  else qunsetenv("GST_PLUGIN_SYSTEM_PATH_1_0");
}

TEST_F(ExerciseViewControllerTest, ALateThumbnailDoesNotReplaceTheImageOfTheExerciseOnDisplay) {
  thumbnails->holding = true;
  openWith(15);
  QTest::keyClick(screen.get(), Qt::Key_Right);
  ASSERT_TRUE(thumbnails->answerFor("/e2.png", testing::pngOf(Qt::red)));
  ASSERT_TRUE(testing::waitFor([&] { return !screen->contentImageView()->image().isNull(); }));
  EXPECT_EQ(screen->contentImageView()->image().pixelColor(0, 0), QColor(Qt::red));

  // e1's download, started first, ends last.
  ASSERT_TRUE(thumbnails->answerFor("/e1.png", testing::pngOf(Qt::blue)));
  ASSERT_TRUE(testing::settleMainQueue());
  EXPECT_EQ(screen->contentImageView()->image().pixelColor(0, 0), QColor(Qt::red));

  // An address that yields nothing keeps the picture.
  QTest::keyClick(screen.get(), Qt::Key_Right);
  ASSERT_TRUE(thumbnails->answerFor("/e3.png", std::nullopt));
  ASSERT_TRUE(testing::settleMainQueue());
  EXPECT_EQ(screen->contentImageView()->image().pixelColor(0, 0), QColor(Qt::red));
  EXPECT_EQ(screen->exerciseTitle()->text(), "Title e3");
}

TEST_F(ExerciseViewControllerTest, AThumbnailArrivingAfterTheScreenIsGoneIsDropped) {
  thumbnails->holding = true;
  openWith(15);
  ASSERT_EQ(thumbnails->pending.size(), 1u);
  screen.reset();
  ASSERT_TRUE(thumbnails->answerFor("/e1.png", testing::pngOf(Qt::blue)));
  ASSERT_TRUE(testing::settleMainQueue());
  EXPECT_TRUE(thumbnails->pending.empty());
}

TEST_F(ExerciseViewControllerTest, WithoutAThumbnailSourceTheExerciseShowsWithoutAPicture) {
  thumbnails = nullptr;
  openWith(15);
  EXPECT_EQ(screen->exerciseTitle()->text(), "Title e1");
  EXPECT_TRUE(screen->contentImageView()->image().isNull());
}

}  // namespace
}  // namespace stillnook

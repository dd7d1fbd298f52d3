#include "app/screens/ProgressViewController.h"

#include "ScreenTestSupport.h"
#include "app/ChillPoints.h"
#include "app/screens/Theme.h"

namespace stillnook {
namespace {

using testing::ScreenTest;

class ProgressViewControllerTest : public ScreenTest {
 protected:
  void SetUp() override {
    ScreenTest::SetUp();
    launch({});
  }
};

TEST_F(ProgressViewControllerTest, WithoutPracticeTheChartShowsItsNoDataText) {
  ProgressViewController screen(environment());
  screen.show();
  EXPECT_EQ(screen.barGraph()->noDataText(), "Perform Exercises to See Your Progress!");
  EXPECT_FALSE(screen.barGraph()->hasBars());
  EXPECT_EQ(screen.chillPoints()->text(), "0");
  EXPECT_EQ(screen.numExercises()->text(), "0");
}

TEST_F(ProgressViewControllerTest, SegmentsSwitchTheViewAndTheChartTakesTheAppsColours) {
  today = [] { return platform::dateComponents(2024, 3, 8); };
  practise(2024, 1, 5, 100);
  practise(2024, 3, 7, 10);
  practise(2024, 3, 8, 15);
  ProgressViewController screen(environment());
  screen.resize(390, 800);
  screen.show();
  EXPECT_EQ(screen.chillPoints()->text(), "125");
  EXPECT_EQ(screen.numExercises()->text(), "3");
  BarChartView* chart = screen.barGraph();
  EXPECT_EQ(chart->categories(), (QStringList{"Mar 7", "Mar 8"}));
  ASSERT_TRUE(chart->data());
  EXPECT_EQ(chart->data()->dataSet.label, "Minutes");
  EXPECT_EQ(chart->data()->dataSet.colors, std::vector<QColor>{theme::highlightGreen()});
  EXPECT_EQ(chart->backgroundColor(), theme::tableGreen());
  EXPECT_EQ(chart->xAxisLabelPosition(), BarChartView::XAxisLabelPosition::Bottom);
  EXPECT_EQ(chart->descriptionText(), "");
  EXPECT_EQ(chart->legendTextColor(), QColor(Qt::white));

  SegmentedControl* segments = screen.graphType();
  QTest::mouseClick(segments->segmentButton(segments->indexOfSegment("Monthly")), Qt::LeftButton);
  EXPECT_EQ(chart->categories(), (QStringList{"Jan", "Mar"}));
  QTest::mouseClick(segments->segmentButton(segments->indexOfSegment("Weekly")), Qt::LeftButton);
  EXPECT_EQ(chart->categories(), (QStringList{"Mar 3"}));
  screen.loadChart("Hourly");
  EXPECT_EQ(chart->categories(), (QStringList{"Mar 3"}));
}

}  // namespace
}  // namespace stillnook

#include "app/screens/BarChartView.h"

#include "QtTestApp.h"

namespace stillnook {
namespace {

class BarChartViewTest : public testing::QtTest {};

TEST_F(BarChartViewTest, ShowsTheNoDataTextUntilItHasBars) {
  BarChartView chart;
  chart.setNoDataText("Nothing yet");
  chart.resize(300, 300);
  chart.show();
  EXPECT_TRUE(chart.isShowingNoDataText());
  chart.setData({{}, {{}, "Minutes", {Qt::red}}});
  EXPECT_TRUE(chart.isShowingNoDataText());
  chart.setData({{"Mar 7", "Mar 8"}, {{{10, 0}, {5, 1}}, "Minutes", {Qt::red}}});
  EXPECT_FALSE(chart.isShowingNoDataText());
  EXPECT_EQ(chart.categories(), (QStringList{"Mar 7", "Mar 8"}));
}

}  // namespace
}  // namespace stillnook

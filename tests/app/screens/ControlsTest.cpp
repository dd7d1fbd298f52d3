#include "app/screens/Controls.h"

#include <QSignalSpy>
#include <QTest>

#include "QtTestApp.h"

namespace stillnook {
namespace {

using testing::QtTest;

class StepperTest : public QtTest {};

TEST_F(StepperTest, StepsWithinItsRangeAndDisablesTheEnds) {
  Stepper stepper;
  stepper.setMaximumValue(2);
  QSignalSpy changes(&stepper, &Stepper::valueChanged);
  auto* up = stepper.findChild<QPushButton*>("increment");
  auto* down = stepper.findChild<QPushButton*>("decrement");
  ASSERT_TRUE(up && down);
  EXPECT_FALSE(down->isEnabled());
  for (int i = 0; i < 4; ++i) QTest::mouseClick(up, Qt::LeftButton);
  EXPECT_EQ(stepper.value(), 2);
  EXPECT_EQ(changes.count(), 2);  // the clicks past the maximum change nothing
  EXPECT_FALSE(up->isEnabled());
  stepper.setMaximumValue(1);
  EXPECT_EQ(stepper.value(), 1);
}

class ButtonTest : public QtTest {};

TEST_F(ButtonTest, ATapRunsOnlyTheTargetsAttachedBeforeIt) {
  Button button;
  int added = 0, removed = 0;
  // The favourite toggle's pattern: each action swaps itself for the other one.
  button.addTarget("add", [&] {
    ++added;
    button.removeTarget("add");
    button.addTarget("remove", [&] { ++removed; });
  });
  button.click();
  EXPECT_EQ(added, 1);
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(button.targetNames(), QStringList{"remove"});
  button.click();
  EXPECT_EQ(removed, 1);
}

TEST_F(ButtonTest, LoadsTheAppsOwnImagesByName) {
  for (const char* name : {"logo_white.png", "addtofav.png", "addedtofav.png"}) {
    EXPECT_FALSE(imageNamed(name).isNull()) << name;
  }
  EXPECT_TRUE(imageNamed("missing.png").isNull());
  Button button;
  button.setImageNamed("addtofav.png");
  EXPECT_EQ(button.imageName(), "addtofav.png");
  EXPECT_FALSE(button.image().isNull());
}

TEST_F(ButtonTest, PaintsItsBackgroundColour) {
  Button button;
  button.resize(40, 20);
  button.setBackgroundColor(QColor(51, 184, 148));
  const QImage picture = button.grab().toImage();
  EXPECT_EQ(picture.pixelColor(20, 10), QColor(51, 184, 148));
}

class SegmentedControlTest : public QtTest {};

TEST_F(SegmentedControlTest, FindsSegmentsByTitleAndReportsOnlyUserChoices) {
  SegmentedControl control;
  control.setSegmentTitles({"Daily", "Weekly", "Monthly"});
  QSignalSpy spy(&control, &SegmentedControl::valueChanged);
  control.setSelectedSegmentIndex(0);
  EXPECT_EQ(spy.count(), 0);
  const int weekly = control.indexOfSegment("Weekly");
  ASSERT_EQ(weekly, 1);
  QTest::mouseClick(control.segmentButton(weekly), Qt::LeftButton);
  EXPECT_EQ(spy.count(), 1);
  EXPECT_EQ(control.titleForSegment(control.selectedSegmentIndex()), "Weekly");
  EXPECT_EQ(control.indexOfSegment("Yearly"), -1);
}

class RepeatingTimerTest : public QtTest {};

TEST_F(RepeatingTimerTest, FiresOnlyWhileValid) {
  RepeatingTimer timer;
  int ticks = 0;
  timer.fire();
  timer.schedule(60000, [&] {
    if (++ticks == 2) timer.invalidate();
  });
  EXPECT_TRUE(timer.isValid());
  EXPECT_EQ(timer.interval(), 60000);
  for (int i = 0; i < 4; ++i) timer.fire();
  EXPECT_EQ(ticks, 2);
  EXPECT_FALSE(timer.isValid());
}

class SwipeRecognizerTest : public QtTest {};

TEST_F(SwipeRecognizerTest, RecognizesArrowKeysAndLongHorizontalDragsInItsDirection) {
  QWidget view;
  view.resize(300, 300);
  SwipeRecognizer left(SwipeRecognizer::Direction::Left, &view);
  SwipeRecognizer right(SwipeRecognizer::Direction::Right, &view);
  QSignalSpy lefts(&left, &SwipeRecognizer::recognized);
  QSignalSpy rights(&right, &SwipeRecognizer::recognized);

  QTest::keyClick(&view, Qt::Key_Left);
  QTest::keyClick(&view, Qt::Key_Right);
  QTest::keyClick(&view, Qt::Key_Right);
  EXPECT_EQ(lefts.count(), 1);
  EXPECT_EQ(rights.count(), 2);

  auto drag = [&](QPoint from, QPoint to) {
    QTest::mousePress(&view, Qt::LeftButton, {}, from);
    QTest::mouseRelease(&view, Qt::LeftButton, {}, to);
  };
  drag({200, 150}, {100, 160});  // a swipe to the left
  drag({100, 150}, {120, 150});  // too short
  drag({150, 50}, {200, 250});   // mostly vertical
  EXPECT_EQ(lefts.count(), 2);
  EXPECT_EQ(rights.count(), 2);
}

}  // namespace
}  // namespace stillnook

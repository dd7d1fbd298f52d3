// HomeViewController: the first screen. The user picks how much free time they have with a
// stepper over six fixed lengths; the label shows the length, the navigation bar the points
// total. "Begin" leads to the exercise screen with the length shown; the "Progress" bar button
// to the progress screen. The choice of lengths and the reading of the label are FreeTime's.
//
// Thread-safety: GUI thread only. Ownership: the controls belong to the screen's layout; the
// screen holds them through QPointer outlets.
#pragma once

#include <QPointer>

#include <memory>
#include <optional>
#include <vector>

#include "app/AppEnvironment.h"
#include "app/screens/ViewController.h"

#include <QLabel>
namespace Ui {
class HomeViewController;
}

namespace stillnook {


class HomeViewController : public ViewController {
  Q_OBJECT

 public:
  explicit HomeViewController(AppEnvironment environment, QWidget* parent = nullptr);
  ~HomeViewController() override;

  QLabel* timeLabel() const { return timeLabel_; }
  void setTimeLabel(QLabel* label) { timeLabel_ = label; }
  Stepper* stepper() const { return stepper_; }
  // Connects the stepper's value changes to changeTime.
  void setStepper(Stepper* stepper);
  const std::vector<int>& times() const { return times_; }
  BarButtonItem* chillPoints() const { return chillPoints_; }
  void setChillPoints(BarButtonItem* item) { chillPoints_ = item; }
  Button* beginButton() const { return beginButton_; }
  BarButtonItem* progressButton() const { return progressButton_; }

  // Shows the length at the stepper's position.
  void changeTime(Stepper* sender);
  // Hands the length shown to the exercise screen (none when the label holds no number).
  void prepareForSegue(Segue& segue, QObject* sender) override;

 protected:
  void loadView() override;
  void viewDidLoad() override;

 private:
  AppEnvironment environment_;
  QPointer<QLabel> timeLabel_;
  QPointer<Stepper> stepper_;
  std::vector<int> times_;
  QPointer<BarButtonItem> chillPoints_;
  QPointer<Button> beginButton_;
  QPointer<BarButtonItem> progressButton_;
  std::unique_ptr<Ui::HomeViewController> ui_;
};

}  // namespace stillnook

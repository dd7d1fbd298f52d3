// HomeViewController: the first screen. The user picks how much free time they have with a
// stepper over six fixed lengths; the label shows the length, the navigation bar the points
// total. "Begin" leads to the exercise screen with the length shown; the "Progress" bar button
// to the progress screen.
//
// Thread-safety: GUI thread only. Ownership: the controls belong to the screen's layout; the
// screen holds them through QPointer outlets.
#pragma once

#include <QPointer>

#include <memory>
#include <optional>
#include <vector>

#include "app/screens/ViewController.h"

#include <QLabel>
namespace Ui {
class HomeViewController;
}

namespace stillnook {


class HomeViewController : public ViewController {
  Q_OBJECT

 public:
  explicit HomeViewController(QWidget* parent = nullptr);
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

  // Returns `text` as a decimal integer with an optional sign, or none.
  static std::optional<int> parseMinutes(const QString& text);

 protected:
  void loadView() override;
  void viewDidLoad() override;

 private:
  QPointer<QLabel> timeLabel_;
  QPointer<Stepper> stepper_;
  std::vector<int> times_{5, 10, 15, 30, 45, 60};
  QPointer<BarButtonItem> chillPoints_;
  QPointer<Button> beginButton_;
  QPointer<BarButtonItem> progressButton_;
  std::unique_ptr<Ui::HomeViewController> ui_;
};

}  // namespace stillnook

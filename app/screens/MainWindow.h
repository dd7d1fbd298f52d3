// MainWindow: the phone-sized window (about 390 x 844) that hosts the navigation container with
// the storyboard's first screen. Closing it counts as the application entering the background, so
// the record context is saved before the program ends. The navigation bar's busy mark shows the
// app's network activity.
//
// Thread-safety: GUI thread only. Ownership: the window owns its navigation container.
#pragma once

#include <QMainWindow>

namespace stillnook {

class NavigationController;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kWidth = 390;
  static constexpr int kHeight = 844;

  explicit MainWindow(QWidget* parent = nullptr);

  NavigationController* navigationController() const { return navigation_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  NavigationController* navigation_;
};

}  // namespace stillnook

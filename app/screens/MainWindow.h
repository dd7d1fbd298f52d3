// MainWindow: the phone-sized window (about 390 x 844) that hosts the navigation container with
// the first screen of the app's storyboard, made over the environment it is given. Closing it counts as the application entering the background, so
// the record context is saved before the program ends. The navigation bar's busy mark shows the
// app's network activity.
//
// Thread-safety: GUI thread only. Ownership: the window owns its storyboard and its navigation
// container (and through it the screens).
#pragma once

#include <QMainWindow>

#include <memory>

#include "app/AppEnvironment.h"

namespace stillnook {

class NavigationController;
class Storyboard;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kWidth = 390;
  static constexpr int kHeight = 844;

  explicit MainWindow(AppEnvironment environment, QWidget* parent = nullptr);
  ~MainWindow() override;

  NavigationController* navigationController() const { return navigation_; }
  Storyboard* storyboard() const { return storyboard_.get(); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  std::unique_ptr<Storyboard> storyboard_;
  NavigationController* navigation_;
};

}  // namespace stillnook

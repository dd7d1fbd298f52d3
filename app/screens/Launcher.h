// Launcher: the application's launch on Qt's event loop. It launches the running application
// (whose delegate fetches the catalogue off the main thread), shows the launch window while the
// fetch takes more than a moment, and makes and shows the main window once the catalogue is
// stored or the fetch failed, so the home screen still comes after the catalogue while the
// event loop keeps running. "Continue offline" in the launch window ends the wait as a failure.
//
// Thread-safety: GUI thread only. Ownership: the launcher owns the launch window and the main
// window it makes; the delegate is shared with the running application.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

#include "app/AppDelegate.h"
#include "app/screens/LaunchWindow.h"

namespace stillnook {


class Launcher : public QObject {
  Q_OBJECT

 public:
  using MainWindowFactory = std::function<std::unique_ptr<QWidget>()>;

  // REQUIRES: `delegate` is the running application's delegate.
  Launcher(std::shared_ptr<AppDelegate> delegate, MainWindowFactory makeMainWindow, QObject* parent = nullptr);
  ~Launcher() override;

  // How long a fetch may take before the launch window shows (a retry shows it at once).
  void setLaunchWindowDelay(int milliseconds) { launchWindowDelay_ = milliseconds; }

  // Launches the running application and returns at once; false when the launch was refused.
  bool launch();

  // The launch window while it is up, else nullptr.
  LaunchWindow* launchWindow() const { return launchWindow_; }
  // The main window once made, else nullptr.
  QWidget* mainWindow() const { return mainWindow_.get(); }

 signals:
  // The main window is up; `synced` tells whether the catalogue was replaced.
  void launched(bool synced);

 private:
  void showLaunchWindow();
  void finish(bool synced);

  std::shared_ptr<AppDelegate> delegate_;
  MainWindowFactory makeMainWindow_;
  int launchWindowDelay_ = 300;
  QPointer<LaunchWindow> launchWindow_;
  std::unique_ptr<QWidget> mainWindow_;
  std::optional<FetchProgress> lastProgress_;
  bool finished_ = false;
};

}  // namespace stillnook

#include "app/screens/Launcher.h"

#include <QTimer>

#include "app/screens/LaunchWindow.h"
#include <keel/platform/Application.h>

namespace stillnook {

Launcher::Launcher(std::shared_ptr<AppDelegate> delegate, MainWindowFactory makeMainWindow, QObject* parent)
    : QObject(parent), delegate_(std::move(delegate)), makeMainWindow_(std::move(makeMainWindow)) {}

Launcher::~Launcher() { delete launchWindow_.data(); }

bool Launcher::launch() {
  QPointer<Launcher> self(this);
  AppDelegate::LaunchHandlers handlers;
  handlers.progress = [self](const FetchProgress& progress) {
    if (!self) return;
    self->lastProgress_ = progress;
    // A failed attempt means a wait of seconds at least: no reason to hold the window back.
    if (progress.nextAttemptAt) self->showLaunchWindow();
    if (self->launchWindow_) self->launchWindow_->showProgress(progress);
  };
  handlers.finished = [self](bool synced) {
    if (self) self->finish(synced);
  };
  delegate_->setAsynchronousLaunch(std::move(handlers));
  auto& application = platform::Application::sharedApplication();
  if (!application.didFinishLaunching()) return false;
  application.didBecomeActive();
  if (!finished_) {
    QTimer::singleShot(launchWindowDelay_, this, [this] {
      if (!finished_) showLaunchWindow();
    });
  }
  return true;
}

void Launcher::showLaunchWindow() {
  if (finished_ || launchWindow_) return;
  launchWindow_ = new LaunchWindow();
  launchWindow_->setAttribute(Qt::WA_DeleteOnClose, false);
  if (lastProgress_) launchWindow_->showProgress(*lastProgress_);
  connect(launchWindow_, &LaunchWindow::continueOfflineRequested, this, [this] { delegate_->continueOffline(); });
  launchWindow_->show();
}

void Launcher::finish(bool synced) {
  if (finished_) return;
  finished_ = true;
  mainWindow_ = makeMainWindow_();
  mainWindow_->show();
  // Closed only once the main window is up, so the application never runs out of windows.
  if (launchWindow_) {
    LaunchWindow* window = launchWindow_;
    launchWindow_ = nullptr;
    window->close();
    window->deleteLater();
  }
  emit launched(synced);
}

}  // namespace stillnook

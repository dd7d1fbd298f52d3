#include "app/screens/MainWindow.h"

#include <QCloseEvent>

#include "app/screens/NavigationController.h"
#include "app/screens/NetworkActivity.h"
#include "app/screens/Storyboard.h"
#include <keel/platform/Application.h>

namespace stillnook {

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), navigation_(Storyboard::main().instantiateInitialViewController()) {
  setObjectName(QStringLiteral("mainWindow"));
  setWindowTitle(QStringLiteral("Stillnook"));
  setCentralWidget(navigation_);
  resize(kWidth, kHeight);
  showNetworkActivityIn(navigation_->navigationBar());
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // A closed window is the desktop's way of sending the app away: save what is pending now.
  if (platform::Application::sharedApplication().applicationState() != platform::ApplicationState::Background) {
    platform::Application::sharedApplication().enterBackground();
  }
  event->accept();
}

}  // namespace stillnook

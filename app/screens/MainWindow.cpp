#include "app/screens/MainWindow.h"

#include <QCloseEvent>

#include "app/screens/NavigationController.h"
#include "app/screens/NetworkActivity.h"
#include "app/screens/Storyboard.h"
#include <keel/platform/Application.h>

namespace stillnook {

MainWindow::MainWindow(AppEnvironment environment, QWidget* parent)
    : QMainWindow(parent),
      storyboard_(Storyboard::makeMain(std::move(environment))),
      navigation_(storyboard_->instantiateInitialViewController()) {
  setObjectName(QStringLiteral("mainWindow"));
  setWindowTitle(QStringLiteral("Stillnook"));
  setCentralWidget(navigation_);
  resize(kWidth, kHeight);
  showNetworkActivityIn(navigation_->navigationBar());
}

MainWindow::~MainWindow() {
  // The screens refer to the storyboard; they go first.
  delete navigation_;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // A closed window is the desktop's way of sending the app away: save what is pending now.
  if (platform::Application::sharedApplication().applicationState() != platform::ApplicationState::Background) {
    platform::Application::sharedApplication().enterBackground();
  }
  event->accept();
}

}  // namespace stillnook

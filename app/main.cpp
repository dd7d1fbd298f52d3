// The Stillnook program: a phone-sized window with the home screen first, run on Qt's event loop.
#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "app/AppDelegate.h"
#include "app/BackendCatalogSource.h"
#include "app/ThumbnailLoader.h"
#include "app/screens/Launcher.h"
#include "app/screens/MainWindow.h"
#include "app/screens/QtMainQueue.h"
#include "app/screens/Screenshots.h"
#include <keel/network/NetworkActivityIndicatorManager.h>
#include <keel/platform/Application.h>
#include <keel/platform/FileSystem.h>

namespace {

int quitPipe[2] = {-1, -1};

void requestQuit(int) {
  const char byte = 1;
  // Only async-signal-safe work here; the event loop does the rest.
  [[maybe_unused]] auto written = ::write(quitPipe[1], &byte, 1);
}

// Turns SIGINT and SIGTERM into an ordinary quit, so that Ctrl+C in a terminal or the run
// script's clean-up still saves the records on the way out.
void quitOnTerminationSignals(QApplication& app) {
  if (::pipe(quitPipe) != 0) return;
  auto* notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QApplication::quit(); });
  struct sigaction action {};
  action.sa_handler = requestQuit;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // Screenshots and the help text need no display.
  for (int i = 1; i < argc; ++i) {
    const bool headless = std::strcmp(argv[i], "--screenshots") == 0 || std::strncmp(argv[i], "--screenshots=", 14) == 0 ||
                          std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
    if (headless && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Stillnook"));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Short guided relaxation and energising exercises."));
  parser.addHelpOption();
  QCommandLineOption dataDir(QStringLiteral("data-dir"), QStringLiteral("Keep the app's files under DIR."), QStringLiteral("DIR"));
  QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Take the catalogue from the backend at URL."),
                            QStringLiteral("URL"), QStringLiteral("http://127.0.0.1:1337"));
  QCommandLineOption screenshots(QStringLiteral("screenshots"),
                                 QStringLiteral("Render every screen to PNG files in DIR (sample data) and exit."),
                                 QStringLiteral("DIR"));
  parser.addOptions({dataDir, server, screenshots});
  parser.process(app);

  stillnook::installQtMainQueue();

  if (parser.isSet(screenshots)) {
    const QStringList written = stillnook::renderScreenshots(parser.value(screenshots));
    for (const QString& path : written) std::printf("%s\n", qPrintable(path));
    return written.isEmpty() ? 1 : 0;
  }

  if (parser.isSet(dataDir)) platform::setSandboxRoot(parser.value(dataDir).toStdString());
  auto& application = platform::Application::sharedApplication();
  auto delegate = std::make_shared<stillnook::AppDelegate>(
      stillnook::makeBackendCatalogSource(parser.value(server).toStdString()));
  application.setDelegate(delegate);

  // Installed before the catalogue arrives: a quit while the launch waits saves the records too.
  quitOnTerminationSignals(app);
  // The catalogue is fetched while the loop runs; the main window comes once it is stored (or
  // the fetch failed). The delegate hands its stores to the screens; thumbnails count on the
  // window's busy mark.
  stillnook::Launcher launcher(delegate, [delegate]() -> std::unique_ptr<QWidget> {
    return std::make_unique<stillnook::MainWindow>(delegate->environment(
        std::make_shared<stillnook::ThumbnailLoader>(keel::NetworkActivityIndicatorManager::sharedManager())));
  });
  if (!launcher.launch()) return 1;
  const int status = app.exec();
  // Quitting without closing the window still goes through the background first.
  application.terminate();
  return status;
}

// The Stillnook program: a phone-sized window with the home screen first, run on Qt's event loop.
#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstring>
#include <memory>

#include "app/AppDelegate.h"
#include "app/BackendCatalogSource.h"
#include "app/screens/MainWindow.h"
#include "app/screens/QtMainQueue.h"
#include "app/screens/Screenshots.h"
#include "platform/Application.h"
#include "platform/FileSystem.h"

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
  application.setDelegate(std::make_shared<stillnook::AppDelegate>(
      stillnook::makeBackendCatalogSource(parser.value(server).toStdString())));
  if (!application.didFinishLaunching()) return 1;
  application.didBecomeActive();

  stillnook::MainWindow window;
  window.show();
  const int status = app.exec();
  // Quitting without closing the window still goes through the background first.
  application.terminate();
  return status;
}

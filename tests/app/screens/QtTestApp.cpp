#include "QtTestApp.h"

#include "app/screens/QtMainQueue.h"

namespace stillnook::testing {

QApplication& qtApp() {
  static int argc = 1;
  static char name[] = "tests_app_screens";
  static char* argv[] = {name, nullptr};
  // Never destroyed: widgets that tests leave behind must not outlive their application.
  static QApplication* app = [] {
    auto* a = new QApplication(argc, argv);
    installQtMainQueue();
    return a;
  }();
  return *app;
}

}  // namespace stillnook::testing

// Fontconfig keeps its caches until exit by design, and so do GLib, GStreamer and PulseAudio
// under the video player; LeakSanitizer would otherwise fail every test program that draws text
// or opens the player. Only used when the program is built with the sanitizer.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libglib-2.0.so\n"
         "leak:libgstreamer-1.0.so\n"
         "leak:libpulse.so\n";
}

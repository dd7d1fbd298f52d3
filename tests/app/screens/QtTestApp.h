// One QApplication for the whole test program, created lazily by the first fixture that needs
// widgets (gtest_main owns main()), with Qt's event loop installed as the main queue.
#pragma once

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

namespace stillnook::testing {

// Returns the test program's QApplication, creating it on first call.
QApplication& qtApp();

// The application is made in the constructor, so that widgets held as fixture members (built
// before SetUp runs) already have one.
class QtTest : public ::testing::Test {
 protected:
  QtTest() { qtApp(); }
};

// Processes Qt events until `done()` holds or `timeoutMs` passes; returns done().
template <typename F>
bool waitFor(F done, int timeoutMs = 5000) {
  return QTest::qWaitFor(done, timeoutMs);
}

}  // namespace stillnook::testing

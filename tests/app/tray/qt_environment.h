#pragma once
// Every tray test runs in one QApplication on a private Xvfb that this environment starts;
// waits spin Qt's event loop until what they wait for holds.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <QCoreApplication>
#include <QImage>
#include <QWidget>

#include "tests/desktop/x_server.h"

namespace lumenbrook::testing {

// The X display the QApplication runs on; empty when Xvfb could not start (tests then skip).
const std::string& trayDisplay();
const std::string& trayDisplayProblem();

// Runs Qt's events until `done` holds or `limit` passes; returns whether it held.
bool spinUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

// What zbarimg reads in `picture`; empty when it finds no code (or zbarimg is missing).
std::string decodeQr(const QImage& picture);

}  // namespace lumenbrook::testing

#define LB_REQUIRE_DISPLAY()                                                   \
  do {                                                                         \
    if (::lumenbrook::testing::trayDisplay().empty())                          \
      GTEST_SKIP() << ::lumenbrook::testing::trayDisplayProblem();             \
  } while (0)

#include "tests/app/tray/qt_environment.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include <QApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace lumenbrook::testing {
namespace {

std::string gDisplay;
std::string gProblem;

class QtEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/lumenbrook-tray-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    runtime_ = pattern;
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (runtime_ / "config").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    server_ = XServer::xvfb(1280, 800, &gProblem);
    if (!server_) return;
    gDisplay = server_->display();
    ::setenv("DISPLAY", gDisplay.c_str(), 1);
    app_ = std::make_unique<QApplication>(argc_, argv_);
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override {
    app_.reset();
    server_.reset();
    std::filesystem::remove_all(runtime_);
  }

 private:
  int argc_ = 1;
  char name_[16] = "test_tray";
  char* argv_[2] = {name_, nullptr};
  std::filesystem::path runtime_;
  std::unique_ptr<XServer> server_;
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

const std::string& trayDisplay() { return gDisplay; }
const std::string& trayDisplayProblem() { return gProblem; }

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > limit.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

std::string decodeQr(const QImage& picture) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("lb-qr-" + std::to_string(::getpid()) + ".png");
  if (!picture.save(QString::fromStdString(file.string()), "PNG")) return {};
  std::string command = "zbarimg --quiet --raw " + file.string() + " 2>/dev/null";
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
  }
  std::filesystem::remove(file);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

}  // namespace lumenbrook::testing

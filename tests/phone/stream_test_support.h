#pragma once
// Shared by the phone's stream tests: what a decoded test-pattern picture must show, a UDP
// relay on loopback that loses chosen host-to-phone datagrams, and bounded polling.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/util/bytes.h"
#include "core/video/video_frame.h"
#include "media/hevc_decoder.h"
#include "net/event_loop.h"
#include "net/transport.h"
#include "net/udp_socket.h"

namespace lumenbrook::testing {

// Bounds every wait on the video path; reached only when it is broken.
inline constexpr std::chrono::seconds kStreamWait{30};

// Polls `done` until it holds or kStreamWait has passed; returns whether it held.
inline bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kStreamWait;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline bool near(std::optional<Rgb> c, Rgb want, int tolerance = 32) {
  return c && std::abs(c->red - want.red) < tolerance && std::abs(c->green - want.green) < tolerance &&
         std::abs(c->blue - want.blue) < tolerance;
}

// The test pattern's bars, left to right: grey, yellow, cyan, green, magenta, red, blue.
inline constexpr std::array<Rgb, 7> kBars = {{{192, 192, 192},
                                              {192, 192, 0},
                                              {0, 192, 192},
                                              {0, 192, 0},
                                              {192, 0, 192},
                                              {192, 0, 0},
                                              {0, 0, 192}}};
inline constexpr Rgb kOrange{238, 154, 38};

// The bars met walking row `y` left to right (runs shorter than a few pixels, the white line
// and the blurred edges between bars are skipped).
inline std::vector<int> barsAlongRow(const VideoFrame& picture, int y) {
  std::vector<int> seen;
  int current = -1;
  int run = 0;
  for (int x = 0; x < picture.width; ++x) {
    int bar = -1;
    for (int i = 0; i < 7; ++i) {
      if (near(rgbAt(picture, x, y), kBars[static_cast<std::size_t>(i)])) bar = i;
    }
    run = bar == current ? run + 1 : 1;
    current = bar;
    if (bar >= 0 && run == 6 && (seen.empty() || seen.back() != bar)) seen.push_back(bar);
  }
  return seen;
}

// The picture shows the pattern the right way round: the orange block top left, and along a
// row below it at least five bars, each followed by the next one (bars wrap as they scroll).
inline ::testing::AssertionResult showsTestPattern(const VideoFrame& picture) {
  if (!near(rgbAt(picture, picture.width / 32, picture.height / 32), kOrange)) {
    return ::testing::AssertionFailure() << "no orange block top left";
  }
  if (near(rgbAt(picture, picture.width - picture.width / 32, picture.height / 32), kOrange)) {
    return ::testing::AssertionFailure() << "orange block top right too";
  }
  const std::vector<int> bars = barsAlongRow(picture, picture.height * 3 / 4);
  if (bars.size() < 5) return ::testing::AssertionFailure() << bars.size() << " bars seen";
  for (std::size_t i = 1; i < bars.size(); ++i) {
    if (bars[i] != (bars[i - 1] + 1) % 7) {
      return ::testing::AssertionFailure() << "bar " << bars[i] << " follows bar " << bars[i - 1];
    }
  }
  return ::testing::AssertionSuccess();
}

// A relay between the phone and the host on loopback, on its own loop. The phone sends its
// hello to phonePort() and announces hostPort(), the port the host sees the relay's
// datagrams come from. Host-to-phone datagrams for which `dropToPhone` says true are lost;
// it runs on the relay's thread. `dropToHost` does the same the other way.
class UdpRelay {
 public:
  using Drop = std::function<bool(ByteView datagram)>;

  // `hostUdpPort` 0: set it with setHostPort() before the phone's hello comes.
  UdpRelay(std::uint16_t hostUdpPort, Drop dropToPhone, Drop dropToHost = {}) : hostPort_(hostUdpPort) {
    loop_.postAndWait([&] {
      phoneSide_ = UdpSocket::open(loop_).value();
      hostSide_ = UdpSocket::open(loop_).value();
      phoneSide_->startReceiving([this, dropToHost](ByteView d, const Endpoint& from) {
        phone_ = Endpoint{"127.0.0.1", from.port};
        if (dropToHost && dropToHost(d)) return;
        hostSide_->sendTo(d, Endpoint{"127.0.0.1", hostPort_.load()});
      });
      hostSide_->startReceiving([this, dropToPhone](ByteView d, const Endpoint&) {
        if (!phone_) return;
        if (dropToPhone && dropToPhone(d)) {
          ++dropped_;
          return;
        }
        phoneSide_->sendTo(d, *phone_);
      });
    });
  }
  void setHostPort(std::uint16_t port) { hostPort_ = port; }
  ~UdpRelay() {
    loop_.postAndWait([&] {
      phoneSide_->close();
      hostSide_->close();
      phoneSide_.reset();
      hostSide_.reset();
    });
  }

  std::uint16_t phonePort() const { return phoneSide_->port(); }
  std::uint16_t hostPort() const { return hostSide_->port(); }
  std::uint64_t dropped() const { return dropped_; }

 private:
  EventLoop loop_{"relay"};
  std::shared_ptr<UdpSocket> phoneSide_;
  std::shared_ptr<UdpSocket> hostSide_;
  std::optional<Endpoint> phone_;
  std::atomic<std::uint16_t> hostPort_;
  std::atomic<std::uint64_t> dropped_{0};
};

// Loses every n-th datagram it is asked about.
inline UdpRelay::Drop everyNth(int n) {
  auto count = std::make_shared<int>(0);
  return [count, n](ByteView) { return ++*count % n == 0; };
}

}  // namespace lumenbrook::testing

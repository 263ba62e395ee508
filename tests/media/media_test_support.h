#pragma once
// Helpers shared by the media tests: collecting packets from the encoder thread, holding that
// thread at a known point, and encoding test-pattern frames one by one.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/video/test_pattern.h"
#include "media/video_encoder.h"

namespace lumenbrook::testing {

// Bounds every wait, so that a hung encoder fails its test instead of the whole run.
inline constexpr std::chrono::seconds waitLimit{60};

class PacketCollector {
 public:
  VideoEncoder::PacketHandler handler() {
    return [this](VideoPacket p) {
      std::lock_guard lock(mutex_);
      packets_.push_back(std::move(p));
      changed_.notify_all();
    };
  }

  [[nodiscard]] bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, waitLimit, [&] { return packets_.size() >= count; });
  }

  std::vector<VideoPacket> packets() const {
    std::lock_guard lock(mutex_);
    return packets_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<VideoPacket> packets_;
};

// Holds the encoder thread each time it takes a frame, until the test lets that many pass.
class Gate {
 public:
  std::function<void()> hook() {
    return [this] {
      std::unique_lock lock(mutex_);
      const int me = ++entered_;
      changed_.notify_all();
      changed_.wait(lock, [&] { return allowed_ >= me; });
    };
  }

  void allow(int frames) {
    std::lock_guard lock(mutex_);
    allowed_ += frames;
    changed_.notify_all();
  }

  [[nodiscard]] bool waitEntered(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, waitLimit, [&] { return entered_ >= count; });
  }

  int entered() const {
    std::lock_guard lock(mutex_);
    return entered_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int entered_ = 0;
  int allowed_ = 0;
};

inline VideoFrame patternFrame(int width, int height, std::uint64_t number, std::uint64_t ptsMicros) {
  auto frame = TestPattern::pixelBuffer(width, height, number);
  if (!frame) throw std::runtime_error("test pattern failed");
  frame->ptsMicros = ptsMicros;
  return *frame;
}

inline std::unique_ptr<VideoEncoder> openEncoder(const EncoderConfig& config, HevcEncoderOptions options = {}) {
  if (options.encoder.empty()) options.encoder = "libx265";  // independent of the environment
  auto made = makeHevcEncoder(config, std::move(options));
  if (!made.ok()) throw std::runtime_error("libx265 did not open");
  return std::move(made).value();
}

// Encodes test-pattern frames 0...count-1 of `frameWidth` x `frameHeight` one at a time,
// waiting for each packet, with capture times 1000 * (n + 1).
inline std::vector<VideoPacket> encodePattern(const EncoderConfig& config, int count, int frameWidth = 0,
                                              int frameHeight = 0) {
  if (frameWidth == 0) frameWidth = config.width;
  if (frameHeight == 0) frameHeight = config.height;
  PacketCollector collector;
  auto encoder = openEncoder(config);
  encoder->setOnPacket(collector.handler());
  for (int n = 0; n < count; ++n) {
    encoder->encode(patternFrame(frameWidth, frameHeight, static_cast<std::uint64_t>(n), 1000u * (n + 1)));
    if (!collector.waitFor(static_cast<std::size_t>(n + 1))) throw std::runtime_error("no packet from the encoder");
  }
  encoder->stop();
  return collector.packets();
}

// The NAL unit types of a length-prefixed frame; empty when the prefixes do not tile it.
inline std::vector<int> nalTypes(ByteView frame) {
  std::vector<int> types;
  std::size_t pos = 0;
  while (pos < frame.size()) {
    if (frame.size() - pos < 4) return {};
    const std::uint32_t length = loadU32BE(frame.data() + pos);
    pos += 4;
    if (length == 0 || frame.size() - pos < length) return {};
    types.push_back(*hevcNalType(frame.subspan(pos, length)));
    pos += length;
  }
  return types;
}

}  // namespace lumenbrook::testing

// A logged-in phone's video stream: the default stream when the phone does not describe its
// screen in time, streams sized from a described screen, at most one start per gap, and
// stopping them.

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include "core/crypto/crypto.h"
#include "core/video/video_hello.h"
#include "net/host_server.h"
#include "net/host_server_client.h"

namespace lumenbrook {
namespace {

constexpr double kStreamLongSide = 3840;
constexpr double kStreamShortSide = 2160;
constexpr int kSmallestWidth = 320;
constexpr int kSmallestHeight = 240;
constexpr std::int64_t kDescribedFpsCap = 60;
constexpr std::int64_t kFpsFloor = 24;
// 3840 x 2160: from here on the bit rate is raised by 5/2.
constexpr std::int64_t kLargeStreamPixels = 8'294'400;

int toInt(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
}

}  // namespace

HostServer::StreamSize HostServer::streamSize(const ScreenTraits& screen) {
  const double a = static_cast<double>(screen.pixelWidth());
  const double b = static_cast<double>(screen.pixelHeight());
  const double factor =
      std::min({kStreamLongSide / std::max(a, b), kStreamShortSide / std::min(a, b), 1.0});
  // Even sizes: 4:2:0 chroma halves both.
  const auto even = [](double v) { return static_cast<int>(static_cast<std::int64_t>(v) & ~1LL); };
  return {std::max(even(factor * a), kSmallestWidth), std::max(even(factor * b), kSmallestHeight)};
}

EncoderConfig HostServer::streamEncoding(int width, int height, std::int64_t fps,
                                         std::int64_t bitrate) {
  if (static_cast<std::int64_t>(width) * height >= kLargeStreamPixels) bitrate = bitrate * 5 / 2;
  return {width, height, toInt(std::max(fps, kFpsFloor)), toInt(bitrate)};
}

void HostServer::scheduleDefaultStream(const ClientPtr& client) {
  // The configuration as it is now: a later change does not resize this stream.
  const int width = toInt(config_.width);
  const int height = toInt(config_.height);
  const int fps = toInt(config_.fps);
  std::weak_ptr<HostServer> weak = weak_from_this();
  std::weak_ptr<Client> weakClient = client;
  client->stream.fallback.cancel();
  client->stream.fallback =
      loop_->schedule(timing_.defaultStreamDelay, [weak, weakClient, width, height, fps] {
        auto self = weak.lock();
        auto c = weakClient.lock();
        if (!self || !c || c->closed) return;
        c->stream.fallback = {};
        self->requestStream(c, width, height, fps);
      });
}

void HostServer::handleScreen(const ClientPtr& client, const ScreenTraits& traits) {
  client->stream.fallback.cancel();
  client->stream.fallback = {};
  const ScreenTraits screen = traits.sanitized();
  if (auto handler = onScreen) handler(screen);
  if (client->closed) return;
  const StreamSize size = streamSize(screen);
  requestStream(client, size.width, size.height,
                toInt(std::min(screen.maxFPS, kDescribedFpsCap)));
}

void HostServer::requestStream(const ClientPtr& client, int width, int height, int fps) {
  Client::StreamState& stream = client->stream;
  stream.wanted = Client::StreamState::Wanted{width, height, fps};
  // A start already held back takes the latest wish when it runs.
  if (stream.heldStart.pending()) return;
  const auto now = EventLoop::Clock::now();
  if (!stream.lastStart || now - *stream.lastStart >= timing_.streamStartGap) {
    return startWantedStream(client);
  }
  std::weak_ptr<HostServer> weak = weak_from_this();
  std::weak_ptr<Client> weakClient = client;
  stream.heldStart = loop_->schedule(*stream.lastStart + timing_.streamStartGap - now,
                                     [weak, weakClient] {
                                       auto self = weak.lock();
                                       auto c = weakClient.lock();
                                       if (!self || !c || c->closed) return;
                                       c->stream.heldStart = {};
                                       self->startWantedStream(c);
                                     });
}

void HostServer::startWantedStream(const ClientPtr& client) {
  Client::StreamState& stream = client->stream;
  if (!stream.wanted) return;
  const Client::StreamState::Wanted wanted = *stream.wanted;
  stream.wanted.reset();
  stream.lastStart = EventLoop::Clock::now();
  startStream(client, wanted.width, wanted.height, wanted.fps);
}

void HostServer::forwardToStream(const ClientPtr& client, const ControlMessage& message) {
  if (!client->stream.streamer) return;
  // Behind the work already queued, as the streamer's own events are.
  std::weak_ptr<VideoStreamer> weak = client->stream.streamer;
  loop_->post([weak, message] {
    if (auto streamer = weak.lock()) streamer->handle(message);
  });
}

void HostServer::stopStream(const ClientPtr& client) {
  client->stream.fallback.cancel();
  client->stream.fallback = {};
  client->stream.heldStart.cancel();
  client->stream.heldStart = {};
  client->stream.wanted.reset();
  if (auto streamer = std::move(client->stream.streamer)) streamer->stop();
}

void HostServer::startStream(const ClientPtr& client, int width, int height, int fps) {
  if (auto old = std::move(client->stream.streamer)) old->stop();
  if (client->stream.streamCount == std::numeric_limits<std::uint32_t>::max()) return;
  const std::uint32_t n = ++client->stream.streamCount;
  std::optional<Sealer> sealer = client->session.makeDatagramSealer(n);
  std::optional<Opener> opener = client->session.makeDatagramOpener(n);
  if (!sealer || !opener) return;
  Bytes challenge = crypto::randomBytes(VideoHello::challengeSize);

  VideoStreamer::Setup setup{
      .sealer = std::move(*sealer),
      .opener = std::move(*opener),
      .challenge = challenge,
      .peerHost = client->host,
      .source = environment_.makeSource ? environment_.makeSource(width, height) : nullptr,
      .stream = streamEncoding(width, height, fps, config_.bitrate),
      .encoders = environment_.encoders,
      .sleepAssertions = environment_.sleepAssertions,
  };
  auto streamer = VideoStreamer::make(*loop_, std::move(setup));
  client->stream.streamer = streamer;
  log("streaming " + std::to_string(width) + "x" + std::to_string(height) + "@" +
      std::to_string(fps));

  std::weak_ptr<HostServer> weak = weak_from_this();
  std::weak_ptr<Client> weakClient = client;
  streamer->start([weak, weakClient, n, challenge](std::uint16_t port) {
    auto self = weak.lock();
    auto c = weakClient.lock();
    if (!self || !c || c->closed) return;
    self->sendControl(c, ControlMessage{ControlMessage::VideoReady{port, n, challenge}});
  });
}

}  // namespace lumenbrook

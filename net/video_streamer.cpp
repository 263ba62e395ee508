#include "net/video_streamer.h"

#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/security/local_network.h"
#include "core/video/fragment_header.h"
#include "core/video/video_hello.h"

namespace lumenbrook {
namespace {

std::optional<std::string> normalisedHost(const std::string& host) {
  return LocalNetwork::address(LocalNetwork::Endpoint{LocalNetwork::Endpoint::Kind::hostPort, host, 0});
}

}  // namespace

std::shared_ptr<VideoStreamer> VideoStreamer::make(EventLoop& loop, Setup setup) {
  return std::shared_ptr<VideoStreamer>(new VideoStreamer(loop, std::move(setup)));
}

VideoStreamer::VideoStreamer(EventLoop& loop, Setup setup)
    : loop_(loop),
      sealer_(std::move(setup.sealer)),
      opener_(std::move(setup.opener)),
      challenge_(std::move(setup.challenge)),
      peerHost_(setup.peerHost ? normalisedHost(*setup.peerHost) : std::nullopt),
      source_(std::move(setup.source)),
      stream_(setup.stream),
      encoders_(std::move(setup.encoders)),
      sleepAssertions_(std::move(setup.sleepAssertions)),
      clock_(setup.clock ? std::move(setup.clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      t0_(clock_()),
      fragmenter_(Fragmenter::defaultMaxPayload),
      cache_(cachedFrames) {}

VideoStreamer::~VideoStreamer() { stop(); }

void VideoStreamer::start(std::function<void(std::uint16_t port)> onReady) {
  if (started_ || stopped_) return;
  started_ = true;
  auto opened = UdpSocket::open(loop_, 0);
  if (!opened.ok()) return;
  socket_ = std::move(opened.value());
  port_ = socket_->port();
  std::weak_ptr<VideoStreamer> weak = weak_from_this();
  socket_->startReceiving([weak](ByteView datagram, const Endpoint& from) {
    if (auto self = weak.lock()) self->onDatagram(datagram, from);
  });
  loop_.post([weak, onReady = std::move(onReady), port = *port_] {
    auto self = weak.lock();
    if (self && !self->stopped_ && onReady) onReady(port);
  });
}

void VideoStreamer::onDatagram(ByteView datagram, const Endpoint& from) {
  ++received_;
  // Once bound, no flow is read again: the phone's own traffic goes over the control channel.
  if (stopped_ || bound_) return;
  if (!peerHost_ || normalisedHost(from.host) != peerHost_) return;
  if (triedPorts_.test(from.port)) return;
  checkHello(datagram, from);
}

// The order matters: nothing is compared before the datagram proves it was sealed with the
// stream's key, and an opened hello spends its counter even when it is refused, so a copy of
// it cannot be tried again from another port. Only an opened datagram uses up its flow's one
// chance: junk sent from the phone's port before its hello must not lock the phone out.
void VideoStreamer::checkHello(ByteView datagram, const Endpoint& from) {
  if (datagram.empty()) return;
  auto plaintext = opener_.open(datagram);
  if (!plaintext.ok()) return;
  triedPorts_.set(from.port);
  auto hello = VideoHello::parse(plaintext.value());
  if (!hello || hello->challenge != challenge_) return;
  if (bound_) return;
  // A different port means the datagram was forwarded or its address translated on the way.
  if (hello->port != from.port) return;
  bound_ = from;
  // From here on the kernel drops every datagram that is not the phone's, so a flood from
  // elsewhere no longer reaches the loop. Should it fail, onDatagram still ignores them.
  socket_->connect(from);
  startPipeline();
}

void VideoStreamer::startPipeline() {
  if (encoder_ || !encoders_ || !source_) return;
  auto made = encoders_->makeEncoder(stream_);
  if (!made.ok()) return;
  if (sleepAssertions_) sleepAssertion_ = sleepAssertions_->preventIdleSleep(std::string(sleepReason));
  encoder_ = std::move(made.value());

  std::weak_ptr<VideoStreamer> weak = weak_from_this();
  EventLoop* loop = &loop_;
  encoder_->setOnPacket([weak, loop](VideoPacket packet) {
    loop->post([weak, packet = std::move(packet)] {
      if (auto self = weak.lock()) self->sendPacket(packet);
    });
  });
  source_->start(stream_.width, stream_.height, stream_.fps, [weak, loop](VideoFrame frame) {
    loop->post([weak, frame = std::move(frame)] {
      if (auto self = weak.lock()) self->encode(frame);
    });
  });
}

void VideoStreamer::encode(const VideoFrame& frame) {
  if (!stopped_ && encoder_) encoder_->encode(frame);
}

void VideoStreamer::sendPacket(const VideoPacket& packet) {
  if (stopped_) return;
  std::vector<Bytes> fragments;
  try {
    fragments = fragmenter_.fragment(packet.encoded(), packet.keyframe, packet.ptsMicros);
  } catch (const std::length_error&) {
    // More parameter sets or fragments than the formats can number: the frame cannot be sent
    // and the phone will ask for a keyframe.
    return;
  }
  for (const Bytes& fragment : fragments) sendSealed(fragment);
  if (auto header = FragmentHeader::parse(fragments.front())) cache_.store(header->frameID, std::move(fragments));
}

void VideoStreamer::handle(const ControlMessage& message) {
  if (stopped_) return;
  std::visit(
      [&](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, ControlMessage::RequestKeyframe>) {
          if (encoder_) encoder_->requestKeyframe();
        } else if constexpr (std::is_same_v<M, ControlMessage::Nack>) {
          const double now = std::chrono::duration<double>(clock_() - t0_).count();
          for (const Bytes& fragment : cache_.budgetedDatagrams(m.frameID, m.missing, now)) sendSealed(fragment);
        }
      },
      message.value);
}

// Each send, first or again, is sealed anew: a resend carries a fresh counter, so the phone's
// replay window accepts it although it may have seen the original.
void VideoStreamer::sendSealed(ByteView fragment) {
  if (!bound_ || !socket_) return;
  auto sealed = sealer_.seal(fragment);
  if (!sealed.ok()) return;
  if (socket_->sendTo(sealed.value(), *bound_)) ++sent_;
}

void VideoStreamer::stop() {
  if (stopped_) return;
  stopped_ = true;
  if (source_) {
    source_->stop();
    source_.reset();
  }
  if (socket_) {
    socket_->close();
    socket_.reset();
  }
  if (encoder_) {
    encoder_->stop();
    encoder_.reset();
  }
  sleepAssertion_.reset();
  cache_ = ResendCache(cachedFrames);
}

}  // namespace lumenbrook

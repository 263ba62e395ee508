#include "phone/stream_client.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <system_error>
#include <type_traits>
#include <variant>
#include <vector>

#include <asio/ip/address.hpp>
#include <asio/ip/udp.hpp>

#include "core/video/fragment_header.h"
#include "core/video/video_hello.h"
#include "core/video/video_packet.h"
#include "media/hevc_decoder.h"
#include "media/sample_buffer_maker.h"
#include "net/udp_socket.h"

namespace lumenbrook {
namespace {

// Latencies kept for the median and 95th percentile: the last few seconds of pictures.
constexpr std::size_t kLatencySamples = 1024;
// Frames whose NACKed fragments are remembered for the resend count. Requests are pruned as
// frames are delivered; this bounds them while nothing is (waiting for a keyframe).
constexpr std::size_t kAskedFrames = 256;

std::uint64_t monotonicMicros() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// UDP needs a numeric address; the control connection may have been dialled by name.
std::optional<std::string> numericHost(EventLoop& loop, const std::string& host) {
  std::error_code ec;
  asio::ip::make_address(host, ec);
  if (!ec) return host;
  asio::ip::udp::resolver resolver(loop.context());
  auto results = resolver.resolve(host, "", ec);
  if (ec || results.empty()) return std::nullopt;
  for (const auto& entry : results) {
    if (entry.endpoint().address().is_v4()) return entry.endpoint().address().to_string();
  }
  return results.begin()->endpoint().address().to_string();
}

// Serial-number order of frame ids, as the reassembler compares them.
bool newer(std::uint32_t a, std::uint32_t b) {
  const std::uint32_t d = a - b;
  return d >= 1 && d <= 0x7FFFFFFEu;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::max(1.0, std::ceil(p * static_cast<double>(values.size()))));
  return values[std::min(rank, values.size()) - 1];
}

}  // namespace

// One stream: its keys, socket and decoding chain. Replaced whole by the next videoReady.
struct StreamClientStream {
  StreamClientStream(std::uint32_t n, Sealer s, Opener o, int window, int maxNacks)
      : number(n), sealer(std::move(s)), opener(std::move(o)), reassembler(window, maxNacks) {}

  std::uint32_t number;
  Sealer sealer;
  Opener opener;
  Bytes challenge;
  Endpoint target;
  std::uint16_t announcedPort = 0;
  std::shared_ptr<UdpSocket> socket;
  TimerHandle helloTimer;
  int hellosSent = 0;
  bool fragmentSeen = false;

  Reassembler reassembler;
  SampleBufferMaker maker;
  HevcDecoder decoder;
  // Fragment indexes a NACK asked for, per frame, until they arrive or the frame is past.
  std::map<std::uint32_t, std::set<std::uint16_t>> asked;

  StreamClient::Figures figures;
  std::optional<EventLoop::Clock::time_point> firstFragmentAt;
  std::vector<double> latencies;  // ring of the last kLatencySamples, in milliseconds
  std::size_t latencyNext = 0;
};

struct StreamClient::State {
  State(EventLoop& l, Control c, Options o) : loop(l), control(std::move(c)), options(std::move(o)) {
    if (!options.nowMicros) options.nowMicros = monotonicMicros;
  }
  EventLoop& loop;
  Control control;
  Options options;
  std::shared_ptr<StreamClientStream> stream;
  std::optional<VideoFrame> lastPicture;
  bool stopped = false;
};

namespace {

void closeStream(StreamClientStream& s) {
  s.helloTimer.cancel();
  if (s.socket) s.socket->close();
}

}  // namespace

std::shared_ptr<StreamClient> StreamClient::make(EventLoop& loop, Control control, Options options) {
  return std::shared_ptr<StreamClient>(new StreamClient(loop, std::move(control), std::move(options)));
}

StreamClient::StreamClient(EventLoop& loop, Control control, Options options)
    : state_(std::make_unique<State>(loop, std::move(control), std::move(options))) {}

StreamClient::~StreamClient() { stop(); }

void StreamClient::begin() {
  State& st = *state_;
  if (!st.control.send) return;
  st.control.send(Envelope{ControlMessage{ControlMessage::Hello{
      st.options.deviceID, st.options.deviceName, st.options.appVersion, st.options.screen}}});
}

void StreamClient::changeScreen(const ScreenTraits& screen) {
  State& st = *state_;
  st.options.screen = screen;
  if (!st.control.send) return;
  st.control.send(Envelope{ControlMessage{ControlMessage::ScreenChanged{screen}}});
}

void StreamClient::stop() {
  if (!state_) return;
  state_->stopped = true;
  if (state_->stream) closeStream(*state_->stream);
}

const std::optional<VideoFrame>& StreamClient::lastPicture() const { return state_->lastPicture; }

StreamClient::Figures StreamClient::figures() const {
  const State& st = *state_;
  if (!st.stream) return Figures{};
  const StreamClientStream& s = *st.stream;
  Figures f = s.figures;
  f.duplicates = s.reassembler.duplicates();
  f.framesLost = s.reassembler.framesLost();
  if (f.seconds > 0) {
    f.framesPerSecond = static_cast<double>(f.framesDecoded) / f.seconds;
    f.bitsPerSecond = static_cast<double>(f.bytes) * 8 / f.seconds;
  }
  if (!s.latencies.empty()) {
    f.latencyMedianMs = percentile(s.latencies, 0.5);
    f.latencyP95Ms = percentile(s.latencies, 0.95);
  }
  return f;
}

bool StreamClient::handle(const Envelope& envelope) {
  if (!envelope.isControl()) return false;
  const auto* ready = std::get_if<ControlMessage::VideoReady>(&envelope.control().value);
  if (!ready) return false;
  State& st = *state_;
  if (st.stopped || ready->challenge.size() != VideoHello::challengeSize || !st.control.datagramKeys) return true;
  // A stream number the session will not give keys for (not logged in, or one already
  // taken) cannot carry video; the stream that runs goes on.
  std::optional<DatagramKeys> keys = st.control.datagramKeys(ready->stream);
  if (!keys) return true;

  if (st.stream) closeStream(*st.stream);
  st.stream.reset();
  auto s = std::make_shared<StreamClientStream>(ready->stream, std::move(keys->first), std::move(keys->second),
                                                st.options.reassemblyWindow, st.options.maxNacks);
  s->figures.stream = ready->stream;
  s->challenge = ready->challenge;
  st.stream = s;

  if (st.options.udpTarget) {
    s->target = *st.options.udpTarget;
  } else {
    std::optional<std::string> host = numericHost(st.loop, st.control.macHost);
    if (!host) return true;
    s->target = Endpoint{*host, ready->udpPort};
  }
  auto socket = UdpSocket::open(st.loop);
  if (!socket.ok()) return true;
  s->socket = socket.value();
  s->announcedPort = st.options.announcedPort.value_or(s->socket->port());

  std::weak_ptr<StreamClient> weak = weak_from_this();
  std::weak_ptr<StreamClientStream> weakStream = s;
  s->socket->startReceiving([weak, weakStream](ByteView datagram, const Endpoint&) {
    auto self = weak.lock();
    auto stream = weakStream.lock();
    if (self && stream && self->state_->stream == stream) self->onDatagram(stream, datagram);
  });
  sendHello(s);
  return true;
}

void StreamClient::sendHello(const std::shared_ptr<StreamClientStream>& s) {
  State& st = *state_;
  if (s->fragmentSeen || s->hellosSent >= st.options.helloSends || !s->socket) return;
  // Sealed afresh each time: a copy of an earlier one would be refused as a replay.
  auto sealed = s->sealer.seal(VideoHello{s->challenge, s->announcedPort}.encoded());
  if (!sealed.ok()) return;
  s->socket->sendTo(sealed.value(), s->target);
  ++s->hellosSent;
  if (s->hellosSent >= st.options.helloSends) return;
  std::weak_ptr<StreamClient> weak = weak_from_this();
  std::weak_ptr<StreamClientStream> weakStream = s;
  s->helloTimer = st.loop.schedule(st.options.helloInterval, [weak, weakStream] {
    auto self = weak.lock();
    auto stream = weakStream.lock();
    if (self && stream && self->state_->stream == stream && !self->state_->stopped) self->sendHello(stream);
  });
}

void StreamClient::onDatagram(const std::shared_ptr<StreamClientStream>& s, ByteView datagram) {
  State& st = *state_;
  if (st.stopped) return;
  auto opened = s->opener.open(datagram);
  if (!opened.ok()) {
    ++s->figures.datagramsRefused;
    return;
  }
  const Bytes& plaintext = opened.value();
  s->figures.bytes += plaintext.size();
  std::optional<FragmentHeader> header = FragmentHeader::parse(plaintext);
  if (!header) return;
  ++s->figures.fragments;
  if (!s->fragmentSeen) {
    s->fragmentSeen = true;
    s->firstFragmentAt = EventLoop::Clock::now();
    s->helloTimer.cancel();
  }
  if (auto it = s->asked.find(header->frameID); it != s->asked.end() && it->second.erase(header->index) > 0) {
    ++s->figures.resendsReceived;
    if (it->second.empty()) s->asked.erase(it);
  }

  for (Reassembler::Event& event : s->reassembler.receive(plaintext)) {
    // A callback may have replaced or stopped the stream: what is left belongs to no one.
    if (st.stopped || st.stream != s) return;
    if (auto* nack = std::get_if<Reassembler::Nack>(&event)) {
      if (s->asked.size() >= kAskedFrames && !s->asked.contains(nack->frameID)) s->asked.erase(s->asked.begin());
      s->asked[nack->frameID].insert(nack->missing.begin(), nack->missing.end());
      if (st.control.send && st.control.send(Envelope{ControlMessage{ControlMessage::Nack{nack->frameID, nack->missing}}})) {
        ++s->figures.nacks;
      }
    } else if (auto* request = std::get_if<Reassembler::RequestKeyframe>(&event)) {
      if (st.control.send &&
          st.control.send(Envelope{ControlMessage{ControlMessage::RequestKeyframe{request->afterFrame}}})) {
        ++s->figures.keyframeRequests;
      }
    } else if (auto* frame = std::get_if<Reassembler::Frame>(&event)) {
      deliver(s, *frame);
    }
  }
  // Frames delivered or given up take their outstanding requests with them.
  if (auto last = s->reassembler.lastDelivered()) {
    std::erase_if(s->asked, [&](const auto& entry) { return !newer(entry.first, *last); });
  }
}

void StreamClient::deliver(const std::shared_ptr<StreamClientStream>& s, const Reassembler::Frame& frame) {
  State& st = *state_;
  if (frame.isKeyframe) ++s->figures.keyframes;
  if (auto handler = onFrame) {
    handler(frame);
    if (st.stopped || st.stream != s) return;
  }
  std::optional<VideoPacket> packet = VideoPacket::parse(frame.data);
  if (!packet) return;
  std::optional<VideoSample> sample = s->maker.sample(*packet);
  if (!sample) return;
  for (VideoFrame& picture : s->decoder.decode(*sample)) {
    Figures& f = s->figures;
    ++f.framesDecoded;
    f.width = picture.width;
    f.height = picture.height;
    if (s->firstFragmentAt) {
      f.seconds = std::chrono::duration<double>(EventLoop::Clock::now() - *s->firstFragmentAt).count();
    }
    const std::uint64_t now = st.options.nowMicros();
    const double latencyMs = now >= picture.ptsMicros ? static_cast<double>(now - picture.ptsMicros) / 1000.0 : 0.0;
    if (s->latencies.size() < kLatencySamples) {
      s->latencies.push_back(latencyMs);
    } else {
      s->latencies[s->latencyNext] = latencyMs;
      s->latencyNext = (s->latencyNext + 1) % kLatencySamples;
    }
    st.lastPicture = std::move(picture);
    if (auto handler = onPicture) {
      handler(*st.lastPicture);
      if (st.stopped || st.stream != s) return;
    }
  }
}

}  // namespace lumenbrook

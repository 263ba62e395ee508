// Writes the seed corpus of every fuzz target: a few valid inputs built with the real encoders
// and a few near misses, each small. Usage: fuzz_make_seeds <corpus directory>
// (normally fuzz/corpus). Deterministic: fixed ids, keys and times, so rerunning it after a
// format change gives a reviewable diff.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "core/content/user_content.h"
#include "core/messages/control_codec.h"
#include "core/messages/wire_codec.h"
#include "core/security/qr_payload.h"
#include "core/security/secure_channel.h"
#include "core/security/secure_channel_testing.h"
#include "core/security/trust_store.h"
#include "core/video/fragment_header.h"
#include "core/video/video_hello.h"
#include "core/video/video_packet.h"

using namespace lumenbrook;
namespace fs = std::filesystem;

namespace {

fs::path root;

void write(const std::string& target, const std::string& name, ByteView bytes) {
  const fs::path dir = root / target;
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s/%s\n", target.c_str(), name.c_str());
    std::exit(1);
  }
}
void write(const std::string& target, const std::string& name, std::string_view text) {
  write(target, name, asBytes(text));
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) append(out, p);
  return out;
}
Bytes header(std::uint32_t n) {
  Bytes out(4);
  storeU32BE(out.data(), n);
  return out;
}
// A string literal with every byte it spells, embedded zeros included.
template <std::size_t N>
std::string lit(const char (&s)[N]) {
  return std::string(s, N - 1);
}

Bytes record(std::string_view body) { return concat({header(static_cast<std::uint32_t>(body.size())), toBytes(body)}); }

const Uuid kDevice = *Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF");
const Uuid kOther = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

Bytes framed(const Wire& w) { return *WireCodec::frame(w); }
Bytes encoded(const Envelope& e) { return *ControlCodec::encode(e); }

void wireCodec() {
  const Bytes start = framed(Wire{Wire::PairStart{kDevice, "Ana's phone", Bytes(32, 1), Bytes(32, 2), Bytes(32, 3)}});
  const Bytes shown = framed(Wire{Wire::PairCodeShown{}});
  const Bytes hello = framed(Wire{Wire::ClientHello{Bytes(32, 4), Bytes(32, 5)}});
  const Bytes sealed = framed(Wire{Wire::Sealed{Bytes(40, 6)}});
  const Bytes refused = framed(Wire{Wire::Refused{"This phone is not paired."}});
  const Bytes confirmed = framed(Wire{Wire::PairConfirmed{true, Bytes(32, 7)}});
  const Bytes reveal = framed(Wire{Wire::PairMacReveal{Bytes(32, 8), Bytes(32, 9), Bytes(64, 10), Bytes(32, 11)}});
  // The first byte picks the limit: 7 allows six frames, 2 one, 0 none.
  write("wire_codec", "pair_start", concat({{7}, start}));
  write("wire_codec", "several_kinds", concat({{7}, shown, hello, confirmed, reveal, refused}));
  write("wire_codec", "sealed_then_partial", concat({{7}, sealed, Bytes(sealed.begin(), sealed.begin() + 9)}));
  write("wire_codec", "limit_one", concat({{2}, sealed, shown}));
  write("wire_codec", "limit_none", concat({{0}, shown}));
  write("wire_codec", "oversized_header", concat({{7}, shown, header(WireCodec::maxFrame + 1)}));
  write("wire_codec", "two_kinds", concat({{7}, record(R"({"pairCodeShown":{},"clientFinish":{"mac":""}})")}));
  write("wire_codec", "bad_base64", concat({{7}, record(R"({"sealed":{"_0":"AAE"}})")}));
  write("wire_codec", "empty_body", concat({{7}, shown, header(0)}));
}

void controlCodec() {
  ScreenTraits screen = ScreenTraits::tv4K();
  const Bytes hello = encoded(Envelope{ControlMessage{ControlMessage::Hello{kDevice, "Ana's phone", "1.0", screen}}});
  const Bytes nack = encoded(Envelope{ControlMessage{ControlMessage::Nack{41, {0, 3, 7}}}});
  const Bytes ping = encoded(Envelope{ControlMessage{ControlMessage::Ping{9, 123456789}}});
  const Bytes ready = encoded(Envelope{ControlMessage{ControlMessage::VideoReady{50000, 2, Bytes(16, 1)}}});
  MacStatus status{"Studio", 80, true, 120.5, 500, "Editor", 7, 3.25};
  const Bytes report = encoded(Envelope{ControlMessage{ControlMessage::MacStatusReport{status}}});
  const Bytes move = encoded(Envelope{InputEvent{InputEvent::PointerMove{1.5, -2.25}}});
  const Bytes key = encoded(Envelope{InputEvent{InputEvent::Key{0, true, 0x100, "a"}}});
  const Bytes scroll = encoded(Envelope{InputEvent{InputEvent::Scroll{0, 12}}});
  write("control_codec", "hello", hello);
  write("control_codec", "several", concat({nack, ping, ready, report}));
  write("control_codec", "input_events", concat({move, key, scroll}));
  write("control_codec", "partial_tail", concat({move, Bytes(key.begin(), key.end() - 3)}));
  write("control_codec", "oversized_after_one", concat({ping, header(ControlCodec::maxMessage + 1)}));
  write("control_codec", "bad_after_one", concat({ping, record(R"({"control":{"_0":{"nack":{"frameID":-1,"missing":[]}}}})")}));
  write("control_codec", "zero_length", concat({move, header(0)}));
}

void clamp() {
  // First byte: max + 2; second: bit 0 keeps lines.
  write("clamp", "ascii", lit("\x0C\x00Hello, world"));
  write("clamp", "lines", lit("\x0C\x01one\ntwo\xE2\x80\xA8three\r\n"));
  write("clamp", "controls_and_format", lit("\x0A\x00" "a\x01\x7F\xC2\x85" "b\xE2\x80\x8B" "c\xE2\x80\x8D" "d\t"));
  write("clamp", "mark_run", lit("\x16\x00" "e\xCC\x81\xCC\x82\xCC\x83\xCC\x84\xCC\x85\xCC\x86\xCC\x87\xCC\x88\xCC\x89\xCC\x8A" "x"));
  write("clamp", "emoji_sequences", lit("\x05\x00\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"));
  write("clamp", "invalid_utf8", lit("\x08\x00" "a\xC3\x28\xE2\x82\xF0\x9F\x98" "b\xED\xA0\x80" "c\xC0\xAF" "d\xF8\x88\x80\x80\x80"));
  write("clamp", "budget_cut", lit("\x03\x00" "\xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7\xE0\xA4\xBF\xE0\xA4\xA4\xE0\xA4\xBF"));
  write("clamp", "negative_max", lit("\x00\x01text"));
}

void qrPayload() {
  const std::string fp = "00112233445566778899aabbccddeeff";
  const std::string secret = "0123456789abcdef0123456789ABCDEF";
  write("qr_payload", "base", QRPayload{"studio.local", 51234, fp, ""}.code());
  write("qr_payload", "with_secret", QRPayload{"studio.local", 51234, fp, secret}.code());
  write("qr_payload", "unicode_host", QRPayload{"B\xC3\xBCro-Mac.local", 1, fp, secret}.code());
  write("qr_payload", "ipv4_host", "  LUMENBROOK-PAIR-1:h=192.168.1.20&p=65535&fp=" + fp + "\n");
  write("qr_payload", "ipv6_same_prefix", "LUMENBROOK-PAIR-1:h=2001:db8:1:2::77&p=80&fp=" + fp + "&s");
  write("qr_payload", "extra_items", "LUMENBROOK-PAIR-1:x=1&h=a.local&h=b.local&p=2&fp=" + fp + "&s=" + secret + "#frag");
  write("qr_payload", "escaped", "LUMENBROOK-PAIR-1:%68=studio%2Elocal&p=0080&fp=" + fp);
  write("qr_payload", "bad_port", "LUMENBROOK-PAIR-1:h=studio.local&p=65536&fp=" + fp);
  write("qr_payload", "not_local", "LUMENBROOK-PAIR-1:h=8.8.8.8&p=1&fp=" + fp);
  write("qr_payload", "bad_escape", "LUMENBROOK-PAIR-1:h=studio%2.local&p=1&fp=" + fp);
}

void trustStore() {
  TrustStore store;
  store.add(PairedDevice{kDevice, "Ana's phone", Bytes(32, 1), Bytes(32, 2), Date{700000000.5}, std::nullopt});
  store.add(PairedDevice{kOther, "Old phone", Bytes(32, 3), Bytes(32, 4), Date{600000000}, Date{650000000}});
  write("trust_store", "two_devices", *encodeJson(store));
  write("trust_store", "empty", *encodeJson(TrustStore{}));
  store.setKillSwitch(true);
  write("trust_store", "switched_off", *encodeJson(store));

  const std::string key = "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=";
  const std::string psk = "AgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgI=";
  const std::string device = R"({"id":")" + kDevice.text() + R"(","name":"P","identityKey":")" + key +
                             R"(","psk":")" + psk + R"(","pairedAt":1})";
  write("trust_store", "array_form", R"({"devices":[")" + kDevice.text() + R"(",)" + device + R"(],"killSwitch":false})");
  write("trust_store", "key_not_id", R"({"devices":{")" + kOther.text() + R"(":)" + device + R"(},"killSwitch":false})");
  write("trust_store", "short_key", R"({"devices":{")" + kDevice.text() + R"(":{"id":")" + kDevice.text() +
                                        R"(","name":"P","identityKey":"AQE=","psk":")" + psk +
                                        R"(","pairedAt":1}},"killSwitch":false})");
}

void opener() {
  // Records as the opener target reads them: mode byte, then tags (see opener_fuzz.cpp).
  auto sealedRecord = [](std::uint8_t counterMode, std::uint8_t flip, std::string_view plaintext,
                         const Bytes& counterBytes = {}) {
    Bytes out{static_cast<std::uint8_t>(counterMode << 5 | plaintext.size()), flip};
    append(out, counterBytes);
    append(out, asBytes(plaintext));
    return out;
  };
  const Bytes inOrder = concat({sealedRecord(0, 0, "one"), sealedRecord(0, 0, "two"), sealedRecord(0, 0, "three")});
  write("opener", "control_in_order", concat({{0}, inOrder}));
  write("opener", "datagrams_in_order", concat({{1}, inOrder}));
  write("opener", "datagrams_reordered",
        concat({{3}, sealedRecord(1, 0, "ahead", {9}), sealedRecord(2, 0, "behind", {0, 4}),
                sealedRecord(2, 0, "again", {0, 4}), sealedRecord(1, 0, "next", {1})}));
  write("opener", "datagrams_too_old",
        concat({{1}, sealedRecord(3, 0, "far", {0, 0, 0, 0, 0, 0, 0x10, 0}), sealedRecord(2, 0, "old", {0x04, 0x00}),
                sealedRecord(2, 0, "edge", {0x03, 0xFF})}));
  write("opener", "control_replay", concat({{2}, sealedRecord(1, 0, "x", {5}), sealedRecord(2, 0, "y", {0, 0})}));
  write("opener", "tampered", concat({{0}, sealedRecord(0, 7, "secret"), sealedRecord(0, 0, "fine")}));
  write("opener", "last_counters",
        concat({{1}, sealedRecord(3, 0, "end", Bytes(8, 0xFF)), sealedRecord(3, 0, "wrap", Bytes(8, 0))}));
  // Raw payloads: too short, and the right size but forged.
  Bytes raw{0, 0x80, 10};
  append(raw, Bytes(10, 0));
  append(raw, Bytes{0x80, 30});
  append(raw, Bytes(30, 0xAB));
  write("opener", "raw_forged", raw);
}

void fragmentHeader() {
  FragmentHeader h{true, 7, 2, 5, 123456789};
  write("fragment_header", "keyframe", concat({h.encoded(), toBytes("payload")}));
  h = {false, 0xFFFFFFFF, 0, 1, 0};
  write("fragment_header", "single", h.encoded());
  Bytes flags = h.encoded();
  flags[3] = 0xFE;
  write("fragment_header", "other_flag_bits", flags);
  h = {false, 1, 8191, 8192, 5};
  write("fragment_header", "largest_count", h.encoded());
  Bytes bad = h.encoded();
  storeU16BE(bad.data() + 10, 8193);
  write("fragment_header", "count_too_large", bad);
  bad = h.encoded();
  storeU16BE(bad.data() + 8, 8192);
  write("fragment_header", "index_at_count", bad);
  bad = h.encoded();
  bad[2] = 2;
  write("fragment_header", "version_two", bad);
  Bytes shortHeader = h.encoded();
  shortHeader.pop_back();
  write("fragment_header", "short", shortHeader);
}

void videoPacket() {
  VideoPacket key{true, {Bytes{0x40, 0x01, 0x0C}, Bytes{0x42, 0x01, 0x01, 0x60}, Bytes{0x44, 0x01, 0xC1}}, 33333,
                  Bytes{0, 0, 0, 3, 0x26, 0x01, 0xAF}};
  write("video_packet", "keyframe", key.encoded());
  VideoPacket delta{false, {}, 66666, Bytes{0, 0, 0, 2, 0x02, 0x01}};
  write("video_packet", "delta", delta.encoded());
  write("video_packet", "empty_frame", VideoPacket{false, {}, 0, {}}.encoded());
  Bytes bits = delta.encoded();
  bits[2] = 0xFF;
  write("video_packet", "keyframe_bits", bits);
  Bytes cut = key.encoded();
  cut.resize(4 + 4 + 3 + 2);
  write("video_packet", "cut_in_sets", cut);
  Bytes huge = delta.encoded();
  huge[3] = 1;
  huge.insert(huge.begin() + 4, {0xFF, 0xFF, 0xFF, 0xFF});
  write("video_packet", "set_length_too_large", huge);
}

void videoHello() {
  write("video_hello", "hello", VideoHello{Bytes(16, 0x5A), 50123}.encoded());
  write("video_hello", "short", Bytes(17, 1));
  write("video_hello", "long", Bytes(19, 1));
}

void reassembler() {
  // Records as the reassembler target reads them (see reassembler_fuzz.cpp).
  auto fragment = [](bool keyframe, std::uint16_t offset, std::uint8_t index, std::uint8_t count,
                     std::string_view payload, bool twice = false) {
    Bytes out(6);
    out[0] = static_cast<std::uint8_t>((keyframe ? 0x40 : 0) | (twice ? 0x20 : 0) | payload.size());
    storeU16BE(out.data() + 1, offset);
    out[3] = index;
    out[4] = count;
    out[5] = static_cast<std::uint8_t>(offset);
    append(out, asBytes(payload));
    return out;
  };
  auto setup = [](std::uint8_t window, std::uint8_t maxNacks, std::uint32_t base) {
    Bytes out{window, maxNacks, 0, 0, 0, 0};
    storeU32BE(out.data() + 2, base);
    return out;
  };
  write("reassembler", "in_order",
        concat({setup(7, 3, 0), fragment(true, 0, 0, 2, "LV\x01"), fragment(true, 0, 1, 2, "key"),
                fragment(false, 1, 0, 1, "d1"), fragment(false, 2, 0, 1, "d2")}));
  write("reassembler", "reversed_and_twice",
        concat({setup(7, 3, 100), fragment(true, 0, 2, 3, "c", true), fragment(true, 0, 1, 3, "b"),
                fragment(true, 0, 0, 3, "a", true)}));
  Bytes loss = concat({setup(3, 3, 0), fragment(true, 0, 0, 1, "k0"), fragment(false, 1, 0, 1, "d1"),
                       fragment(false, 2, 0, 2, "half")});
  for (std::uint16_t id = 3; id < 10; ++id) append(loss, fragment(false, id, 0, 1, "d"));
  append(loss, fragment(true, 10, 0, 1, "k10"));
  write("reassembler", "loss_then_keyframe", loss);
  write("reassembler", "wrap",
        concat({setup(7, 3, 0xFFFFFFFE), fragment(true, 0, 0, 1, "k"), fragment(false, 1, 0, 1, "a"),
                fragment(false, 2, 0, 1, "b"), fragment(false, 3, 0, 1, "c")}));
  write("reassembler", "nacks",
        concat({setup(20, 3, 0), fragment(true, 0, 0, 1, "k"), fragment(false, 1, 0, 3, "x"),
                fragment(false, 2, 0, 1, "y"), fragment(false, 3, 0, 1, "z"), fragment(false, 5, 0, 1, "w"),
                fragment(false, 1, 2, 3, "x2"), fragment(false, 1, 1, 4, "mismatch")}));
  Bytes raw = concat({setup(7, 3, 0), Bytes{0x80, 20}});
  append(raw, FragmentHeader{true, 0, 0, 1, 0}.encoded());
  append(raw, Bytes{0x80, 10});
  append(raw, Bytes(10, 0x4C));
  write("reassembler", "raw_datagrams", raw);
}

void userContent() {
  const Uuid id = kOther;
  UserContent c;
  c.showcase = {"Ada's", "Fresh bread", {{"Menu", "shop/menu"}}, 0};
  c.prompter = {"Hello\nWorld", 1, 150, false};
  c.focus.label = "Deep work";
  c.focus.timer = Countdown(50);
  c.focus.timer.start(Date{100});
  c.meeting = {{"Intro", "Budget"}, 1, {Date{200}, 30}, 45};
  c.goals = {MoneyGoal(id, "Oven", 1200, 5000, MoneyGoal::Unit::dollars, Date{86400})};
  c.review = {"cut3.mov", {{id, 12.5, "Colour"}}};
  c.deckTitle = "Q3";
  write("user_content", "filled", *c.encoded());
  write("user_content", "fresh", *UserContent{}.encoded());
  auto j = *parseJson(asChars(*c.encoded()));
  j["prompter"]["wordsPerMinute"] = 1e300;
  j["meeting"]["current"] = 99;
  j["showcase"]["qrIndex"] = -1;
  j["goals"][0]["target"] = -5;
  write("user_content", "out_of_range", dumpJson(j));
  j = *parseJson(asChars(*c.encoded()));
  j["goals"][0]["unit"] = "pebbles";
  write("user_content", "unknown_unit", dumpJson(j));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  root = argv[1];
  wireCodec();
  controlCodec();
  clamp();
  qrPayload();
  trustStore();
  opener();
  fragmentHeader();
  videoPacket();
  videoHello();
  reassembler();
  userContent();
  return 0;
}

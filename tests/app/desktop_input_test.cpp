// The host's use of a desktop: sources chosen afresh per stream, input mapped over the whole
// desktop and dropped while it takes none, and everything held released when a phone leaves.

#include "app/desktop_input.h"

#include <vector>

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

struct Journal {
  std::vector<HostEvent> posted;
  int releases = 0;
  int injectorsMade = 0;
  int sourcesMade = 0;
};

class FakeInjector final : public InputInjector {
 public:
  explicit FakeInjector(Journal& j) : j_(j) {}
  void post(const HostEvent& e) override { j_.posted.push_back(e); }
  void releaseAll() override { ++j_.releases; }

 private:
  Journal& j_;
};

class NoPictures final : public FrameSource {
 public:
  explicit NoPictures(int tag) : tag(tag) {}
  void start(int, int, int, Deliver) override {}
  void stop() override {}
  int tag;
};

class FakeDesktop final : public DisplayBackend {
 public:
  std::string name() const override { return "fake"; }
  bool captureAllowed() override { return capture; }
  bool inputAllowed() override { return input; }
  std::unique_ptr<FrameSource> makeSource(int, int) override {
    ++journal.sourcesMade;
    return std::make_unique<NoPictures>(1);
  }
  Rect desktopBounds() override { return bounds; }
  std::optional<Point> pointer() override { return where; }
  std::unique_ptr<InputInjector> makeInjector() override {
    ++journal.injectorsMade;
    return std::make_unique<FakeInjector>(journal);
  }

  bool capture = true;
  bool input = true;
  Rect bounds{0, 0, 1280, 800};
  std::optional<Point> where = Point{100, 100};
  Journal journal;
};

InputEvent move(double dx, double dy) { return {InputEvent::PointerMove{dx, dy}}; }
InputEvent press(bool down) { return {InputEvent::ButtonEvent{InputEvent::Button::left, down}}; }

int tagOf(const std::unique_ptr<FrameSource>& s) {
  auto* p = dynamic_cast<NoPictures*>(s.get());
  return p ? p->tag : -1;
}

TEST(DesktopInput, ChoosesTheSourceAfreshForEveryStream) {
  FakeDesktop desktop;
  auto pattern = [] { return std::make_unique<NoPictures>(2); };
  EXPECT_EQ(tagOf(makeStreamSource(&desktop, 1170, 540, pattern)), 1);
  desktop.capture = false;
  EXPECT_EQ(tagOf(makeStreamSource(&desktop, 1170, 540, pattern)), 2);
  desktop.capture = true;
  EXPECT_EQ(tagOf(makeStreamSource(&desktop, 1170, 540, pattern)), 1);
  EXPECT_EQ(tagOf(makeStreamSource(nullptr, 1170, 540, pattern)), 2);
  EXPECT_EQ(desktop.journal.sourcesMade, 2);
}

TEST(DesktopInput, MapsOverTheWholeDesktopAsItGrows) {
  FakeDesktop desktop;
  DesktopInput input(&desktop);
  EXPECT_EQ(input.mapper().cursor(), (Point{100, 100}));
  input.handle(move(5000, 0));
  ASSERT_EQ(desktop.journal.posted.size(), 1u);
  EXPECT_EQ(desktop.journal.posted[0].location, (Point{1279, 100}));
  // A virtual monitor right of the main one: the pointer may travel onto it.
  desktop.bounds = {0, 0, 2450, 800};
  input.handle(move(600, 0));
  EXPECT_EQ(desktop.journal.posted.back().location, (Point{1879, 100}));
  EXPECT_EQ(desktop.journal.injectorsMade, 1);
}

TEST(DesktopInput, DropsEventsWhileTheDesktopTakesNoInput) {
  FakeDesktop desktop;
  desktop.input = false;
  DesktopInput input(&desktop);
  input.handle(move(10, 10));
  EXPECT_EQ(input.mapper().cursor(), (Point{100, 100}));
  EXPECT_TRUE(desktop.journal.posted.empty());
  EXPECT_EQ(desktop.journal.injectorsMade, 0);
  desktop.input = true;
  input.handle(move(10, 10));
  EXPECT_EQ(input.mapper().cursor(), (Point{110, 110}));

  DesktopInput none(nullptr);
  none.handle(move(10, 10));
  none.phoneLeft();
}

TEST(DesktopInput, APhoneLeavingReleasesWhatItHeld) {
  FakeDesktop desktop;
  DesktopInput input(&desktop);
  input.handle(press(true));
  input.handle(move(1, 0));
  EXPECT_EQ(desktop.journal.posted.back().type, HostEvent::Type::leftMouseDragged);
  input.phoneLeft();
  EXPECT_EQ(desktop.journal.releases, 1);
  EXPECT_TRUE(input.mapper().down().empty());
  EXPECT_EQ(input.mapper().cursor(), (Point{101, 100}));
  // The next phone's motion is a plain move, not a drag.
  input.handle(move(1, 0));
  EXPECT_EQ(desktop.journal.posted.back().type, HostEvent::Type::mouseMoved);
}

TEST(DesktopInput, StartsInTheMiddleWhenThePointerCannotBeRead) {
  FakeDesktop desktop;
  desktop.where = std::nullopt;
  DesktopInput input(&desktop);
  EXPECT_EQ(input.mapper().cursor(), (Point{640, 400}));
}

}  // namespace
}  // namespace lumenbrook

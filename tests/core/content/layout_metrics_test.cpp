#include "core/content/layout_metrics.h"

#include <gtest/gtest.h>

namespace lumenbrook {
namespace {

ScreenTraits screen(double w, double h, ViewingDistance d, bool overscan = false) {
  return ScreenTraits{"Screen", w, h, 1, 60, false, overscan, d};
}

TEST(LayoutMetrics, SizesFollowTheShorterSideAndDistance) {
  struct Case {
    ScreenTraits t;
    double u, padding, body, title, hero, caption;
    std::int64_t columns;
  } cases[] = {
      {screen(1170, 2532, ViewingDistance::desk), 14.04, 42.12, 25.272, 42.12, 154.44, 18.252, 1},
      {screen(1280, 720, ViewingDistance::acrossRoom), 12.96, 38.88, 23.328, 38.88, 142.56, 16.848, 3},
      {screen(3840, 2160, ViewingDistance::room), 32.4, 97.2, 58.32, 97.2, 356.4, 42.12, 3},
      // Small screens keep readable minimums.
      {screen(400, 300, ViewingDistance::desk), 3.6, 10.8, 14, 20, 40, 12, 3},
      {screen(3440, 1440, ViewingDistance::desk), 17.28, 51.84, 31.104, 51.84, 190.08, 22.464, 4},
  };
  for (const auto& c : cases) {
    LayoutMetrics m(c.t);
    SCOPED_TRACE(testing::Message() << c.t.width << "x" << c.t.height);
    EXPECT_NEAR(m.u, c.u, 1e-9);
    EXPECT_NEAR(m.padding(), c.padding, 1e-9);
    EXPECT_NEAR(m.bodySize(), c.body, 1e-9);
    EXPECT_NEAR(m.titleSize(), c.title, 1e-9);
    EXPECT_NEAR(m.heroSize(), c.hero, 1e-9);
    EXPECT_NEAR(m.captionSize(), c.caption, 1e-9);
    EXPECT_EQ(m.columns(), c.columns);
    EXPECT_EQ(m.traits, c.t);
  }
}

TEST(LayoutMetrics, ColumnsAtTheAspectBoundaries) {
  struct Case {
    double w, h;
    std::int64_t columns;
  } cases[] = {{999, 1000, 1}, {1000, 1000, 3}, {2000, 1000, 3}, {2001, 1000, 4}, {2390, 1000, 4}, {0, 0, 3}};
  for (auto c : cases) EXPECT_EQ(LayoutMetrics(screen(c.w, c.h, ViewingDistance::desk)).columns(), c.columns) << c.w;
}

TEST(LayoutMetrics, OverscanInsetsTheContentRectangle) {
  LayoutMetrics whole(screen(1170, 2532, ViewingDistance::desk));
  EXPECT_EQ(whole.contentX, 0);
  EXPECT_EQ(whole.contentY, 0);
  EXPECT_EQ(whole.contentWidth, 1170);
  EXPECT_EQ(whole.contentHeight, 2532);
  EXPECT_TRUE(whole.fillsScreen());

  LayoutMetrics inset(screen(1170, 2532, ViewingDistance::desk, true));
  EXPECT_NEAR(inset.contentX, 40.95, 1e-9);
  EXPECT_NEAR(inset.contentY, 88.62, 1e-9);
  EXPECT_NEAR(inset.contentWidth, 1170 * 0.93, 1e-9);
  EXPECT_NEAR(inset.contentHeight, 2532 * 0.93, 1e-9);
  EXPECT_NEAR(inset.u, 14.04, 1e-9);  // the unit ignores the margin

  EXPECT_FALSE(LayoutMetrics(screen(0, 500, ViewingDistance::desk)).fillsScreen());
  EXPECT_FALSE(LayoutMetrics(screen(500, -1, ViewingDistance::desk, true)).fillsScreen());
}

TEST(ViewingDistance, Labels) {
  EXPECT_STREQ(label(ViewingDistance::desk), "Desk");
  EXPECT_STREQ(label(ViewingDistance::room), "Room");
  EXPECT_STREQ(label(ViewingDistance::acrossRoom), "Across the room");
}

}  // namespace
}  // namespace lumenbrook

#include "core/video/test_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

namespace lumenbrook {
namespace {

using Bgra = std::array<std::uint8_t, 4>;

constexpr Bgra grey{192, 192, 192, 255}, yellow{0, 192, 192, 255}, cyan{192, 192, 0, 255}, green{0, 192, 0, 255},
    magenta{192, 0, 192, 255}, red{0, 0, 192, 255}, blue{192, 0, 0, 255}, white{255, 255, 255, 255},
    orange{38, 154, 238, 255};

Bgra pixel(const VideoFrame& f, int x, int y) {
  auto row = f.row(y);
  return {row[x * 4], row[x * 4 + 1], row[x * 4 + 2], row[x * 4 + 3]};
}

struct PixelCase {
  int x;
  int y;
  Bgra colour;
};

void expectPixels(const VideoFrame& f, std::initializer_list<PixelCase> cases, const std::string& what) {
  for (const auto& c : cases) {
    EXPECT_EQ(pixel(f, c.x, c.y), c.colour) << what << " at x=" << c.x << " y=" << c.y;
  }
}

// 700 wide: bars of 100 pixels; 80 high: the block covers rows 0...9 and x 0...86.
TEST(TestPattern, FrameZeroBarsLineAndBlock) {
  auto f = TestPattern::pixelBuffer(700, 80, 0);
  ASSERT_TRUE(f);
  ASSERT_TRUE(f->valid());
  EXPECT_EQ(f->stride, 700u * 4);
  EXPECT_EQ(f->ptsMicros, 0u);
  expectPixels(*f,
               {{0, 10, white},    {7, 10, white},     {8, 10, grey},     {99, 79, grey},   {100, 10, yellow},
                {199, 10, yellow}, {200, 10, cyan},    {300, 10, green},  {400, 10, magenta}, {500, 10, red},
                {599, 10, red},    {600, 10, blue},    {699, 79, blue},   {0, 0, orange},   {86, 9, orange},
                {87, 9, grey},     {86, 10, grey}, {150, 0, yellow}},
               "frame 0");
}

TEST(TestPattern, NextFrameMovesBarsLeftAndLineRight) {
  auto f = TestPattern::pixelBuffer(700, 80, 1);
  ASSERT_TRUE(f);
  // Bars shifted 8 left: grey ends at 91, the last 8 columns wrap around to grey. The line
  // stands at 16 and covers 9...23.
  expectPixels(*f,
               {{8, 20, grey},    {9, 20, white},   {23, 20, white}, {24, 20, grey},  {91, 20, grey},
                {92, 20, yellow}, {592, 20, blue},  {691, 20, blue}, {692, 20, grey}, {699, 20, grey},
                {0, 5, orange},   {86, 5, orange},  {87, 5, grey}},
               "frame 1");
}

TEST(TestPattern, LineWrapsAndLargeFrameNumbersStayExact) {
  // Frame 44: line at 704 mod 700 = 4, covering 0...11; bars shifted 352 left.
  auto f = TestPattern::pixelBuffer(700, 8, 44);
  ASSERT_TRUE(f);
  expectPixels(*f, {{11, 1, white}, {12, 1, green}, {47, 1, green}, {48, 1, magenta}, {347, 1, blue}, {348, 1, grey}, {699, 1, green}}, "frame 44");
  // The picture repeats every `width` frames, also where frame * 16 would overflow.
  const std::uint64_t farFrame = UINT64_MAX - (UINT64_MAX - 44) % 700;
  auto far = TestPattern::pixelBuffer(700, 8, farFrame);
  ASSERT_TRUE(far);
  EXPECT_EQ(*far, *f);
}

TEST(TestPattern, BlockNeedsAWidthAboveSeven) {
  struct Case {
    int width;
    int height;
    int orangeColumns;
    int orangeRows;
  } cases[] = {{7, 16, 0, 0}, {8, 16, 1, 2}, {16, 7, 2, 0}, {64, 64, 8, 8}};
  for (auto c : cases) {
    auto f = TestPattern::pixelBuffer(c.width, c.height, 3);
    ASSERT_TRUE(f) << c.width;
    int columns = 0, rows = 0;
    for (int y = 0; y < c.height; ++y) {
      int inRow = 0;
      for (int x = 0; x < c.width; ++x) inRow += pixel(*f, x, y) == orange;
      if (inRow > 0) ++rows;
      if (y == 0) columns = inRow;
    }
    EXPECT_EQ(rows, c.orangeRows) << c.width << "x" << c.height;
    if (c.orangeRows > 0) {
      EXPECT_EQ(columns, c.orangeColumns) << c.width << "x" << c.height;
    }
  }
}

TEST(TestPattern, DrawsIntoAStridedImageWithoutTouchingPadding) {
  const int width = 40, height = 16;
  const std::size_t stride = width * 4 + 12;
  Bytes image(stride * height, 0xAB);
  ASSERT_TRUE(TestPattern::draw(image, width, height, stride, 5));
  auto packed = TestPattern::pixelBuffer(width, height, 5);
  ASSERT_TRUE(packed);
  VideoFrame strided{std::make_shared<Bytes>(image), width, height, stride, 0};
  ASSERT_TRUE(strided.valid());
  for (int y = 0; y < height; ++y) {
    auto a = strided.row(y), b = packed->row(y);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end())) << y;
    for (std::size_t i = width * 4; i < stride; ++i) EXPECT_EQ(image[y * stride + i], 0xAB) << y;
  }
  // Every pixel is opaque.
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) EXPECT_EQ(pixel(*packed, x, y)[3], 255);
  }
}

TEST(TestPattern, RejectsImpossibleImagesWithoutWriting) {
  // 64 x 8 with rows 300 bytes apart needs 7 * 300 + 256 = 2356 bytes.
  Bytes image(2400, 0x11);
  struct Case {
    const char* what;
    int width;
    int height;
    std::size_t stride;
    std::size_t bytes;
  } cases[] = {{"zero width", 0, 8, 300, image.size()},
               {"negative height", 64, -1, 300, image.size()},
               {"stride below a row", 64, 8, 255, image.size()},
               {"buffer one byte short", 64, 8, 300, 2355},
               {"huge stride", 64, 8, std::size_t(-1) / 2, image.size()}};
  for (auto c : cases) {
    EXPECT_FALSE(TestPattern::draw(std::span(image).first(c.bytes), c.width, c.height, c.stride, 0)) << c.what;
  }
  EXPECT_TRUE(std::all_of(image.begin(), image.end(), [](auto b) { return b == 0x11; }));
  EXPECT_FALSE(TestPattern::pixelBuffer(0, 10, 0));
  EXPECT_FALSE(TestPattern::pixelBuffer(10, TestPattern::maxDimension + 1, 0));
  // The last row needs no padding after it.
  EXPECT_TRUE(TestPattern::draw(std::span(image).first(2356), 64, 8, 300, 0));
}

TEST(VideoFrame, EqualityComparesPixelsNotSharing) {
  auto a = TestPattern::pixelBuffer(16, 4, 2);
  auto b = TestPattern::pixelBuffer(16, 4, 2);
  auto c = TestPattern::pixelBuffer(16, 4, 3);
  ASSERT_TRUE(a && b && c);
  EXPECT_NE(a->pixels, b->pixels);
  EXPECT_EQ(*a, *b);
  EXPECT_NE(*a, *c);
  auto stamped = *a;
  stamped.ptsMicros = 9;
  EXPECT_NE(stamped, *a);
  EXPECT_EQ(stamped.pixels, a->pixels);  // copying a frame shares its pixels
  EXPECT_FALSE((VideoFrame{nullptr, 16, 4, 64, 0}.valid()));
  EXPECT_FALSE((VideoFrame{a->pixels, 16, 5, 64, 0}.valid()));
}

}  // namespace
}  // namespace lumenbrook

// Picture placement, the tiling grid and rescaling of premultiplied pixels.
#include "ui/picture_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace setup {
namespace {

constexpr TPictureModes kPlain{};
constexpr TPictureModes kStretch{true, false, false};
constexpr TPictureModes kCenter{false, true, false};
constexpr TPictureModes kStretchCenter{true, true, false};

uint32_t Grey(uint32_t v, uint32_t alpha = 255) { return v | v << 8 | v << 16 | alpha << 24; }
uint32_t Blue(uint32_t p) { return p & 0xFF; }

TEST(TileOrigins, RowByRowWithPartlyClippedLastRowAndColumn) {
  // 10 x 7 of 4 x 3 tiles: columns at 0, 4, 8 (the last cut to 2 pixels), rows at 0, 3, 6 (cut to 1).
  const std::vector<TTileOrigin> origins = TileOrigins(10, 7, 4, 3);
  const std::vector<TTileOrigin> expected = {{0, 0}, {4, 0}, {8, 0}, {0, 3}, {4, 3},
                                             {8, 3}, {0, 6}, {4, 6}, {8, 6}};
  EXPECT_EQ(origins, expected);
}

TEST(TileOrigins, ExactMultiplesAddACopyWhollyOutside) {
  // W = 2w runs a = 0, 1, 2; the third copy starts at the right edge and draws nothing.
  const std::vector<TTileOrigin> origins = TileOrigins(8, 3, 4, 3);
  const std::vector<TTileOrigin> expected = {{0, 0}, {4, 0}, {8, 0}, {0, 3}, {4, 3}, {8, 3}};
  EXPECT_EQ(origins, expected);
  // A tile larger than the picture still draws once, clipped.
  EXPECT_EQ(TileOrigins(3, 2, 5, 5), (std::vector<TTileOrigin>{{0, 0}}));
}

TEST(TileOrigins, NoneForAnEmptyTileOrPicture) {
  EXPECT_TRUE(TileOrigins(10, 10, 0, 3).empty());
  EXPECT_TRUE(TileOrigins(10, 10, 3, 0).empty());
  EXPECT_TRUE(TileOrigins(0, 10, 4, 3).empty());
  EXPECT_TRUE(TileOrigins(10, -1, 4, 3).empty());
}

TEST(PictureDestination, PlainSitsTopLeftAtNaturalSize) {
  EXPECT_EQ(PictureDestination(100, 80, 40, 30, kPlain, 96), (TPictureRect{0, 0, 40, 30}));
  // Larger than the control: the rectangle stays whole, the visible part is clipped.
  const TPictureRect big = PictureDestination(20, 10, 40, 30, kPlain, 96);
  EXPECT_EQ(big, (TPictureRect{0, 0, 40, 30}));
  EXPECT_EQ(VisiblePart(big, 20, 10), (TPictureRect{0, 0, 20, 10}));
}

TEST(PictureDestination, CenterOffsetsEvenOddAndNegative) {
  EXPECT_EQ(PictureDestination(10, 10, 4, 6, kCenter, 96), (TPictureRect{3, 2, 4, 6}));
  // An odd remainder puts the extra pixel on the right and below.
  EXPECT_EQ(PictureDestination(10, 10, 5, 3, kCenter, 96), (TPictureRect{2, 3, 5, 3}));
  // Larger than the control: negative offsets, the picture's middle shows.
  const TPictureRect big = PictureDestination(10, 10, 15, 14, kCenter, 96);
  EXPECT_EQ(big, (TPictureRect{-2, -2, 15, 14}));
  EXPECT_EQ(VisiblePart(big, 10, 10), (TPictureRect{0, 0, 10, 10}));
  EXPECT_EQ(VisiblePart({8, -3, 5, 5}, 10, 10), (TPictureRect{8, 0, 2, 2}));
  EXPECT_TRUE(VisiblePart({12, 0, 5, 5}, 10, 10).Empty());
  EXPECT_TRUE(VisiblePart({-5, 0, 5, 5}, 10, 10).Empty());
}

TEST(PictureDestination, StretchFillsTheControlAndWinsOverCenter) {
  EXPECT_EQ(PictureDestination(100, 80, 4, 3, kStretch, 96), (TPictureRect{0, 0, 100, 80}));
  EXPECT_EQ(PictureDestination(100, 80, 400, 300, kStretchCenter, 144), (TPictureRect{0, 0, 100, 80}));
  EXPECT_TRUE(PictureDestination(-5, 80, 4, 3, kStretch, 96).Empty());
}

TEST(PictureDestination, NaturalSizeScalesWithDpi) {
  // 150 %: 4 x 3 becomes 6 x 4.5, rounded to 6 x 5.
  EXPECT_EQ(PictureDestination(100, 80, 4, 3, kPlain, 144), (TPictureRect{0, 0, 6, 5}));
  EXPECT_EQ(PictureDestination(20, 20, 4, 3, kCenter, 144), (TPictureRect{7, 7, 6, 5}));
  EXPECT_EQ(ScaleToDpi(100, 144), 150);
  EXPECT_EQ(ScaleToDpi(3, 120), 4);
  EXPECT_EQ(ScaleToDpi(-3, 144), -5);  // halves round away from zero, as the window's scaling does
  EXPECT_EQ(ScaleToDpi(2000000000, 192), INT32_MAX);
}

TEST(ResamplePixels, SameSizeIsACopy) {
  std::vector<uint32_t> pixels;
  for (uint32_t i = 0; i < 12; ++i) pixels.push_back(Grey(i * 20, 240 - i));
  EXPECT_EQ(ResamplePixels(pixels, 4, 3, 4, 3, {0, 0, 4, 3}), pixels);
}

TEST(ResamplePixels, EnlargingInterpolatesAndKeepsTheEdges) {
  const std::vector<uint32_t> pixels = {Grey(0), Grey(255)};
  const std::vector<uint32_t> wide = ResamplePixels(pixels, 2, 1, 4, 1, {0, 0, 4, 1});
  ASSERT_EQ(wide.size(), 4u);
  EXPECT_EQ(wide[0], Grey(0));
  EXPECT_EQ(Blue(wide[1]), 64u);
  EXPECT_EQ(Blue(wide[2]), 191u);
  EXPECT_EQ(wide[3], Grey(255));
}

TEST(ResamplePixels, ShrinkingAveragesFineDetail) {
  // Alternating black and white columns shrunk four times: a grey, not a stripe pattern.
  std::vector<uint32_t> pixels;
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 32; ++x) pixels.push_back(Grey(x % 2 ? 255 : 0));
  }
  const std::vector<uint32_t> small = ResamplePixels(pixels, 32, 4, 8, 1, {0, 0, 8, 1});
  ASSERT_EQ(small.size(), 8u);
  for (uint32_t p : small) {
    EXPECT_GE(Blue(p), 100u);
    EXPECT_LE(Blue(p), 155u);
    EXPECT_EQ(p >> 24, 255u);
  }
}

TEST(ResamplePixels, UniformColourAndPremultipliedAlphaSurvive) {
  const std::vector<uint32_t> uniform(6 * 5, Grey(90, 128));
  for (const auto& [w, h] : {std::pair{6, 5}, {9, 7}, {13, 2}, {3, 3}, {1, 1}}) {
    for (uint32_t p : ResamplePixels(uniform, 6, 5, w, h, {0, 0, w, h})) EXPECT_EQ(p, Grey(90, 128));
  }
  // Varied alpha: no colour channel may end above its alpha, or blending would overflow.
  std::vector<uint32_t> varied;
  uint32_t seed = 12345;
  for (int i = 0; i < 7 * 6; ++i) {
    seed = seed * 1103515245 + 12345;
    const uint32_t alpha = (seed >> 16) & 0xFF;
    const uint32_t c = alpha ? (seed >> 8) % (alpha + 1) : 0;
    varied.push_back(c | (alpha - c / 2) << 8 | (alpha / 3) << 16 | alpha << 24);
  }
  for (const auto& [w, h] : {std::pair{11, 9}, {3, 2}, {7, 13}}) {
    for (uint32_t p : ResamplePixels(varied, 7, 6, w, h, {0, 0, w, h})) {
      const uint32_t alpha = p >> 24;
      EXPECT_LE(p & 0xFF, alpha);
      EXPECT_LE((p >> 8) & 0xFF, alpha);
      EXPECT_LE((p >> 16) & 0xFF, alpha);
    }
  }
}

TEST(ResamplePixels, AWindowIsTheSameCropOfTheWholeScaling) {
  std::vector<uint32_t> pixels;
  for (uint32_t i = 0; i < 5 * 4; ++i) pixels.push_back(Grey((i * 37) % 256));
  const std::vector<uint32_t> whole = ResamplePixels(pixels, 5, 4, 13, 9, {0, 0, 13, 9});
  const TPictureRect window{4, 3, 6, 5};
  const std::vector<uint32_t> part = ResamplePixels(pixels, 5, 4, 13, 9, window);
  ASSERT_EQ(part.size(), 30u);
  for (int y = 0; y < window.Height; ++y) {
    for (int x = 0; x < window.Width; ++x) {
      EXPECT_EQ(part[y * window.Width + x], whole[(y + window.Top) * 13 + x + window.Left]) << x << "," << y;
    }
  }
}

TEST(ResamplePixels, BadArgumentsGiveNothing) {
  const std::vector<uint32_t> pixels(4 * 3, Grey(1));
  EXPECT_TRUE(ResamplePixels(pixels, 4, 4, 8, 8, {0, 0, 8, 8}).empty());  // too few pixels
  EXPECT_TRUE(ResamplePixels(pixels, 4, 3, 8, 6, {5, 0, 4, 6}).empty());  // window beyond the right edge
  EXPECT_TRUE(ResamplePixels(pixels, 4, 3, 8, 6, {0, -1, 4, 6}).empty());
  EXPECT_TRUE(ResamplePixels(pixels, 4, 3, 0, 6, {0, 0, 0, 6}).empty());
  EXPECT_TRUE(ResamplePixels(pixels, 4, 3, 8, 6, {0, 0, 0, 0}).empty());
}

}  // namespace
}  // namespace setup

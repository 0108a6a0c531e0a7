// Pictures decoded by the system's imaging component and drawn into a 32-bit DIB section:
// each format's pixels, alpha and colour-keyed transparency, placement, scaling and tiling, and
// bytes that are no picture.
#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/win32/view/picture.h"
#include "ui/picture_layout.h"

namespace setup::win32 {
namespace {

// 4 x 3, 24-bit: red, with green at (3, 0) and blue at (2, 1) and at the bottom-left (0, 2).
constexpr uint8_t kBmp[] = {
    0x42, 0x4d, 0x5a, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00,
    0x04, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x24, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff,
    0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0xff, 0x00};

// 16 x 8 JPEG, no chroma subsampling: the left half red, the right half blue.
constexpr uint8_t kJpeg[] = {
    0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01,
    0x00, 0x00, 0xff, 0xdb, 0x00, 0x43, 0x00, 0x02, 0x01, 0x01, 0x01, 0x01, 0x01, 0x02, 0x01, 0x01, 0x01, 0x02,
    0x02, 0x02, 0x02, 0x02, 0x04, 0x03, 0x02, 0x02, 0x02, 0x02, 0x05, 0x04, 0x04, 0x03, 0x04, 0x06, 0x05, 0x06,
    0x06, 0x06, 0x05, 0x06, 0x06, 0x06, 0x07, 0x09, 0x08, 0x06, 0x07, 0x09, 0x07, 0x06, 0x06, 0x08, 0x0b, 0x08,
    0x09, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x06, 0x08, 0x0b, 0x0c, 0x0b, 0x0a, 0x0c, 0x09, 0x0a, 0x0a, 0x0a, 0xff,
    0xdb, 0x00, 0x43, 0x01, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x05, 0x03, 0x03, 0x05, 0x0a, 0x07, 0x06, 0x07,
    0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a,
    0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a,
    0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0xff, 0xc0, 0x00, 0x11,
    0x08, 0x00, 0x08, 0x00, 0x10, 0x03, 0x01, 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01, 0xff, 0xc4, 0x00,
    0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x08, 0xff, 0xc4, 0x00, 0x14, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xc4, 0x00, 0x16, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x08, 0x09, 0xff, 0xc4, 0x00, 0x14, 0x11, 0x01, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xda, 0x00,
    0x0c, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3f, 0x00, 0x17, 0xa5, 0x36, 0xfe, 0x08, 0x65, 0x50,
    0x35, 0xef, 0xff, 0xd9};

// 2 x 2 RGBA: opaque red, fully transparent / green at alpha 127, opaque blue.
constexpr uint8_t kPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
    0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x06, 0x00, 0x00, 0x00, 0x72, 0xb6, 0x0d, 0x24, 0x00, 0x00, 0x00,
    0x17, 0x49, 0x44, 0x41, 0x54, 0x08, 0xd7, 0x05, 0xc1, 0x01, 0x01, 0x00, 0x00, 0x00, 0x82, 0x20, 0x9e, 0x37,
    0xdd, 0x40, 0x04, 0x64, 0xd4, 0x01, 0x2b, 0x64, 0x05, 0x7b, 0xff, 0xd7, 0x84, 0x11, 0x00, 0x00, 0x00, 0x00,
    0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

// 3 x 2 with a transparent colour index: red, blue, red / blue, transparent, blue.
constexpr uint8_t kGif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x03, 0x00, 0x02, 0x00, 0xf1, 0x00, 0x00,
                            0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x21,
                            0xf9, 0x04, 0x01, 0x00, 0x00, 0x02, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x03,
                            0x00, 0x02, 0x00, 0x00, 0x02, 0x03, 0x44, 0x2c, 0x51, 0x00, 0x3b};

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kBackground = RGB(100, 100, 100);

constexpr TPictureModes kPlain{};
constexpr TPictureModes kStretch{true, false, false};
constexpr TPictureModes kCenter{false, true, false};
constexpr TPictureModes kTransparent{false, false, true};

void PutLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A 24-bit bitmap file of the given colours, listed row by row from the top.
std::vector<uint8_t> Bitmap(int width, int height, const std::vector<COLORREF>& colours) {
  const uint32_t row_size = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
  const uint32_t data_size = row_size * static_cast<uint32_t>(height);
  std::vector<uint8_t> out = {'B', 'M'};
  PutLe(out, 54 + data_size, 4);
  PutLe(out, 0, 4);
  PutLe(out, 54, 4);
  PutLe(out, 40, 4);
  PutLe(out, static_cast<uint32_t>(width), 4);
  PutLe(out, static_cast<uint32_t>(height), 4);
  PutLe(out, 1, 2);
  PutLe(out, 24, 2);
  PutLe(out, 0, 4);
  PutLe(out, data_size, 4);
  PutLe(out, 2835, 4);
  PutLe(out, 2835, 4);
  PutLe(out, 0, 4);
  PutLe(out, 0, 4);
  if (colours.empty()) return out;  // a header alone
  for (int y = height - 1; y >= 0; --y) {
    for (int x = 0; x < width; ++x) {
      const COLORREF c = colours[static_cast<size_t>(y) * width + x];
      out.push_back(GetBValue(c));
      out.push_back(GetGValue(c));
      out.push_back(GetRValue(c));
    }
    for (uint32_t pad = static_cast<uint32_t>(width) * 3; pad < row_size; ++pad) out.push_back(0);
  }
  return out;
}

// A 32-bit top-down DIB section selected into a memory DC, filled with one colour.
class TCanvas {
 public:
  TCanvas(int width, int height, COLORREF background = kBackground) : width_(width), height_(height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<uint32_t*>(bits);
    dc_ = CreateCompatibleDC(nullptr);
    old_ = SelectObject(dc_, bitmap_);
    const uint32_t fill = GetBValue(background) | GetGValue(background) << 8 | GetRValue(background) << 16;
    for (int i = 0; i < width * height; ++i) bits_[i] = fill;
  }
  ~TCanvas() {
    SelectObject(dc_, old_);
    DeleteDC(dc_);
    DeleteObject(bitmap_);
  }
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  bool Ready() const { return bits_ != nullptr && dc_ != nullptr; }
  HDC Dc() const { return dc_; }
  COLORREF At(int x, int y) const {
    GdiFlush();
    const uint32_t p = bits_[y * width_ + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
  int Width() const { return width_; }
  int Height() const { return height_; }

 private:
  int width_;
  int height_;
  HBITMAP bitmap_ = nullptr;
  uint32_t* bits_ = nullptr;
  HDC dc_ = nullptr;
  HGDIOBJ old_ = nullptr;
};

std::string Describe(COLORREF c) {
  return "RGB(" + std::to_string(GetRValue(c)) + ", " + std::to_string(GetGValue(c)) + ", " +
         std::to_string(GetBValue(c)) + ")";
}

::testing::AssertionResult Near(COLORREF actual, COLORREF expected, int tolerance) {
  const bool close = std::abs(GetRValue(actual) - GetRValue(expected)) <= tolerance &&
                    std::abs(GetGValue(actual) - GetGValue(expected)) <= tolerance &&
                    std::abs(GetBValue(actual) - GetBValue(expected)) <= tolerance;
  if (close) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << Describe(actual) << " is not within " << tolerance << " of "
                                       << Describe(expected);
}

::testing::AssertionResult Is(COLORREF actual, COLORREF expected) { return Near(actual, expected, 0); }

// The pixels from (left, top) on are exactly the colours of the rows, listed from the top.
::testing::AssertionResult HasRows(const TCanvas& canvas, int left, int top,
                                   std::initializer_list<std::initializer_list<COLORREF>> rows) {
  int y = top;
  for (const auto& row : rows) {
    int x = left;
    for (COLORREF expected : row) {
      const ::testing::AssertionResult pixel = Is(canvas.At(x, y), expected);
      if (!pixel) return ::testing::AssertionFailure() << "pixel " << x << "," << y << ": " << pixel.message();
      ++x;
    }
    ++y;
  }
  return ::testing::AssertionSuccess();
}

template <size_t N>
bool LoadFixture(TPicture& picture, const uint8_t (&bytes)[N]) {
  return picture.Load(bytes, N);
}

bool LoadBytes(TPicture& picture, const std::vector<uint8_t>& bytes) {
  return picture.Load(bytes.data(), bytes.size());
}

class Picture : public ::testing::Test {
 protected:
  void SetUp() override {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    com_ready_ = SUCCEEDED(hr);
  }
  void TearDown() override {
    if (com_ready_) CoUninitialize();
  }

 private:
  bool com_ready_ = false;
};

TEST_F(Picture, EachFormatLoadsWithItsNaturalSize) {
  struct TCase {
    const uint8_t* Bytes;
    size_t Size;
    int Width, Height;
    bool Alpha;
  };
  const TCase cases[] = {{kBmp, sizeof kBmp, 4, 3, false},
                         {kJpeg, sizeof kJpeg, 16, 8, false},
                         {kPng, sizeof kPng, 2, 2, true},
                         {kGif, sizeof kGif, 3, 2, true}};
  for (const TCase& c : cases) {
    TPicture picture;
    ASSERT_TRUE(picture.Load(c.Bytes, c.Size)) << c.Width << "x" << c.Height;
    EXPECT_FALSE(picture.Empty());
    EXPECT_EQ(picture.Width(), c.Width);
    EXPECT_EQ(picture.Height(), c.Height);
    EXPECT_EQ(picture.HasAlpha(), c.Alpha) << c.Width << "x" << c.Height;
  }
}

TEST_F(Picture, BitmapDrawsItsPixelsAtTheControlsCorner) {
  TPicture picture;
  ASSERT_TRUE(LoadFixture(picture, kBmp));
  TCanvas canvas(8, 6);
  ASSERT_TRUE(canvas.Ready());
  picture.Draw(canvas.Dc(), 2, 1, 6, 5, kPlain, 96);
  EXPECT_TRUE(
      HasRows(canvas, 2, 1, {{kRed, kRed, kRed, kGreen}, {kRed, kRed, kBlue, kRed}, {kBlue, kRed, kRed, kRed}}));
  EXPECT_TRUE(Is(canvas.At(1, 1), kBackground));
  EXPECT_TRUE(Is(canvas.At(6, 1), kBackground));  // beyond the picture, inside the control
  EXPECT_TRUE(Is(canvas.At(2, 4), kBackground));
  EXPECT_TRUE(Is(canvas.At(2, 0), kBackground));
}

TEST_F(Picture, JpegColoursComeOutApproximately) {
  TPicture picture;
  ASSERT_TRUE(LoadFixture(picture, kJpeg));
  TCanvas canvas(16, 8);
  picture.Draw(canvas.Dc(), 0, 0, 16, 8, kPlain, 96);
  for (int y : {0, 7}) {
    EXPECT_TRUE(Near(canvas.At(1, y), kRed, 12));
    EXPECT_TRUE(Near(canvas.At(14, y), kBlue, 12));
  }
}

TEST_F(Picture, PngAlphaBlendsOverWhatLiesBehind) {
  TPicture picture;
  ASSERT_TRUE(LoadFixture(picture, kPng));
  // "transparent" changes nothing for a picture with its own alpha: its bottom-left colour stays.
  for (const TPictureModes& modes : {kPlain, kTransparent}) {
    TCanvas canvas(4, 4);
    picture.Draw(canvas.Dc(), 1, 1, 3, 3, modes, 96);
    EXPECT_TRUE(Is(canvas.At(1, 1), kRed));
    EXPECT_TRUE(Is(canvas.At(2, 1), kBackground));  // the fully transparent pixel
    EXPECT_TRUE(Near(canvas.At(1, 2), RGB(50, 177, 50), 3));  // green at half over grey
    EXPECT_TRUE(Is(canvas.At(2, 2), kBlue));
  }
}

TEST_F(Picture, GifTransparentIndexLeavesTheBackground) {
  TPicture picture;
  ASSERT_TRUE(LoadFixture(picture, kGif));
  TCanvas canvas(3, 2);
  picture.Draw(canvas.Dc(), 0, 0, 3, 2, kPlain, 96);
  EXPECT_TRUE(HasRows(canvas, 0, 0, {{kRed, kBlue, kRed}, {kBlue, kBackground, kBlue}}));
}

TEST_F(Picture, TransparentBitmapLeavesItsBottomLeftColourUnpainted) {
  TPicture picture;
  ASSERT_TRUE(LoadFixture(picture, kBmp));
  TCanvas canvas(4, 3);
  picture.Draw(canvas.Dc(), 0, 0, 4, 3, kTransparent, 96);
  // The bottom-left pixel is blue: blue is left out there and elsewhere.
  EXPECT_TRUE(HasRows(canvas, 0, 0,
                      {{kRed, kRed, kRed, kGreen}, {kRed, kRed, kBackground, kRed}, {kBackground, kRed, kRed, kRed}}));
  // Drawn again without the flag, the same picture is whole.
  TCanvas whole(4, 3);
  picture.Draw(whole.Dc(), 0, 0, 4, 3, kPlain, 96);
  EXPECT_TRUE(HasRows(whole, 0, 0, {{kRed, kRed, kRed, kGreen}, {kRed, kRed, kBlue, kRed}, {kBlue, kRed, kRed, kRed}}));
}

TEST_F(Picture, StretchFillsTheControlAtEverySizeDrawn) {
  TPicture picture;
  ASSERT_TRUE(LoadBytes(picture, Bitmap(2, 2, {kRed, kGreen, kBlue, kWhite})));
  // Drawn at one size, another and the first again: the kept scaled copy follows the size.
  for (int size : {20, 10, 20}) {
    TCanvas canvas(24, 24);
    picture.Draw(canvas.Dc(), 2, 2, size, size, kStretch, 96);
    // Towards the corners, away from the blended middle, each quarter keeps its colour.
    const int inner = 2 + size / 5, outer = 2 + size - 1 - size / 5;
    EXPECT_TRUE(Is(canvas.At(2, 2), kRed)) << size;
    EXPECT_TRUE(Is(canvas.At(inner, inner), kRed)) << size;
    EXPECT_TRUE(Is(canvas.At(outer, inner), kGreen)) << size;
    EXPECT_TRUE(Is(canvas.At(inner, outer), kBlue)) << size;
    EXPECT_TRUE(Is(canvas.At(outer, outer), kWhite)) << size;
    EXPECT_TRUE(Is(canvas.At(2 + size - 1, 2 + size - 1), kWhite)) << size;
    EXPECT_TRUE(Is(canvas.At(2 + size, 2 + size), kBackground)) << size;
    EXPECT_TRUE(Is(canvas.At(1, 2), kBackground)) << size;
  }
}

TEST_F(Picture, PlacementFollowsPictureDestinationAndIsClippedToTheControl) {
  TPicture picture;
  ASSERT_TRUE(LoadBytes(picture, Bitmap(4, 3, std::vector<COLORREF>(12, kRed))));
  struct TCase {
    int Width, Height;
    TPictureModes Modes;
    int Dpi;
  };
  const TCase cases[] = {
      {10, 10, kCenter, 96},  // even and odd remainders
      {10, 10, kCenter, 144},  // 6 x 5 at 150 %
      {3, 2, kCenter, 96},     // larger than the control: the middle shows
      {2, 2, kPlain, 144},     // clipped at the right and bottom
      {10, 8, kPlain, 192},
  };
  constexpr int kMargin = 3;
  for (const TCase& c : cases) {
    TCanvas canvas(c.Width + 2 * kMargin, c.Height + 2 * kMargin);
    picture.Draw(canvas.Dc(), kMargin, kMargin, c.Width, c.Height, c.Modes, c.Dpi);
    const TPictureRect visible =
        VisiblePart(PictureDestination(c.Width, c.Height, 4, 3, c.Modes, c.Dpi), c.Width, c.Height);
    ASSERT_FALSE(visible.Empty());
    for (int y = 0; y < canvas.Height(); ++y) {
      for (int x = 0; x < canvas.Width(); ++x) {
        const int cx = x - kMargin, cy = y - kMargin;
        const bool inside = cx >= visible.Left && cx < visible.Left + visible.Width && cy >= visible.Top &&
                            cy < visible.Top + visible.Height;
        EXPECT_TRUE(Is(canvas.At(x, y), inside ? kRed : kBackground))
            << c.Width << "x" << c.Height << " at " << c.Dpi << " dpi, pixel " << x << "," << y;
      }
    }
  }
}

TEST_F(Picture, HigherDpiScalesSmoothly) {
  TPicture picture;
  ASSERT_TRUE(LoadBytes(picture, Bitmap(2, 1, {kBlack, kWhite})));
  TCanvas canvas(6, 3);
  picture.Draw(canvas.Dc(), 0, 0, 6, 3, kPlain, 192);  // 4 x 2
  for (int y = 0; y < 2; ++y) {
    EXPECT_TRUE(Is(canvas.At(0, y), kBlack));
    EXPECT_TRUE(Near(canvas.At(1, y), RGB(64, 64, 64), 1));
    EXPECT_TRUE(Near(canvas.At(2, y), RGB(191, 191, 191), 1));
    EXPECT_TRUE(Is(canvas.At(3, y), kWhite));
    EXPECT_TRUE(Is(canvas.At(4, y), kBackground));
  }
  EXPECT_TRUE(Is(canvas.At(0, 2), kBackground));
}

TEST_F(Picture, TransparentBitmapScaledUpHasNoFringeOfTheKeyColour) {
  // The key colour (blue, bottom-left) goes before scaling: the blend runs from red to clear.
  TPicture picture;
  ASSERT_TRUE(LoadBytes(picture, Bitmap(2, 1, {kBlue, kRed})));
  TCanvas canvas(4, 2);
  picture.Draw(canvas.Dc(), 0, 0, 4, 2, kTransparent, 192);
  for (int y = 0; y < 2; ++y) {
    EXPECT_TRUE(Is(canvas.At(0, y), kBackground));
    EXPECT_TRUE(Is(canvas.At(3, y), kRed));
    for (int x = 0; x < 4; ++x) EXPECT_LE(GetBValue(canvas.At(x, y)), GetBValue(kBackground)) << x << "," << y;
    EXPECT_GT(GetRValue(canvas.At(1, y)), GetRValue(kBackground));
  }
}

TEST_F(Picture, TileRepeatsTheLoadedPictureAcrossTheControl) {
  TPicture picture;
  picture.Tile(10, 10);  // nothing loaded yet: nothing to tile
  EXPECT_TRUE(picture.Empty());

  const COLORREF colours[4] = {kRed, kGreen, kBlue, kWhite};
  ASSERT_TRUE(LoadBytes(picture, Bitmap(2, 2, {colours[0], colours[1], colours[2], colours[3]})));
  picture.Tile(0, 5);  // not a size to tile to
  EXPECT_EQ(picture.Width(), 2);
  picture.Tile(5, 4);  // a partly clipped last column, an exact multiple of rows
  EXPECT_EQ(picture.Width(), 5);
  EXPECT_EQ(picture.Height(), 4);
  TCanvas canvas(6, 5);
  picture.Draw(canvas.Dc(), 0, 0, 6, 5, kPlain, 96);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 5; ++x) EXPECT_TRUE(Is(canvas.At(x, y), colours[(y % 2) * 2 + x % 2])) << x << "," << y;
  }
  EXPECT_TRUE(Is(canvas.At(5, 0), kBackground));
  EXPECT_TRUE(Is(canvas.At(0, 4), kBackground));
}

TEST_F(Picture, BytesThatAreNoPictureLoadNothing) {
  TPicture picture;
  ASSERT_TRUE(LoadFixture(picture, kPng));
  const std::string text = "This is plain text, not a picture.";
  EXPECT_FALSE(picture.Load(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  EXPECT_TRUE(picture.Empty());  // a failed load leaves no picture behind
  EXPECT_EQ(picture.Width(), 0);
  EXPECT_FALSE(picture.Load(kPng, 0));
  EXPECT_FALSE(picture.Load(nullptr, 0));
  EXPECT_FALSE(picture.Load(kPng, sizeof kPng / 2));
  EXPECT_TRUE(picture.Empty());
  TCanvas canvas(4, 4);
  picture.Draw(canvas.Dc(), 0, 0, 4, 4, kStretch, 96);  // an empty picture draws nothing
  EXPECT_TRUE(Is(canvas.At(0, 0), kBackground));
}

TEST_F(Picture, AbsurdSizesAreRefusedBeforeAnythingIsAllocated) {
  TPicture picture;
  // Headers alone, without pixel data: the size check comes first.
  EXPECT_FALSE(LoadBytes(picture, Bitmap(kMaxPictureSide + 1, 1, {})));
  EXPECT_FALSE(LoadBytes(picture, Bitmap(8192, 8192, {})));  // 64 M pixels
  ASSERT_TRUE(LoadFixture(picture, kBmp));
  picture.Tile(kMaxPictureSide + 1, 10);  // ignored
  EXPECT_EQ(picture.Width(), 4);
  // A control far larger than any screen draws nothing rather than a 1 GiB bitmap.
  TCanvas canvas(4, 4);
  picture.Draw(canvas.Dc(), 0, 0, 20000, 20000, kStretch, 96);
  EXPECT_TRUE(Is(canvas.At(0, 0), kBackground));
}

TEST_F(Picture, EveryTruncationAndByteFlipIsSurvived) {
  const std::vector<std::vector<uint8_t>> fixtures = {
      {std::begin(kBmp), std::end(kBmp)},
      {std::begin(kJpeg), std::end(kJpeg)},
      {std::begin(kPng), std::end(kPng)},
      {std::begin(kGif), std::end(kGif)},
  };
  TCanvas canvas(8, 8);
  auto try_load = [&](const std::vector<uint8_t>& bytes, size_t size) {
    TPicture picture;
    if (picture.Load(bytes.data(), size)) {
      EXPECT_TRUE(PictureSizeAllowed(picture.Width(), picture.Height()));
      picture.Draw(canvas.Dc(), 0, 0, 8, 8, kCenter, 144);
    } else {
      EXPECT_TRUE(picture.Empty());
    }
  };
  for (const std::vector<uint8_t>& fixture : fixtures) {
    for (size_t size = 0; size < fixture.size(); ++size) try_load(fixture, size);
    for (size_t at = 0; at < fixture.size(); ++at) {
      std::vector<uint8_t> damaged = fixture;
      damaged[at] ^= 0xA5;
      try_load(damaged, damaged.size());
    }
  }
  // A PNG cut anywhere before its image data ends fails: its chunks carry lengths and checksums.
  // (Cut after that, it lacks only the end marker and still has every pixel.)
  constexpr size_t kEndMarker = sizeof kPng - 12;
  for (size_t size = 0; size < kEndMarker; ++size) {
    TPicture picture;
    EXPECT_FALSE(picture.Load(kPng, size)) << size;
  }
}

}  // namespace
}  // namespace setup::win32

// The gradient gauge painted into memory: frame, bar, unfilled part and caption pixel by pixel,
// the setters' range rules and which of them repaint at once.
#include "ui/grad_gauge.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace setup {
namespace {

constexpr uint32_t kBehind = 0x123456;  // what lies behind the gauge before it paints
constexpr uint32_t kWhite = 0xFFFFFF;

// A W x H raster with GDI's rules; texts and fills are also recorded.
class TRasterCanvas : public TCanvas {
 public:
  struct TText {
    std::u16string Text;
    TCanvasRect Rect;
  };

  TRasterCanvas(int width, int height) : W(width), H(height), pixels_(static_cast<size_t>(width * height), kBehind) {}

  uint32_t At(int x, int y) const { return pixels_[static_cast<size_t>(y * W + x)]; }

  void FillRect(const TCanvasRect& r, uint32_t colour) override {
    Fills.push_back({r, colour});
    for (int y = r.Y0; y < r.Y1; ++y) {
      for (int x = r.X0; x < r.X1; ++x) Set(x, y, colour);
    }
  }

  void Polyline(std::span<const TCanvasPoint> points, uint32_t colour) override {
    for (size_t i = 1; i < points.size(); ++i) {
      const TCanvasPoint a = points[i - 1], b = points[i];
      ASSERT_TRUE(a.X == b.X || a.Y == b.Y) << "only straight segments are drawn";
      const int dx = (b.X > a.X) - (b.X < a.X), dy = (b.Y > a.Y) - (b.Y < a.Y);
      for (int x = a.X, y = a.Y; x != b.X || y != b.Y; x += dx, y += dy) Set(x, y, colour);
    }
  }

  void FrameRect(const TCanvasRect& r, uint32_t colour) override {
    for (int x = r.X0; x < r.X1; ++x) Set(x, r.Y0, colour), Set(x, r.Y1 - 1, colour);
    for (int y = r.Y0; y < r.Y1; ++y) Set(r.X0, y, colour), Set(r.X1 - 1, y, colour);
  }

  void StretchRows(const TCanvasRect& r, std::span<const uint32_t> rows) override {
    for (int y = r.Y0; y < r.Y1; ++y) {
      const uint32_t colour = rows[static_cast<size_t>(StretchSourceRow(y - r.Y0, r.Height(), int(rows.size())))];
      for (int x = r.X0; x < r.X1; ++x) Set(x, y, colour);
    }
  }

  void DrawCentredText(const std::u16string& text, const TCanvasRect& r) override { Texts.push_back({text, r}); }

  // Each pixel of the rectangle has the colour (a message names the first that differs).
  ::testing::AssertionResult Filled(const TCanvasRect& r, uint32_t colour) const {
    for (int y = r.Y0; y < r.Y1; ++y) {
      for (int x = r.X0; x < r.X1; ++x) {
        if (At(x, y) != colour) {
          return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << std::hex << At(x, y)
                                               << ", not " << colour;
        }
      }
    }
    return ::testing::AssertionSuccess();
  }

  // The filled width of the bar: inside columns from 2 whose row-2 pixel is not `rest`.
  int BarWidth(uint32_t rest) const {
    int x = 2;
    while (x < W - 1 && At(x, 2) != rest) ++x;
    return x - 2;
  }

  const int W, H;
  std::vector<std::pair<TCanvasRect, uint32_t>> Fills;
  std::vector<TText> Texts;

 private:
  void Set(int x, int y, uint32_t colour) {
    if (x >= 0 && y >= 0 && x < W && y < H) pixels_[static_cast<size_t>(y * W + x)] = colour;
  }
  std::vector<uint32_t> pixels_;
};

// Counts the repaints the gauge asks for.
struct TCountingHost : TGaugeHost {
  void RepaintNow() override { ++Now; }
  void ScheduleRepaint() override { ++Scheduled; }
  int Now = 0, Scheduled = 0;
};

TRasterCanvas Painted(TGradGauge& gauge) {
  TRasterCanvas canvas(gauge.Width(), gauge.Height());
  gauge.Paint(canvas);
  return canvas;
}

// The solid frame: lines on column 1, row 1, column W-1 and row H-1; column and row 0 untouched.
void ExpectSolidFrame(const TRasterCanvas& c, uint32_t colour) {
  EXPECT_TRUE(c.Filled({1, 1, c.W, 2}, colour));
  EXPECT_TRUE(c.Filled({1, c.H - 1, c.W, c.H}, colour));
  EXPECT_TRUE(c.Filled({1, 1, 2, c.H}, colour));
  EXPECT_TRUE(c.Filled({c.W - 1, 1, c.W, c.H}, colour));
  EXPECT_TRUE(c.Filled({0, 0, c.W, 1}, kBehind));
  EXPECT_TRUE(c.Filled({0, 0, 1, c.H}, kBehind));
}

TEST(GradGauge, NewGaugeShowsZeroPercentWithAnEmptyBarInASolidFrame) {
  TGradGauge gauge;
  EXPECT_EQ(gauge.Width(), 200);
  EXPECT_EQ(gauge.Height(), 40);
  EXPECT_EQ(gauge.Caption(), u"0%");
  const TRasterCanvas c = Painted(gauge);
  ExpectSolidFrame(c, 0x876E5A);
  EXPECT_TRUE(c.Filled({2, 2, c.W - 1, c.H - 1}, 0xFFFFFF));
  ASSERT_EQ(c.Texts.size(), 1u);
  EXPECT_EQ(c.Texts[0].Text, u"0%");
  EXPECT_EQ(c.Texts[0].Rect.X1, 200);
  EXPECT_EQ(c.Texts[0].Rect.Y1, 40);
}

TEST(GradGauge, QuarterOfTheRangeFillsAQuarterOfTheInside) {
  TGradGauge gauge;
  gauge.SetMax(200);
  gauge.SetProgress(50);
  EXPECT_EQ(gauge.Caption(), u"25%");
  const TRasterCanvas c = Painted(gauge);
  const int filled = (200 - 3) / 4;  // 49
  EXPECT_TRUE(c.Filled({2, 2, 2 + filled, c.H - 1}, 0xD1AA94));
  EXPECT_TRUE(c.Filled({2 + filled, 2, c.W - 1, c.H - 1}, 0xFFFFFF));
  ExpectSolidFrame(c, 0x876E5A);
  EXPECT_EQ(c.Texts.back().Text, u"25%");
}

TEST(GradGauge, ProgressIsClampedAndAFullBarDrawsNoUnfilledPart) {
  TGradGauge gauge;
  gauge.SetProgress(150);
  EXPECT_EQ(gauge.Progress(), 100);
  EXPECT_EQ(gauge.Caption(), u"100%");
  gauge.SetBackcolor(0x00FF00);
  TRasterCanvas c = Painted(gauge);
  EXPECT_TRUE(c.Filled({2, 2, c.W - 1, c.H - 1}, 0xD1AA94));
  for (const auto& [rect, colour] : c.Fills) EXPECT_NE(colour, 0x00FF00u) << "unfilled part drawn";

  gauge.SetProgress(-7);
  EXPECT_EQ(gauge.Progress(), 0);
  EXPECT_EQ(gauge.Caption(), u"0%");
}

TEST(GradGauge, RangeEndsThatWouldMeetOrCrossAreIgnored) {
  TCountingHost host;
  TGradGauge gauge(&host);
  gauge.SetMin(100);  // equal to Max
  gauge.SetMin(150);  // above Max
  gauge.SetMax(0);    // equal to Min
  gauge.SetMax(-5);   // below Min
  gauge.SetMax(100);  // unchanged
  EXPECT_EQ(gauge.Min(), 0);
  EXPECT_EQ(gauge.Max(), 100);
  EXPECT_EQ(host.Now + host.Scheduled, 0);

  // Accepted ends pull Progress along and repaint both at once and later.
  gauge.SetProgress(80);
  host = {};
  gauge.SetMax(60);
  EXPECT_EQ(gauge.Progress(), 60);
  EXPECT_EQ(gauge.Caption(), u"100%");
  EXPECT_EQ(host.Now, 1);
  EXPECT_EQ(host.Scheduled, 1);
  gauge.SetMin(70);  // not below Max 60
  EXPECT_EQ(gauge.Min(), 0);
  gauge.SetProgress(0);
  gauge.SetMin(20);
  EXPECT_EQ(gauge.Progress(), 20);
  EXPECT_EQ(gauge.Caption(), u"0%");
}

TEST(GradGauge, EveryRangeGivesTheTruePercentage) {
  // The uninstall of 6 items steps the gauge 1 … 6.
  TGradGauge gauge;
  gauge.SetMax(6);
  const char16_t* expected[] = {u"16%", u"33%", u"50%", u"66%", u"83%", u"100%"};
  for (int n = 1; n <= 6; ++n) {
    gauge.SetProgress(n);
    EXPECT_EQ(gauge.Caption(), expected[n - 1]) << n;
  }
  // The bar rounds: 1 of 6 is 16.7, so 17% of 197 pixels; 1 of 8 is 12.5, so 13%.
  gauge.SetProgress(1);
  EXPECT_EQ(Painted(gauge).BarWidth(0xFFFFFF), 197 * 17 / 100);
  EXPECT_EQ(GaugeFillPercent(0, 8, 1), 13);

  // Ranges wider than 32 bits hold; without a positive Max the caption stays "0%", the bar not.
  EXPECT_EQ(GaugeCaption(INT32_MIN, INT32_MAX, 0), u"50%");
  EXPECT_EQ(GaugeFillPercent(INT32_MIN, INT32_MAX, INT32_MAX), 100);
  gauge.SetMin(-100);
  gauge.SetMax(0);
  gauge.SetProgress(-50);
  EXPECT_EQ(gauge.Caption(), u"0%");
  EXPECT_EQ(Painted(gauge).BarWidth(0xFFFFFF), 197 / 2);
}

TEST(GradGauge, EqualColoursGiveAFlatBarAndDifferentOnesAGradientShortOfColor2) {
  TGradGauge gauge;
  gauge.SetProgress(100);
  gauge.SetColor1(0x0A00C8);
  gauge.SetColor2(0x0A00C8);
  EXPECT_TRUE(Painted(gauge).Filled({2, 2, 199, 39}, 0x0A00C8));

  // Over 35 rows green 0 -> 35 rises one a row and ends at 34, one short; red 200 -> 130 falls
  // two a row and ends at 132; blue stays.
  gauge.SetColor2(0x0A2382);
  const TRasterCanvas c = Painted(gauge);
  const std::vector<uint32_t>& rows = gauge.GradientRows();
  ASSERT_EQ(rows.size(), 35u);
  EXPECT_EQ(gauge.GradientWidth(), 200);
  EXPECT_EQ(rows.front(), 0x0A00C8u);
  EXPECT_EQ(rows.back(), 0x0A2284u);
  EXPECT_EQ(rows[17], 0x0A11A6u);  // green 17, red 200 - 34
  // The 35 rows are stretched over the bar's 37, top to bottom, the same across each row.
  EXPECT_TRUE(c.Filled({2, 2, 199, 3}, rows.front()));
  EXPECT_TRUE(c.Filled({2, 38, 199, 39}, rows.back()));
  EXPECT_TRUE(c.Filled({2, 20, 199, 21}, rows[StretchSourceRow(18, 37, 35)]));
  ExpectSolidFrame(c, 0x876E5A);

  // A new size rebuilds the rows at the next paint; a new colour at once.
  gauge.SetSize(100, 20);
  Painted(gauge);
  ASSERT_EQ(rows.size(), 15u);
  EXPECT_EQ(rows.back(), 0x0A2087u);  // 14 of 15 steps: green 32, red 200 - 65 (whole part of 65.3)
  gauge.SetColor1(0x000000);
  EXPECT_EQ(rows.back(), 0x092079u);  // 14/15 of 10, 35 and 130
}

TEST(GradGauge, RaisedAndLoweredFramesAreLightOverTheTopLeftAndDarkUnderTheBottomRight) {
  TGradGauge gauge;
  gauge.SetSize(50, 20);
  gauge.SetBorderStyle(ggRaised);
  for (const auto& [light, dark] : {std::pair{kWhite, 0x876E5Au}, std::pair{0x876E5Au, kWhite}}) {
    const TRasterCanvas c = Painted(gauge);
    EXPECT_TRUE(c.Filled({1, 1, 2, 19}, light));    // left, down to the row above the bottom
    EXPECT_TRUE(c.Filled({1, 1, 49, 2}, light));    // top, up to the column before the right
    EXPECT_TRUE(c.Filled({49, 1, 50, 20}, dark));   // right
    EXPECT_TRUE(c.Filled({1, 19, 50, 20}, dark));   // bottom, from column 1
    EXPECT_EQ(c.At(0, 19), kBehind);                // the path's end point is not drawn
    EXPECT_TRUE(c.Filled({2, 2, 49, 19}, 0xFFFFFF));
    gauge.SetBorderStyle(ggLowered);
  }
}

TEST(GradGauge, SettersRepaintAtOnceOrLaterAsTheyShould) {
  TCountingHost host;
  TGradGauge gauge(&host);
  gauge.SetProgress(0);  // unchanged
  EXPECT_EQ(host.Now, 0);
  gauge.SetProgress(5);
  EXPECT_EQ(host.Now, 1);
  gauge.SetBackcolor(0xFFFFFF);  // unchanged
  gauge.SetBackcolor(1);
  gauge.SetBorderColor(2);
  gauge.SetBorderStyle(ggLowered);
  gauge.SetColor1(3);
  gauge.SetVisible(false);
  EXPECT_EQ(host.Scheduled, 5);
  EXPECT_EQ(host.Now, 1);

  // A caption of one's own stays until the percentage changes, or a Progress setting of the same
  // value refreshes it.
  gauge.SetCaption(u"Copying");
  EXPECT_EQ(host.Now, 2);
  gauge.SetProgress(5);
  EXPECT_EQ(gauge.Caption(), u"5%");
  EXPECT_EQ(host.Now, 3);
  gauge.SetProgress(5);
  EXPECT_EQ(host.Now, 3);

  // Without Autocaption the caption is left alone; turning it back on recomputes it.
  gauge.SetAutocaption(false);
  gauge.SetCaption(u"Working");
  gauge.SetProgress(9);
  gauge.SetMax(50);
  EXPECT_EQ(gauge.Caption(), u"Working");
  host = {};
  gauge.SetAutocaption(true);
  EXPECT_EQ(gauge.Caption(), u"18%");
  EXPECT_EQ(host.Now, 1);
  EXPECT_EQ(host.Scheduled, 1);
}

TEST(GradGauge, AnInvisibleGaugePaintsNothingAndATinyOneStaysInside) {
  TGradGauge gauge;
  gauge.SetVisible(false);
  const TRasterCanvas hidden = Painted(gauge);
  EXPECT_TRUE(hidden.Filled({0, 0, 200, 40}, kBehind));
  EXPECT_TRUE(hidden.Texts.empty());

  gauge.SetVisible(true);
  gauge.SetColor2(0);
  for (int size : {0, 1, 2, 3, 4, 5, 6}) {
    gauge.SetSize(size, size);
    for (int progress : {0, 50, 100}) {
      gauge.SetProgress(progress);
      TRasterCanvas c = Painted(gauge);
      for (const auto& [rect, colour] : c.Fills) {
        EXPECT_FALSE(rect.Empty());
        EXPECT_TRUE(rect.X0 >= 2 && rect.Y0 >= 2 && rect.X1 <= size - 1 && rect.Y1 <= size - 1) << size;
      }
    }
  }
}

TEST(GradGauge, SystemColoursAreDrawnAsTheHostResolvesThem) {
  struct TSystemHost : TCountingHost {
    uint32_t ResolveColour(uint32_t colour) override { return colour == 0x8000000F ? 0x102030 : colour; }
  } host;
  TGradGauge gauge(&host);
  gauge.SetBackcolor(0x8000000F);
  EXPECT_TRUE(Painted(gauge).Filled({2, 2, 199, 39}, 0x102030));
  gauge.SetProgress(100);
  gauge.SetColor1(0x8000000F);
  gauge.SetColor2(0x000000);
  Painted(gauge);
  EXPECT_EQ(gauge.GradientRows().front(), 0x102030u);
}

}  // namespace
}  // namespace setup

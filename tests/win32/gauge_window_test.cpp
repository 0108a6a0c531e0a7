// The gauge window under Wine: what it paints over its parent's background, read back from a
// 32-bit DIB section, and what it answers to the standard messages.
#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/view/gauge_window.h"
#include "platform/win32/view/view_support.h"

namespace setup::win32 {
namespace {

constexpr COLORREF kPageColour = RGB(0x12, 0x34, 0x56);  // what the test parent paints behind
constexpr COLORREF kBorder = 0x876E5A;
constexpr COLORREF kFill = 0xD1AA94;
constexpr COLORREF kWhite = 0xFFFFFF;

// A top-level window that paints kPageColour behind its children when it is asked to, or,
// as a plain window, does not answer.
LRESULT CALLBACK PageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kMsgPaintBehind && GetPropW(hwnd, L"PaintsBehind")) {
    RECT r{};
    GetClientRect(reinterpret_cast<HWND>(lp), &r);
    HBRUSH brush = CreateSolidBrush(kPageColour);
    FillRect(reinterpret_cast<HDC>(wp), &r, brush);
    DeleteObject(brush);
    return 1;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

class GaugeWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RegisterWindowClass(L"GaugeTestPage", PageProc));
    page_ = CreateWindowExW(0, L"GaugeTestPage", L"Gauge test", WS_OVERLAPPEDWINDOW, 0, 0, 400, 200, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(page_, nullptr);
    SetPropW(page_, L"PaintsBehind", reinterpret_cast<HANDLE>(1));
    gauge_ = CreateGaugeWindow(page_, 10, 10, 200, 40);
    ASSERT_NE(gauge_, nullptr);
  }
  void TearDown() override {
    if (page_) {
      RemovePropW(page_, L"PaintsBehind");
      DestroyWindow(page_);
    }
  }

  // Renders the gauge through WM_PRINTCLIENT into a top-down 32-bit DIB section.
  class Rendering {
   public:
    explicit Rendering(HWND gauge) {
      RECT r{};
      GetClientRect(gauge, &r);
      width_ = r.right;
      BITMAPINFO info{};
      info.bmiHeader.biSize = sizeof info.bmiHeader;
      info.bmiHeader.biWidth = r.right;
      info.bmiHeader.biHeight = -r.bottom;
      info.bmiHeader.biPlanes = 1;
      info.bmiHeader.biBitCount = 32;
      info.bmiHeader.biCompression = BI_RGB;
      dc_ = CreateCompatibleDC(nullptr);
      bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
      previous_ = SelectObject(dc_, bitmap_);
      SendMessageW(gauge, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc_), PRF_CLIENT);
      GdiFlush();
    }
    ~Rendering() {
      SelectObject(dc_, previous_);
      DeleteObject(bitmap_);
      DeleteDC(dc_);
    }
    Rendering(const Rendering&) = delete;
    Rendering& operator=(const Rendering&) = delete;

    // The pixel as a colour value (the DIB holds blue in the low byte).
    COLORREF At(int x, int y) const {
      const DWORD p = bits_[y * width_ + x];
      return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }

   private:
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    DWORD* bits_ = nullptr;
    int width_ = 0;
  };

  std::wstring Text() const {
    wchar_t text[32] = {};
    GetWindowTextW(gauge_, text, 32);
    return text;
  }

  HWND page_ = nullptr;
  HWND gauge_ = nullptr;
};

TEST_F(GaugeWindowTest, PaintsFrameBarAndUnfilledPartOverWhatLiesBehind) {
  TGradGauge* gauge = GaugeOf(gauge_);
  ASSERT_NE(gauge, nullptr);
  EXPECT_EQ(gauge->Width(), 200);
  EXPECT_EQ(gauge->Height(), 40);
  gauge->SetMax(200);
  gauge->SetProgress(50);
  EXPECT_EQ(Text(), L"25%");

  const Rendering r(gauge_);
  EXPECT_EQ(r.At(0, 0), kPageColour);  // outside the frame
  EXPECT_EQ(r.At(5, 0), kPageColour);
  EXPECT_EQ(r.At(1, 1), kBorder);
  EXPECT_EQ(r.At(1, 20), kBorder);
  EXPECT_EQ(r.At(199, 20), kBorder);
  EXPECT_EQ(r.At(100, 39), kBorder);
  // A quarter of the 197 inside pixels is 49: columns 2 … 50.
  EXPECT_EQ(r.At(2, 2), kFill);
  EXPECT_EQ(r.At(50, 5), kFill);
  EXPECT_EQ(r.At(50, 38), kFill);
  EXPECT_EQ(r.At(51, 5), kWhite);
  EXPECT_EQ(r.At(198, 38), kWhite);

  // The caption "25%" is written in the middle, dark on white.
  int dark = 0;
  for (int y = 10; y < 30; ++y) {
    for (int x = 80; x < 120; ++x) dark += r.At(x, y) == GetSysColor(COLOR_WINDOWTEXT);
  }
  EXPECT_GT(dark, 10);
}

TEST_F(GaugeWindowTest, GradientRunsFromColor1AtTheTopAndFollowsTheWindowSize) {
  TGradGauge* gauge = GaugeOf(gauge_);
  gauge->SetColor1(RGB(200, 0, 0));
  gauge->SetColor2(RGB(0, 0, 200));
  gauge->SetProgress(100);
  {
    const Rendering r(gauge_);
    EXPECT_EQ(r.At(30, 2), RGB(200, 0, 0));
    EXPECT_EQ(r.At(30, 38), gauge->GradientRows().back());
    EXPECT_EQ(GetRValue(r.At(30, 20)), 200 - 200 * 17 / 35);  // row 18 of 37 shows row 17 of 35
  }

  SetWindowPos(gauge_, nullptr, 0, 0, 120, 24, SWP_NOMOVE | SWP_NOZORDER);
  EXPECT_EQ(gauge->Width(), 120);
  EXPECT_EQ(gauge->Height(), 24);
  const Rendering r(gauge_);
  EXPECT_EQ(gauge->GradientRows().size(), 19u);
  EXPECT_EQ(r.At(119, 10), kBorder);
  EXPECT_EQ(r.At(60, 22), gauge->GradientRows().back());
}

TEST_F(GaugeWindowTest, AProgressChangeIsOnScreenWhenTheSetterReturns) {
  ShowWindow(page_, SW_SHOWNOACTIVATE);
  UpdateWindow(page_);
  TGradGauge* gauge = GaugeOf(gauge_);
  gauge->SetBackcolor(RGB(0, 255, 0));
  gauge->SetProgress(100);  // repaints at once, without a message loop
  HDC dc = GetDC(gauge_);
  EXPECT_EQ(GetPixel(dc, 150, 20), kFill);
  ReleaseDC(gauge_, dc);
}

TEST_F(GaugeWindowTest, AnswersOnlyForGaugesAndKeepsItsFontAndCaption) {
  EXPECT_EQ(GaugeOf(page_), nullptr);
  EXPECT_EQ(GaugeOf(nullptr), nullptr);

  EXPECT_EQ(SendMessageW(gauge_, WM_GETFONT, 0, 0), 0);
  HFONT font = static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
  SendMessageW(gauge_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(gauge_, WM_GETFONT, 0, 0)), font);

  EXPECT_EQ(Text(), L"0%");
  EXPECT_EQ(GetWindowTextLengthW(gauge_), 2);
  wchar_t small[2] = {L'x', L'x'};
  EXPECT_EQ(SendMessageW(gauge_, WM_GETTEXT, 2, reinterpret_cast<LPARAM>(small)), 1);
  EXPECT_STREQ(small, L"0");
  SetWindowTextW(gauge_, L"Copying");
  EXPECT_EQ(GaugeOf(gauge_)->Caption(), u"Copying");

  // A parent that does not paint behind its children: the gauge falls back to the face colour.
  RemovePropW(page_, L"PaintsBehind");
  const Rendering r(gauge_);
  EXPECT_EQ(r.At(0, 0), GetSysColor(COLOR_BTNFACE));
}

}  // namespace
}  // namespace setup::win32

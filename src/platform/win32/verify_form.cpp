// The verification window: a tool window without border icons, client area 321 x 70,
// centred on the screen, with a fixed label, a status label and a smooth progress bar. Sizes are
// 96-DPI pixels, scaled with the screen's DPI so that larger text keeps its room.
#include "platform/win32/verify_form.h"

#include <commctrl.h>

namespace setup::win32 {

namespace {

constexpr wchar_t kClassName[] = L"TFrmVerify";
constexpr int kClientWidth = 321;
constexpr int kClientHeight = 70;

LRESULT CALLBACK VerifyProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CLOSE) return 0;  // the window goes when verification ends, not before
  return DefWindowProcW(hwnd, msg, wp, lp);
}


HFONT DialogFont() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    return CreateFontIndirectW(&metrics.lfMessageFont);
  }
  return nullptr;
}

}  // namespace

TFrmVerify::TFrmVerify() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterWindowClass(kClassName, VerifyProc, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  const DWORD style = WS_POPUP | WS_CAPTION;
  const DWORD ex_style = WS_EX_TOOLWINDOW;
  const int dpi = ScreenDpi();
  auto scale = [dpi](int value) { return MulDiv(value, dpi, 96); };
  RECT r{0, 0, scale(kClientWidth), scale(kClientHeight)};
  AdjustWindowRectEx(&r, style, FALSE, ex_style);
  const int w = r.right - r.left;
  const int h = r.bottom - r.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  window_ = CreateWindowExW(ex_style, kClassName, L"Verifying Contents", style, x, y, w, h, nullptr, nullptr,
                            instance, nullptr);
  font_ = DialogFont();
  auto make = [&](const wchar_t* cls, const wchar_t* text, DWORD extra, int cx, int cy, int cw, int ch) {
    HWND c = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | extra, scale(cx), scale(cy), scale(cw), scale(ch),
                             window_, nullptr, instance, nullptr);
    if (font_) SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return c;
  };
  label1_ = make(L"STATIC", L"Verifying contents please wait...", SS_LEFT, 8, 8, 305, 16);
  status_label_ = make(L"STATIC", L"", SS_LEFT, 8, 32, 305, 16);
  progress_bar1_ = make(PROGRESS_CLASSW, L"", PBS_SMOOTH, 8, 48, 305, 16);
  SendMessageW(progress_bar1_, PBM_SETRANGE32, 0, 100);
}

TFrmVerify::~TFrmVerify() {
  if (window_) DestroyWindow(window_);
  if (font_) DeleteObject(font_);
}

void TFrmVerify::Show() {
  ShowWindow(window_, SW_SHOWNORMAL);
  RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

// A setup of thousands of entries verifies hundreds a second; a forced repaint of each one cost
// Wine several seconds before the wizard could show. The window shows the newest state at most
// once a display frame, and always the last entry and the first of a new range.
void TFrmVerify::Update(const std::string& status, int position, int maximum) {
  const DWORD now = GetTickCount();
  if (maximum == shown_maximum_ && position != maximum && now - last_update_ < kUpdateIntervalMs) return;
  last_update_ = now;
  shown_maximum_ = maximum;
  SetWindowTextW(status_label_, WidenUtf8(status).c_str());
  SendMessageW(progress_bar1_, PBM_SETRANGE32, 0, maximum);
  SendMessageW(progress_bar1_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

}  // namespace setup::win32

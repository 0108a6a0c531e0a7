// The gradient gauge's window: a GDI canvas for TGradGauge, the window class that owns the gauge
// and the double-buffered painting.
//
// The wizard sets the gauge's progress up to once a millisecond during an install, and each
// change repaints at once, so a paint is kept cheap: the memory bitmap is kept between paints
// (made again only when the size changes), solid fills go through ExtTextOut's opaque
// rectangle (no brush made), and the gradient is stretched as runs of equal rows.
#include "platform/win32/view/gauge_window.h"

#include <cwchar>
#include <iterator>

#include <new>
#include <vector>

#include "platform/win32/view/view_support.h"

namespace setup::win32 {

namespace {

// A memory DC with a bitmap of a given size selected, kept from paint to paint.
class BackBuffer {
 public:
  BackBuffer() = default;
  ~BackBuffer() { Release(); }
  BackBuffer(const BackBuffer&) = delete;
  BackBuffer& operator=(const BackBuffer&) = delete;

  // The DC, with a bitmap of at least the size; null when GDI cannot make it.
  HDC Fit(int width, int height) {
    if (dc_ && width == width_ && height == height_) return dc_;
    Release();
    HDC screen = GetDC(nullptr);
    dc_ = CreateCompatibleDC(screen);
    bitmap_.Reset(CreateCompatibleBitmap(screen, width, height));
    ReleaseDC(nullptr, screen);
    if (!dc_ || !bitmap_.Get()) {
      Release();
      return nullptr;
    }
    previous_ = SelectObject(dc_, bitmap_.Get());
    width_ = width;
    height_ = height;
    return dc_;
  }

 private:
  void Release() {
    if (dc_) {
      if (previous_) SelectObject(dc_, previous_);
      DeleteDC(dc_);
    }
    bitmap_.Reset();
    dc_ = nullptr;
    previous_ = nullptr;
    width_ = height_ = 0;
  }

  HDC dc_ = nullptr;
  ScopedGdi<> bitmap_;
  HGDIOBJ previous_ = nullptr;
  int width_ = 0, height_ = 0;
};

RECT ToRect(const TCanvasRect& r) { return RECT{r.X0, r.Y0, r.X1, r.Y1}; }

// TCanvas on a DC. The DC's state (colours, modes, selections) is saved on construction and
// restored when the canvas goes.
class GdiCanvas final : public TCanvas {
 public:
  GdiCanvas(HDC dc, HFONT font) : dc_(dc), font_(font), saved_(SaveDC(dc)) {}
  ~GdiCanvas() override {
    if (saved_) RestoreDC(dc_, saved_);
  }
  GdiCanvas(const GdiCanvas&) = delete;
  GdiCanvas& operator=(const GdiCanvas&) = delete;

  void FillRect(const TCanvasRect& rect, uint32_t colour) override {
    const RECT r = ToRect(rect);
    SetBkColor(dc_, colour);
    ExtTextOutW(dc_, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
  }

  void Polyline(std::span<const TCanvasPoint> points, uint32_t colour) override {
    std::vector<POINT> path;
    path.reserve(points.size());
    for (const TCanvasPoint& p : points) path.push_back({p.X, p.Y});
    ScopedGdi<> pen(CreatePen(PS_SOLID, 1, colour));
    ScopedSelection use_pen(dc_, pen.Get());
    ::Polyline(dc_, path.data(), static_cast<int>(path.size()));
  }

  void FrameRect(const TCanvasRect& rect, uint32_t colour) override {
    ScopedGdi<> pen(CreatePen(PS_SOLID, 1, colour));
    ScopedSelection use_pen(dc_, pen.Get());
    ScopedSelection clear_brush(dc_, GetStockObject(NULL_BRUSH));
    ::Rectangle(dc_, rect.X0, rect.Y0, rect.X1, rect.Y1);
  }

  void StretchRows(const TCanvasRect& rect, std::span<const uint32_t> rows) override {
    const int height = rect.Height();
    if (rows.empty() || height <= 0) return;
    const int source_height = static_cast<int>(rows.size());
    int run_start = 0;
    for (int y = 1; y <= height; ++y) {
      const uint32_t colour = rows[static_cast<size_t>(StretchSourceRow(run_start, height, source_height))];
      if (y < height && rows[static_cast<size_t>(StretchSourceRow(y, height, source_height))] == colour) continue;
      FillRect({rect.X0, rect.Y0 + run_start, rect.X1, rect.Y0 + y}, colour);
      run_start = y;
    }
  }

  void DrawCentredText(const std::u16string& text, const TCanvasRect& rect) override {
    RECT r = ToRect(rect);
    SetBkMode(dc_, TRANSPARENT);
    SetTextColor(dc_, GetSysColor(COLOR_WINDOWTEXT));
    ScopedSelection use_font(dc_, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
    const std::wstring wide = ToWide(text);
    DrawTextW(dc_, wide.c_str(), static_cast<int>(wide.size()), &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  }

 private:
  HDC dc_;
  HFONT font_;
  int saved_;
};

// The state of one gauge window, reached through GWLP_USERDATA.
class GaugeWindow final : public TGaugeHost {
 public:
  explicit GaugeWindow(HWND hwnd) : hwnd_(hwnd) {}

  TGradGauge Gauge{this};
  HFONT Font = nullptr;  // the caption's font, owned by whoever set it

  void RepaintNow() override { RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW); }
  void ScheduleRepaint() override { InvalidateRect(hwnd_, nullptr, FALSE); }

  // System colours are written as a flag in the high byte (0x80, or 0xFF) and a GetSysColor
  // index in the low byte. Any other high byte is dropped: GDI would read it as a palette
  // reference.
  uint32_t ResolveColour(uint32_t colour) override {
    const uint32_t flag = colour >> 24;
    if (flag == 0x80 || flag == 0xFF) return GetSysColor(static_cast<int>(colour & 0xFF));
    return colour & 0xFFFFFF;
  }

  // Draws the gauge over what lies behind it in the back buffer and copies the result once.
  void PaintInto(HDC target) {
    RECT client{};
    GetClientRect(hwnd_, &client);
    if (client.right <= 0 || client.bottom <= 0) return;
    HDC buffer = back_buffer_.Fit(client.right, client.bottom);
    if (!buffer) return;
    PaintBehind(hwnd_, buffer, client, GetSysColor(COLOR_BTNFACE));
    try {
      GdiCanvas canvas(buffer, Font);
      Gauge.Paint(canvas);
    } catch (const std::bad_alloc&) {
      // Out of memory for the gradient: this paint shows what lies behind; the next one tries again.
    }
    BitBlt(target, 0, 0, client.right, client.bottom, buffer, 0, 0, SRCCOPY);
  }

 private:
  HWND hwnd_;
  BackBuffer back_buffer_;
};

GaugeWindow* StateOf(HWND hwnd) { return reinterpret_cast<GaugeWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

LRESULT OnNcCreate(HWND hwnd, WPARAM wp, LPARAM lp) {
  auto* state = new (std::nothrow) GaugeWindow(hwnd);
  if (!state) return FALSE;
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lp);
  state->Gauge.SetSize(create->cx, create->cy);
  return DefWindowProcW(hwnd, WM_NCCREATE, wp, lp);
}

void OnNcDestroy(HWND hwnd) {
  delete StateOf(hwnd);
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
}

void OnPaint(HWND hwnd, GaugeWindow& state) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  if (dc) state.PaintInto(dc);
  EndPaint(hwnd, &ps);
}

void OnSize(GaugeWindow& state, LPARAM lp) {
  state.Gauge.SetSize(LOWORD(lp), HIWORD(lp));
  state.ScheduleRepaint();
}

void OnSetFont(GaugeWindow& state, WPARAM wp, LPARAM lp) {
  state.Font = reinterpret_cast<HFONT>(wp);
  if (LOWORD(lp)) state.ScheduleRepaint();
}

// WM_GETTEXT: as much of the caption as fits, always terminated; the count copied.
LRESULT OnGetText(GaugeWindow& state, WPARAM capacity, LPARAM lp) {
  auto* buffer = reinterpret_cast<wchar_t*>(lp);
  if (!buffer || capacity == 0) return 0;
  const std::u16string& caption = state.Gauge.Caption();
  const size_t count = caption.size() < capacity ? caption.size() : capacity - 1;
  for (size_t i = 0; i < count; ++i) buffer[i] = static_cast<wchar_t>(caption[i]);
  buffer[count] = L'\0';
  return static_cast<LRESULT>(count);
}

LRESULT OnSetText(GaugeWindow& state, LPARAM lp) {
  const auto* text = reinterpret_cast<const wchar_t*>(lp);
  state.Gauge.SetCaption(text ? ToU16(text) : std::u16string());
  return TRUE;
}

LRESULT CALLBACK GaugeProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) return OnNcCreate(hwnd, wp, lp);
  GaugeWindow* state = StateOf(hwnd);
  if (!state) return DefWindowProcW(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_NCDESTROY:
      OnNcDestroy(hwnd);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // the paint covers every pixel
    case WM_PAINT:
      OnPaint(hwnd, *state);
      return 0;
    case WM_PRINTCLIENT:
      state->PaintInto(reinterpret_cast<HDC>(wp));
      return 0;
    case WM_SIZE:
      OnSize(*state, lp);
      return 0;
    case WM_SETFONT:
      OnSetFont(*state, wp, lp);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(state->Font);
    case WM_GETTEXT:
      return OnGetText(*state, wp, lp);
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(state->Gauge.Caption().size());
    case WM_SETTEXT:
      return OnSetText(*state, lp);
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace

HWND CreateGaugeWindow(HWND parent, int x, int y, int width, int height) {
  if (!RegisterWindowClass(kGaugeClassName, GaugeProc)) return nullptr;
  return CreateWindowExW(0, kGaugeClassName, L"", WS_CHILD | WS_VISIBLE, x, y, width, height, parent, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
}

TGradGauge* GaugeOf(HWND gauge) {
  wchar_t name[std::size(kGaugeClassName) + 1] = {};
  if (!gauge || !GetClassNameW(gauge, name, static_cast<int>(std::size(name))) || wcscmp(name, kGaugeClassName) != 0) {
    return nullptr;
  }
  DWORD process = 0;
  GetWindowThreadProcessId(gauge, &process);
  if (process != GetCurrentProcessId()) return nullptr;
  GaugeWindow* state = StateOf(gauge);
  return state ? &state->Gauge : nullptr;
}

}  // namespace setup::win32

// What the wizard window's controls share: the message by which a control asks the content
// panel to paint what lies behind it, and the DPI scaling of layout coordinates.
//
// Layout coordinates and sizes are 96-DPI pixels; every control scales them once with Scale().
// Controls that paint themselves double-buffered first fill their memory DC with what lies
// behind them (the panel's colour and the windowless pictures, bevels and panels) by sending
// kMsgPaintBehind to their parent, so that transparent parts show the page, not a box.
#pragma once

#include "platform/win32/windows_support.h"

namespace setup::win32 {

// Sent by a child control to its parent: WPARAM is an HDC whose origin is the child's top-left
// corner, LPARAM the child's HWND. The parent paints into it what lies behind the child and
// returns 1; a parent that does not know the message returns 0 (the child then fills the DC
// with its own background).
constexpr UINT kMsgPaintBehind = WM_APP + 1;

// Owns a GDI object (pen, brush, bitmap, font) and deletes it.
template <typename T = HGDIOBJ>
class ScopedGdi {
 public:
  explicit ScopedGdi(T object = nullptr) : object_(object) {}
  ~ScopedGdi() { Reset(); }
  ScopedGdi(const ScopedGdi&) = delete;
  ScopedGdi& operator=(const ScopedGdi&) = delete;
  T Get() const { return object_; }
  void Reset(T object = nullptr) {
    if (object_) DeleteObject(object_);
    object_ = object;
  }

 private:
  T object_;
};

// Selects an object into a DC for the guard's lifetime and selects the previous one back.
class ScopedSelection {
 public:
  ScopedSelection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(object ? SelectObject(dc, object) : nullptr) {}
  ~ScopedSelection() {
    if (previous_) SelectObject(dc_, previous_);
  }
  ScopedSelection(const ScopedSelection&) = delete;
  ScopedSelection& operator=(const ScopedSelection&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// A memory DC with a bitmap the size of what is painted, for drawing off screen and copying once.
class TMemoryDc {
 public:
  TMemoryDc(HDC target, int width, int height)
      : dc_(CreateCompatibleDC(target)),
        bitmap_(CreateCompatibleBitmap(target, width > 0 ? width : 1, height > 0 ? height : 1)),
        selection_(dc_.Get(), bitmap_.Get()) {}
  ~TMemoryDc() = default;
  TMemoryDc(const TMemoryDc&) = delete;
  TMemoryDc& operator=(const TMemoryDc&) = delete;
  HDC Dc() const { return dc_.Get(); }

 private:
  struct TDcOwner {
    explicit TDcOwner(HDC dc) : dc_(dc) {}
    ~TDcOwner() {
      if (dc_) DeleteDC(dc_);
    }
    HDC Get() const { return dc_; }
    HDC dc_;
  };
  TDcOwner dc_;  // destroyed last: the bitmap is selected out, then deleted, then the DC
  ScopedGdi<HBITMAP> bitmap_;
  ScopedSelection selection_;
};

// Loads the rich-text control's library once (the class RICHEDIT_CLASSW lives in it).
inline void LoadRichEdit() {
  static const HMODULE library = LoadLibraryW(L"riched20.dll");
  (void)library;
}

// A length in 96-DPI layout pixels at the given DPI (rounded to nearest).
inline int Scale(int value, int dpi) { return MulDiv(value, dpi, 96); }

// Fills the DC of a child control with what lies behind it (see kMsgPaintBehind); falls back
// to the given colour when the parent does not paint it.
inline void PaintBehind(HWND child, HDC dc, const RECT& client, COLORREF fallback) {
  HWND parent = GetParent(child);
  if (parent && SendMessageW(parent, kMsgPaintBehind, reinterpret_cast<WPARAM>(dc),
                             reinterpret_cast<LPARAM>(child)) == 1) {
    return;
  }
  HBRUSH brush = CreateSolidBrush(fallback);
  FillRect(dc, &client, brush);
  DeleteObject(brush);
}

}  // namespace setup::win32

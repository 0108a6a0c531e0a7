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

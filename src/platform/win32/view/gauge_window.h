// The gradient gauge as a child window (class L"TGradGauge"): the window owns a TGradGauge,
// keeps its size in step with the client area and paints it double-buffered with GDI.
//
// The caption is drawn in the font given by WM_SETFONT (the GUI font until one is given) and
// can be read with WM_GETTEXT; WM_SETTEXT sets it. Size and position are device pixels.
#pragma once

#include "platform/win32/windows_support.h"

#include "ui/grad_gauge.h"

namespace setup::win32 {

constexpr wchar_t kGaugeClassName[] = L"TGradGauge";

// A visible gauge child of `parent`; null when the window cannot be made.
HWND CreateGaugeWindow(HWND parent, int x, int y, int width, int height);

// The gauge a gauge window shows; null for any other window.
TGradGauge* GaugeOf(HWND gauge);

}  // namespace setup::win32

// TFrmDebug: a sizeable window with one rich-text box that shows the wizard's diagnostic dump.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/windows_support.h"

namespace setup::win32 {

// Shows the lines (ANSI) in the debug window, modal to owner, until the user closes it.
void ShowDebugDump(HWND owner, const std::vector<std::string>& lines, int dpi);

}  // namespace setup::win32

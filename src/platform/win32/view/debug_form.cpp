// The debug window: caption "Debug", 870 x 600 at 96 DPI, centred, sizeable, its rich-text box
// (RichEdit1) filling the client area with both scroll bars.
#include "platform/win32/view/debug_form.h"

#include <richedit.h>

#include "platform/win32/view/view_support.h"

namespace setup::win32 {

namespace {

constexpr wchar_t kDebugClass[] = L"TFrmDebug";
constexpr int kWidth = 870, kHeight = 600;

LRESULT CALLBACK DebugProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SIZE:
      if (HWND rich = GetWindow(window, GW_CHILD)) MoveWindow(rich, 0, 0, LOWORD(lp), HIWORD(lp), TRUE);
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
  }
  return DefWindowProcW(window, msg, wp, lp);
}

}  // namespace

void ShowDebugDump(HWND owner, const std::vector<std::string>& lines, int dpi) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterWindowClass(kDebugClass, DebugProc, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  LoadRichEdit();
  const int w = Scale(kWidth, dpi), h = Scale(kHeight, dpi);
  const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  HWND window = CreateWindowExW(0, kDebugClass, L"Debug", WS_OVERLAPPEDWINDOW, x, y, w, h, owner, nullptr, instance,
                                nullptr);
  if (!window) return;
  RECT client{};
  GetClientRect(window, &client);
  HWND rich = CreateWindowExW(WS_EX_CLIENTEDGE, RICHEDIT_CLASSW, L"",
                              WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_AUTOVSCROLL |
                                  ES_AUTOHSCROLL | ES_READONLY,
                              0, 0, client.right, client.bottom, window, nullptr, instance, nullptr);
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  SendMessageW(rich, WM_SETFONT, static_cast<WPARAM>(SendMessageW(owner, WM_GETFONT, 0, 0)), FALSE);
  SetWindowTextW(rich, L"");  // the box is cleared, then filled
  SetWindowTextW(rich, WidenUtf8(text).c_str());
  // Modal: the owner takes no input until the debug window is gone.
  EnableWindow(owner, FALSE);
  ShowWindow(window, SW_SHOWNORMAL);
  MSG msg;
  while (IsWindow(window) && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  EnableWindow(owner, TRUE);
  if (owner) SetActiveWindow(owner);
}

}  // namespace setup::win32

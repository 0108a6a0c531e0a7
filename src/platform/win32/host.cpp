// The portable code's view of Windows, and the small shared pieces of the Windows edge.
#include "platform/win32/host.h"

#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <shlobj.h>
#include "core/text.h"


namespace setup::win32 {

namespace {
HWND g_application_window = nullptr;
}  // namespace

HWND ApplicationWindow() { return g_application_window; }
void SetApplicationWindow(HWND window) { g_application_window = window; }

std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

HKEY RootIndexToHandle(int index) {
  static const HKEY kRoots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS,
                                HKEY_CURRENT_CONFIG};
  if (index < 0 || index >= 5) return nullptr;
  return kRoots[index];
}

int ScreenDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

int64_t FreeBytesOnDrive(int drive) {
  if (drive < 1 || drive > 26) return -1;
  const wchar_t root[] = {static_cast<wchar_t>(L'A' + drive - 1), L':', L'\\', 0};
  ULARGE_INTEGER free_to_caller{};
  if (!GetDiskFreeSpaceExW(root, &free_to_caller, nullptr, nullptr)) return -1;
  return static_cast<int64_t>(free_to_caller.QuadPart);
}

int TWin32Host::ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) {
  return MessageBoxW(ApplicationWindow(), Widen(text).c_str(), Widen(caption).c_str(), style);
}

// The quit question has no owner window; task-modal keeps the wizard's buttons from being
// pressed while it is open.
int TWin32Host::ShowMessageBoxWide(const std::u16string& text, const std::u16string& caption, unsigned style) {
  return MessageBoxW(nullptr, ToWide(text).c_str(), ToWide(caption).c_str(), style | MB_TASKMODAL);
}

std::u16string TWin32Host::AnsiToWide(std::string_view text) { return ToU16(Widen(text)); }

std::string TWin32Host::LowerLocale(std::string_view text) {
  std::u16string wide = Utf8ToWide(text);
  if (!wide.empty()) CharLowerBuffW(reinterpret_cast<wchar_t*>(wide.data()), static_cast<DWORD>(wide.size()));
  return WideToUtf8(wide);
}

void TWin32Host::FatalAppExit(const std::string& message) {
  FatalAppExitA(0, message.c_str());
  ExitProcess(3);  // not reached: the system ends the process
}

std::u16string TWin32Host::AppDataFolder() {
  // Asked of the system once: the folder cannot move while setup runs, and the install log
  // contracts it out of every logged path (a shell call per file is slow, under Wine very).
  std::lock_guard<std::mutex> lock(app_data_lock_);
  if (app_data_folder_.empty()) {
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return {};
    app_data_folder_ = ToU16(path);
  }
  return app_data_folder_;
}

}  // namespace setup::win32

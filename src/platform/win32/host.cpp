// The portable code's view of Windows, and the small shared pieces of the Windows edge: the
// UTF-8 and UTF-16 conversions, long paths, the root keys, drives and the running program.
#include "platform/win32/host.h"

#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <shlobj.h>

#include "core/text.h"
#include "engine/run_log.h"

namespace setup::win32 {

namespace {
HWND g_application_window = nullptr;
}  // namespace

HWND ApplicationWindow() { return g_application_window; }
void SetApplicationWindow(HWND window) { g_application_window = window; }

std::wstring WidenUtf8(std::string_view text) {
  const std::u16string wide = Utf8ToWide(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string NarrowUtf8(std::wstring_view text) { return WideToUtf8(ToU16(text)); }

std::wstring SystemPath(std::string_view path) {
  std::wstring wide = WidenUtf8(path);
  if (!NeedsLongPathForm(ToU16(wide))) return wide;
  // The long form bypasses the system's own reading of ".", ".." and "/": the full path first.
  std::wstring full(wide.size() + 1, L'\0');
  for (;;) {
    const DWORD length = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return wide;
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);  // the size asked for, with its closing zero
  }
  return ToWide(LongPathForm(ToU16(full)));
}

std::wstring TempFolderWide() {
  std::wstring folder(MAX_PATH + 1, L'\0');
  for (;;) {
    const DWORD length = GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
    if (length == 0) return {};
    if (length < folder.size()) {
      folder.resize(length);
      break;
    }
    folder.resize(length + 1);
  }
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder;
}

std::wstring RunningProgramWide() {
  // The call cuts the name short, without saying so on older systems, when the buffer is
  // short: grow until the name fits with room to spare.
  std::wstring path(MAX_PATH + 1, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size() - 1) {
      path.resize(length);
      return path;
    }
    if (path.size() > 65536) return {};
    path.resize(path.size() * 2);
  }
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

// Every box a run shows is a step of the run log: a silent run's boxes are what it has to say.
int TWin32Host::ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) {
  LogStep("Message", caption + ": " + text);
  return MessageBoxW(ApplicationWindow(), WidenUtf8(text).c_str(), WidenUtf8(caption).c_str(), style);
}

// The quit question has no owner window; task-modal keeps the wizard's buttons from being
// pressed while it is open.
int TWin32Host::ShowMessageBoxWide(const std::u16string& text, const std::u16string& caption, unsigned style) {
  if (RunLog()) LogStep("Message", WideToUtf8(caption) + ": " + WideToUtf8(text));
  return MessageBoxW(nullptr, ToWide(text).c_str(), ToWide(caption).c_str(), style | MB_TASKMODAL);
}

// The one conversion from the ANSI code page left: texts that setups of the first version stored.
std::u16string TWin32Host::AnsiToWide(std::string_view text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return ToU16(out);
}

std::string TWin32Host::LowerLocale(std::string_view text) {
  std::u16string wide = Utf8ToWide(text);
  if (!wide.empty()) CharLowerBuffW(reinterpret_cast<wchar_t*>(wide.data()), static_cast<DWORD>(wide.size()));
  return WideToUtf8(wide);
}

void TWin32Host::FatalAppExit(const std::string& message) {
  FatalAppExitW(0, WidenUtf8(message).c_str());
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

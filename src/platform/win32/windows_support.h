// The one way into <windows.h> for the whole program, with the small RAII owners and the
// narrow/wide conversions of the Windows edge.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// Under UNICODE <windows.h> maps DeleteFile, CopyFile and FatalAppExit to its wide calls. The
// portable interfaces have operations of those names; the Windows code calls the A and W forms
// by name.
#undef DeleteFile
#undef CopyFile
#undef FatalAppExit

#include <cstdint>
#include <string>
#include <string_view>

namespace setup::win32 {

// Owns a kernel handle; INVALID_HANDLE_VALUE and null both mean none.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE h) : h_(h) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE h = nullptr) {
    if (Valid()) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

// Owns an open registry key.
class ScopedRegKey {
 public:
  ScopedRegKey() = default;
  ~ScopedRegKey() {
    if (key_) RegCloseKey(key_);
  }
  ScopedRegKey(const ScopedRegKey&) = delete;
  ScopedRegKey& operator=(const ScopedRegKey&) = delete;
  HKEY* Receive() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// Narrow text is in the system ANSI code page; wide text is UTF-16.
std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);
inline std::wstring ToWide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
inline std::u16string ToU16(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

// The platform root key of a registry root index, or null outside the table.
HKEY RootIndexToHandle(int index);

// Free bytes the current user may fill on drive number drive (1 = A:), or -1 when the query
// fails or there is no such letter.
int64_t FreeBytesOnDrive(int drive);
// The screen's dots per inch (96 at 100 %); windows built in 96-DPI pixels scale by it.
int ScreenDpi();

// Registers a window class of this program once; a second call for the same name succeeds
// without registering again. False when the system refuses the class.
inline bool RegisterWindowClass(const wchar_t* name, WNDPROC procedure, HBRUSH background = nullptr,
                                HICON icon = nullptr) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = procedure;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = background;
  wc.hIcon = icon;
  wc.lpszClassName = name;
  return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// The application window that owns message boxes and shell calls (null until one exists).
HWND ApplicationWindow();
void SetApplicationWindow(HWND window);

}  // namespace setup::win32

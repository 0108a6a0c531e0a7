// The one way into <windows.h> for the whole program, with the small RAII owners and the
// conversions of the Windows edge: the portable code's texts are UTF-8, the system is called
// through its wide calls only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// Under UNICODE <windows.h> maps DeleteFile, CopyFile, RegDeleteValue and FatalAppExit to its
// wide calls. The portable interfaces have operations of those names; the Windows code calls
// the W forms by name.
#undef DeleteFile
#undef CopyFile
#undef RegDeleteValue
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

// UTF-8 text of the portable code for the wide calls, and back. A surrogate without its partner
// (file names may hold one) survives the way there and back.
std::wstring WidenUtf8(std::string_view text);
std::string NarrowUtf8(std::wstring_view text);
// A UTF-8 path for the wide file calls: an absolute one of kLongPathFrom characters or more is
// made full by the system and given the long-path prefix (core/text.h), so that it works past
// the classic limit of 260 characters.
std::wstring SystemPath(std::string_view path);
inline std::wstring ToWide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
inline std::u16string ToU16(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

// The platform root key of a registry root index, or null outside the table.
HKEY RootIndexToHandle(int index);

// Free bytes the current user may fill on drive number drive (1 = A:), or -1 when the query
// fails or there is no such letter.
int64_t FreeBytesOnDrive(int drive);
// The temporary folder as the system gives it (ending in "\"), or empty when it cannot be had.
std::wstring TempFolderWide();
// The full name of the running program, however long; empty when the system cannot tell.
std::wstring RunningProgramWide();
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

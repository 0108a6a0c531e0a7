// The system's 64-bit view for a 64-bit program. setup.exe is a 32-bit program: on 64-bit
// Windows the system redirects its registry keys under SOFTWARE to WOW6432Node and its system
// folder to SysWOW64. A setup marked 64-bit (architecture x64) asks for the native view once at
// start (TStartupPlatform::UseNativeView); from then on every registry key is opened in the
// 64-bit view and every file call runs with the system folder's redirection off.
#pragma once

#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

namespace setup::win32 {

void SetNativeView(bool on);
bool NativeView();
// KEY_WOW64_64KEY in the native view, 0 otherwise: or-ed into the access of every key opened.
REGSAM RegistryView();
// True on 64-bit Windows (the process runs under WoW64); false on 32-bit Windows.
bool Is64BitWindows();

// Turns the file-system redirection off for the calling thread while it lives, in the native
// view; nothing otherwise. The redirection is the thread's own, so every file call that may run
// on a writer thread takes one.
class ScopedNativeFiles {
 public:
  ScopedNativeFiles();
  ~ScopedNativeFiles();
  ScopedNativeFiles(const ScopedNativeFiles&) = delete;
  ScopedNativeFiles& operator=(const ScopedNativeFiles&) = delete;

 private:
  void* old_ = nullptr;
  bool off_ = false;
};

}  // namespace setup::win32

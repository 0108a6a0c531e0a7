// The 64-bit view: the registry flag and the file-system redirection.
#include "platform/win32/native_view.h"

#include <atomic>

namespace setup::win32 {

namespace {

std::atomic<bool> g_native_view{false};

}  // namespace

void SetNativeView(bool on) { g_native_view = on; }

bool NativeView() { return g_native_view; }

REGSAM RegistryView() { return g_native_view ? KEY_WOW64_64KEY : 0; }

bool Is64BitWindows() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

ScopedNativeFiles::ScopedNativeFiles() {
  if (!g_native_view) return;
  off_ = Wow64DisableWow64FsRedirection(&old_) != FALSE;
}

ScopedNativeFiles::~ScopedNativeFiles() {
  if (!off_) return;
  Wow64RevertWow64FsRedirection(old_);
}

}  // namespace setup::win32

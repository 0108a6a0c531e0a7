// WinMain of setup.exe: program start (host, environment, system facts, common controls),
// then the entry sequence, then the process ends with its exit code.
#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <commctrl.h>
#include <objbase.h>

#include <cstdlib>

#include "core/languages.h"
#include "core/setup_state.h"
#include "runtime/startup.h"
#include "platform/win32/error_log.h"
#include "platform/win32/host.h"
#include "platform/win32/md5_win32.h"
#include "platform/win32/sha256_win32.h"
#include "platform/win32/startup_platform.h"
#include "platform/win32/system.h"

// The standard library's own handler for an exception that nothing catches writes the
// exception's type to the standard error stream before it aborts, and so brings the whole C++
// name demangler (some 45 KB) into every setup and uninstaller. A windowed program has no such
// stream to show it in: this one aborts at once, as the standard one does after its message.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

using namespace setup;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  static win32::TWin32Host host;
  SetHost(&host);
  static win32::TWin32System system;
  SetSystem(&system);
  SetMd5Factory(NewCryptoApiMd5);
  SetSha256Factory(NewCryptoApiSha256);
  Globals().State.EnvironmentTable = win32::ReadEnvironmentTable();
  RegisterPlaceholders();
  win32::ReadSystemFacts();

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  win32::TWin32StartupPlatform platform;
  const int code = RunSetup(platform, win32::CommandLineArguments());
  // Nothing after the entry sequence needs orderly clean-up; end without running destructors
  // of objects that other threads may still hold.
  ExitProcess(static_cast<UINT>(code));
}

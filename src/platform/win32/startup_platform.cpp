// What the entry sequence asks of Windows: processes, files, drives, the registry, the shell.
#include "platform/win32/startup_platform.h"

#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>

#include "core/exit_codes.h"
#include "core/text.h"
#include "engine/commands.h"
#include "engine/uninstall_list.h"
#include "platform/win32/error_log.h"
#include "platform/win32/native_view.h"
#include "platform/win32/system.h"
#include "platform/win32/view/main_form.h"
#include "platform/win32/wizard_system.h"

namespace setup::win32 {

std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv) return args;
  for (int i = 1; i < count; ++i) args.push_back(NarrowUtf8(argv[i]));
  LocalFree(argv);
  return args;
}

TEnvironmentTable ReadEnvironmentTable() {
  wchar_t* block = GetEnvironmentStringsW();
  TEnvironmentTable table = ParseEnvironmentBlock(reinterpret_cast<const char16_t*>(block));
  if (block) FreeEnvironmentStringsW(block);
  return table;
}

uint16_t TWin32StartupPlatform::SystemDefaultLanguage() { return GetSystemDefaultLangID(); }

std::string TWin32StartupPlatform::RunningExecutablePath() { return NarrowUtf8(RunningProgramWide()); }

bool TWin32StartupPlatform::FileExists(const std::string& path) {
  const ScopedNativeFiles native;
  const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

uint32_t TWin32StartupPlatform::TickCount() { return GetTickCount(); }

// The wizard window arrives with the wizard; until then start-up runs without one.
void TWin32StartupPlatform::CreateWizard() {}
void TWin32StartupPlatform::FreeWizard() { verify_.reset(); }
void TWin32StartupPlatform::SetApplicationTitle(const std::string& title) { title_ = title; }

void TWin32StartupPlatform::ShowVerifyWindow() {
  verify_ = std::make_unique<TFrmVerify>();
  verify_->Show();
}

void TWin32StartupPlatform::UpdateVerifyWindow(const std::string& status, int position, int maximum) {
  if (verify_) verify_->Update(status, position, maximum);
}

void TWin32StartupPlatform::DestroyVerifyWindow() { verify_.reset(); }

std::u16string TWin32StartupPlatform::FindCdDrive() {
  const std::vector<std::string> roots = TWin32System().CdRomRoots();
  return roots.empty() ? std::u16string() : Utf8ToWide(roots.front());
}

std::u16string TWin32StartupPlatform::SpecialFolderPath(int csidl) {
  PIDLIST_ABSOLUTE items = nullptr;
  if (SHGetSpecialFolderLocation(ApplicationWindow(), csidl, &items) != S_OK || !items) return {};
  wchar_t path[MAX_PATH] = {};
  std::u16string result;
  if (SHGetPathFromIDListW(items, path)) result = ToU16(path);
  CoTaskMemFree(items);
  return result;
}

std::u16string TWin32StartupPlatform::ProgramFiles64Path() {
  if (!Is64BitWindows()) return {};
  // A 32-bit program cannot ask the shell for the native folder: the system names it in the
  // environment, and otherwise it is the program files folder without its " (x86)".
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD length = GetEnvironmentVariableW(L"ProgramW6432", path, MAX_PATH + 1);
  if (length > 0 && length <= MAX_PATH) return ToU16(std::wstring_view(path, length));
  std::u16string folder = SpecialFolderPath(CSIDL_PROGRAM_FILES);
  constexpr std::u16string_view kX86 = u" (x86)";
  if (folder.size() > kX86.size() && folder.ends_with(kX86)) folder.resize(folder.size() - kX86.size());
  return folder;
}

std::u16string TWin32StartupPlatform::SavedGamesPath() {
  wchar_t* path = nullptr;
  std::u16string result;
  if (SHGetKnownFolderPath(FOLDERID_SavedGames, 0, nullptr, &path) == S_OK && path) result = ToU16(path);
  CoTaskMemFree(path);
  return result;
}

bool TWin32StartupPlatform::Is64BitWindows() { return win32::Is64BitWindows(); }

void TWin32StartupPlatform::UseNativeView() { SetNativeView(true); }

bool TWin32StartupPlatform::ReadRegistryString(uint8_t root, const std::string& path, const std::string& name,
                                               std::string& value) {
  const HKEY root_key = RootIndexToHandle(root);
  if (!root_key) return false;
  ScopedRegKey key;
  if (RegOpenKeyExW(root_key, WidenUtf8(path).c_str(), 0, KEY_READ | RegistryView(), key.Receive()) != ERROR_SUCCESS) {
    return false;
  }
  std::string data;
  if (ReadRegistryText(key.Get(), name, data) != ERROR_SUCCESS) return false;
  value = data;
  return true;
}

int64_t TWin32StartupPlatform::FreeBytesOnDrive(int drive) { return win32::FreeBytesOnDrive(drive); }

std::string TWin32StartupPlatform::FullPath(const std::string& path) {
  const std::wstring wide = WidenUtf8(path);
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  return NarrowUtf8(full);
}

void TWin32StartupPlatform::RegisterCommands(TCommandList& list) { setup::RegisterCommands(list); }

void TWin32StartupPlatform::LoadInstallLog(const std::string& folder, const std::string& prefix) {
  UninstallList().LoadLog(folder, prefix);
}
// Silent runs are driven through the wizard's flow without a window: Next again and again until
// the flow ends the process. A run that can go no further (no pages, or a last page that ends
// nothing) ends with exit code 1 instead of looping. Interactive runs show the wizard's window
// and run its message loop until it closes.
void TWin32StartupPlatform::HandOver(bool silent) {
  TWin32WizardSystem system;
  if (silent) {
    TWizardView no_window;
    TWizard wizard(system, no_window);
    wizard.SetPagesUp();
    for (;;) {
      const int before = wizard.Pages.Current;
      wizard.NextButtonClick();
      if (wizard.Pages.Current == before) system.ExitProcess(kExitStopped);
    }
  }
  TFrmMain form(system);
  form.SetPagesUp();
  form.Show();
  form.Run();
}

void TWin32StartupPlatform::WriteErrorLog(const std::string& error_text, const std::string& error_type) {
  win32::WriteErrorLog(error_text, error_type);
}

}  // namespace setup::win32

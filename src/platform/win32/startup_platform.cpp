// What the entry sequence asks of Windows: processes, files, drives, the registry, the shell.
#include "platform/win32/startup_platform.h"

#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <shlobj.h>

#include "core/error.h"
#include "engine/commands.h"
#include "engine/uninstall_list.h"
#include "platform/win32/error_log.h"
#include "platform/win32/system.h"
#include "platform/win32/view/main_form.h"
#include "platform/win32/wizard_system.h"

namespace setup::win32 {

uint16_t TWin32StartupPlatform::SystemDefaultLanguage() { return GetSystemDefaultLangID(); }

std::string TWin32StartupPlatform::RunningExecutablePath() {
  char path[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, n);
}

bool TWin32StartupPlatform::FileExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
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
  return roots.empty() ? std::u16string() : ToU16(Widen(roots.front()));
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

bool TWin32StartupPlatform::ReadRegistryString(uint8_t root, const std::string& path, const std::string& name,
                                               std::string& value) {
  HKEY root_key = RootIndexToHandle(root);
  if (!root_key) return false;
  ScopedRegKey key;
  if (RegOpenKeyExA(root_key, path.c_str(), 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    throw ESetupError("Invalid data type for '" + name + "'");
  }
  std::string data(size, '\0');
  if (RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  data.resize(size);
  while (!data.empty() && data.back() == '\0') data.pop_back();
  value = data;
  return true;
}

int64_t TWin32StartupPlatform::FreeBytesOnDrive(int drive) { return win32::FreeBytesOnDrive(drive); }

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
      if (wizard.Pages.Current == before) ::ExitProcess(1);
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

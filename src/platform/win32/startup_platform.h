// The entry sequence's view of Windows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/setup_state.h"
#include "platform/win32/verify_form.h"
#include "runtime/startup.h"

namespace setup::win32 {

// The command line without the program name, each argument in UTF-8.
std::vector<std::string> CommandLineArguments();
// The process's environment as the "%NAME%" references of the scripts.
TEnvironmentTable ReadEnvironmentTable();

class TWin32StartupPlatform : public TStartupPlatform {
 public:
  uint16_t SystemDefaultLanguage() override;
  std::string RunningExecutablePath() override;
  bool FileExists(const std::string& path) override;
  uint32_t TickCount() override;

  void CreateWizard() override;
  void FreeWizard() override;
  void SetApplicationTitle(const std::string& title) override;

  void ShowVerifyWindow() override;
  void UpdateVerifyWindow(const std::string& status, int position, int maximum) override;
  void DestroyVerifyWindow() override;

  std::u16string FindCdDrive() override;
  std::u16string SpecialFolderPath(int csidl) override;
  std::u16string ProgramFiles64Path() override;
  std::u16string SavedGamesPath() override;
  bool Is64BitWindows() override;
  void UseNativeView() override;
  bool ReadRegistryString(uint8_t root, const std::string& path, const std::string& name,
                          std::string& value) override;
  int64_t FreeBytesOnDrive(int drive) override;
  std::string FullPath(const std::string& path) override;

  void RegisterCommands(TCommandList& list) override;
  void LoadInstallLog(const std::string& folder, const std::string& prefix) override;
  void HandOver(bool silent) override;

  [[noreturn]] void WriteErrorLog(const std::string& error_text, const std::string& error_type) override;

 private:
  std::unique_ptr<TFrmVerify> verify_;
  std::string title_;
};

}  // namespace setup::win32

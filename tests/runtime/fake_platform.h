// A start-up platform that records what the entry sequence asks of it, for native tests.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "runtime/startup.h"
#include "engine/commands.h"

namespace setup::testing {

// What the error report would have received; thrown so the sequence unwinds as the process would end.
struct TErrorLogWritten {
  std::string Text;
  std::string Type;
};

class TFakePlatform : public TStartupPlatform {
 public:
  uint16_t SystemDefaultLanguage() override { return 0x0409; }
  std::string RunningExecutablePath() override { return ExePath; }
  bool FileExists(const std::string& path) override { return ExistingFiles.count(path) > 0; }
  uint32_t TickCount() override { return Tick += 50; }
  void CreateWizard() override { Calls.push_back("create wizard"); }
  void FreeWizard() override { Calls.push_back("free wizard"); }
  void SetApplicationTitle(const std::string& title) override { Title = title; }
  void ShowVerifyWindow() override { Calls.push_back("show verify"); }
  void UpdateVerifyWindow(const std::string& status, int position, int maximum) override {
    Statuses.push_back(status + " [" + std::to_string(position) + "/" + std::to_string(maximum) + "]");
  }
  void DestroyVerifyWindow() override { Calls.push_back("destroy verify"); }
  std::u16string FindCdDrive() override { return u"E:\\"; }
  std::u16string SpecialFolderPath(int csidl) override {
    if (auto it = Folders.find(csidl); it != Folders.end()) return it->second;
    return csidl == kCsidlProgramFiles ? u"C:\\Program Files" : u"";
  }
  std::u16string ProgramFiles64Path() override { return NativeProgramFiles; }
  std::u16string SavedGamesPath() override { return SavedGames; }
  bool Is64BitWindows() override { return Windows64; }
  void UseNativeView() override { Calls.push_back("native view"); }
  bool ReadRegistryString(uint8_t root, const std::string& path, const std::string& name, std::string& value) override {
    auto it = Registry.find(std::to_string(root) + "|" + path + "|" + name);
    if (it == Registry.end()) return false;
    value = it->second;
    return true;
  }
  int64_t FreeBytesOnDrive(int drive) override { return drive == 3 ? 5LL << 30 : -1; }
  // Relative paths lie below the current folder C:\Work.
  std::string FullPath(const std::string& path) override {
    const bool full = (path.size() >= 2 && path[1] == ':') || path.rfind("\\\\", 0) == 0;
    return full ? path : "C:\\Work\\" + path;
  }
  void RegisterCommands(TCommandList& list) override { setup::RegisterCommands(list); }
  void LoadInstallLog(const std::string& folder, const std::string& prefix) override {
    Calls.push_back("load log " + folder + " " + prefix);
  }
  void HandOver(bool silent) override { Calls.push_back(silent ? "hand over silent" : "hand over"); }
  void WriteErrorLog(const std::string& text, const std::string& type) override {
    throw TErrorLogWritten{text, type};
  }

  std::string ExePath;
  std::set<std::string> ExistingFiles;
  std::map<std::string, std::string> Registry;
  std::map<int, std::u16string> Folders;  // the shell's folders beside program files
  std::u16string NativeProgramFiles;
  std::u16string SavedGames;
  bool Windows64 = false;
  uint32_t Tick = 0;
  std::vector<std::string> Calls;
  std::vector<std::string> Statuses;
  std::string Title;
};

}  // namespace setup::testing

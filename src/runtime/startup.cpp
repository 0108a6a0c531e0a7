// The entry sequence. Every expected failure ends the run with a fixed English message box;
// anything unexpected reaches one of the outer handlers, which write the error report.
#include "runtime/startup.h"

#include <exception>

#include "core/error.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/file_commands.h"

namespace setup {

const char* const kMsgInvalidHeader = "Invalid Setup Header. No Contents or Corrupted Contents.";
const char* const kMsgSetupInfoMissing = "Error: Setup Information Missing. Setup is corrupt";
const char* const kMsgLogMissing = "Error: install log is missing";
const char* const kMsgCompiledLinesMissing = "Error: Compiled Lines Missing. Setup is corrupt";
const char* const kMsgNoInstallDir = "Error: Registry Key Not Found. Please Install Software";

namespace {

constexpr uint32_t kVerifyWindowMinimumMs = 500;
constexpr int kExitStopped = 1;  // the run ended on a start-up message

std::string VerifyStatus(size_t done, size_t count) {
  return "Status: " + std::to_string(done) + " out of " + std::to_string(count) + " files verifyed";
}

int StopWith(TStartupPlatform& platform, const std::string& text, const std::string& caption) {
  Host().ShowMessageBox(text, caption, kMbOk);
  platform.FreeWizard();
  return kExitStopped;
}

// Verification: every entry proven against its CRC. Returns false when one fails (the
// message has been shown); total receives the uncompressed size of every grouped entry.
bool VerifyPackage(TStartupPlatform& platform, TPak& pak, bool silent, int64_t& total) {
  const auto& directory = pak.Directory();
  const size_t count = directory.size();
  if (!silent) platform.UpdateVerifyWindow(VerifyStatus(0, count), 0, static_cast<int>(count));
  total = 0;
  for (size_t i = 0; i < count; ++i) {
    const TPakEntry& e = directory[i];
    const bool sound = e.Size == 0 || pak.Verify(static_cast<int>(i));
    if (!sound) {
      ShowExtractFailure(pak);
      Host().ShowMessageBox(VerificationFailedMessage(static_cast<int>(i), e.Name), "Verification Error", kMbOk);
      platform.FreeWizard();
      return false;
    }
    if (e.Group != 0) total += e.Size;
    if (!silent) platform.UpdateVerifyWindow(VerifyStatus(i + 1, count), static_cast<int>(i + 1), static_cast<int>(count));
  }
  // The pause keeps the verification window in sight; a silent run has no window to keep.
  if (!silent) {
    const uint32_t ended = platform.TickCount();
    while (static_cast<uint32_t>(platform.TickCount() - ended) < kVerifyWindowMinimumMs) {
    }
    platform.DestroyVerifyWindow();
  }
  return true;
}

// The kind of every script group (plain files or an archive update), in group order, and the
// bytes the installation needs: plain files count unpacked, archive updates as stored.
int64_t BuildArchiveGroups(TSetupGlobals& g) {
  std::vector<uint8_t>& groups = g.State.ArchiveGroups;
  groups.assign(1, 0);
  for (size_t i = 0; i < g.CompLines.Lines.size(); ++i) {
    const int32_t command = g.CompLines.Lines[i].Command;
    if (command <= 0) continue;
    TCommandClass* c = g.Commands.ByNumber(command);
    if (!c) {
      throw ESetupError("Compiled line " + std::to_string(i) + " names command " + std::to_string(command) +
                        ", beyond the " + std::to_string(g.Commands.Count()) + " commands known");
    }
    const uint8_t kind = c->GroupKind();
    if (kind == kGroupFiles) groups.push_back(0);
    if (kind == kGroupArchive) groups.push_back(1);
  }
  int64_t total = 0;
  for (const TPakEntry& e : g.Package->Directory()) {
    if (e.Group == 0 || e.Group >= groups.size()) continue;
    if (groups[e.Group] == 0) {
      total += e.Size;
    } else {
      total += (e.PackedSize == 0 && e.Size > 0) ? e.Size : e.PackedSize;
    }
  }
  return total;
}

// The sequence without the outermost handler: options, the verification window, the package
// and its verification, the records, the file-name check, the languages, the install folder
// and its free space, then the hand-over to the wizard and the shutdown.
int RunSequence(TStartupPlatform& platform, const std::vector<std::string>& arguments) {
  TSetupGlobals& g = Globals();
  TSetupState& s = g.State;

  platform.PinToFirstProcessor();
  // Numbers are always formatted with "." here: the program never switches the C locale.
  s.SystemLanguageId = platform.SystemDefaultLanguage();
  s.Arguments = arguments;
  s.SilentMode = false;
  for (const std::string& a : arguments) {
    if (LowerAscii(a) == "-silent") s.SilentMode = true;
  }

  platform.CreateWizard();
  platform.SetApplicationTitle("Verifying Contents");
  if (!s.SilentMode) {
    platform.ShowVerifyWindow();
    platform.UpdateVerifyWindow("Loading Header", 0, 100);
  }

  std::string package_path = platform.RunningExecutablePath();
  if (!arguments.empty() && platform.FileExists(arguments[0])) {
    package_path = arguments[0];
    s.PackageFromArgument = true;
  }
  g.Package = std::make_unique<TPak>(package_path, pmRead);
  TPak& pak = *g.Package;
  pak.SetNameLowering([](std::string_view name) { return Host().LowerLocale(name); });
  // A directory whose records do not lie in the file is as unusable as a missing trailer.
  if (!pak.Trailer().HasMagic() || !pak.DirectorySound()) {
    Host().ShowMessageBox(kMsgInvalidHeader, "Error", kMbOk);
    return kExitStopped;
  }

  int64_t total = 0;
  try {
    if (!VerifyPackage(platform, pak, s.SilentMode, total)) return kExitStopped;
  } catch (const std::exception& e) {
    platform.WriteErrorLog(e.what(), "Verification Stage");
  }

  s.CdDrivePath = platform.FindCdDrive();
  s.RequiredBytes = total;
  s.RequiredText = SizeText(total);

  uint32_t size = 0;
  TBytes info = pak.FindByName("SetupInfo", 0, &size);
  ShowExtractFailure(pak);
  if (info.empty()) return StopWith(platform, kMsgSetupInfoMissing, "Verification Error");
  g.SetupInfo.LoadFromBuffer(info.data(), info.size());
  info = TBytes();

  const bool uninstaller = g.SetupInfo.Mode == 1;
  if (uninstaller) {
    const std::string& dir = g.SetupInfo.InstallDir;
    const std::string log = dir + "\\" + g.SetupInfo.UninstallPrefix + "install.log";
    if (!platform.FileExists(log)) return StopWith(platform, kMsgLogMissing, "Setup Error");
    platform.LoadInstallLog(dir, g.SetupInfo.UninstallPrefix);
    s.RequiredBytes = 0;
  } else {
    TBytes lines = pak.FindByName("CompiledLines", 0, &size);
    ShowExtractFailure(pak);
    if (lines.empty()) return StopWith(platform, kMsgCompiledLinesMissing, "Verification Error");
    g.CompLines.LoadFromBuffer(lines.data(), lines.size());
    lines = TBytes();
    platform.RegisterCommands(g.Commands);
    s.RequiredBytes = BuildArchiveGroups(g);
  }
  s.RequiredText = SizeText(s.RequiredBytes);

  s.ProgramFilesPath = platform.SpecialFolderPath(kCsidlProgramFiles) + u"\\";
  s.ProgramsMenuPath = platform.SpecialFolderPath(kCsidlPrograms) + u"\\";
  s.DesktopPath = platform.SpecialFolderPath(kCsidlDesktop) + u"\\";

  if (!s.PackageFromArgument && !uninstaller) {
    const std::string running = platform.RunningExecutablePath();
    if (!SameSetupFileName(g.SetupInfo.SetupExeName, running)) {
      return StopWith(platform, RenamedFileMessage(g.SetupInfo.SetupExeName, FileNamePart(running)), "Error");
    }
  }

  for (TGroupItem item = pak.FirstInGroup(0, true);; item = pak.NextInGroup(0, true)) {
    ShowExtractFailure(pak);
    if (item.Data.empty()) break;
    if (UpperAscii(item.Name.substr(0, 9)) == "LANGUAGE-") {
      Languages().AddLanguage(item.Data.data(), item.Data.size());
    }
  }
  SelectLanguage(s.SystemLanguageId);

  if (!uninstaller) {
    if (g.SetupInfo.HasInstallDirRegKey()) {
      std::string dir = ReadInstallDirFromRegistry(platform);
      if (!dir.empty()) g.SetupInfo.InstallDir = dir;
    }
    const std::string& dir = g.SetupInfo.InstallDir;
    if (dir.empty()) return StopWith(platform, kMsgNoInstallDir, "Error");
    const char first = UpperAscii(dir.substr(0, 1))[0];
    if (first >= 'A' && first <= 'Z') {
      s.AvailableBytes = platform.FreeBytesOnDrive(first - 'A' + 1);
      s.AvailableText = SizeText(s.AvailableBytes);
    }
  }

  platform.HandOver(s.SilentMode);

  g.Package.reset();
  platform.FreeWizard();
  return 0;
}

}  // namespace

std::string VerificationFailedMessage(int index, const std::string& name) {
  return "Error: Verification Failed. Setup is corrupt.\rID: " + std::to_string(index) + " Filename: " + name;
}

std::string RenamedFileMessage(const std::string& expected, const std::string& found) {
  return "Error: Setup`s filename has been renamed\r\rExpected: \r" + expected + "\r\rFound: \r" + found;
}

bool SameSetupFileName(const std::string& setup_exe_name, const std::string& running_path) {
  const std::string expected = LowerAscii(FileNamePart(setup_exe_name));
  const std::string found = LowerAscii(FileNamePart(running_path));
  return StripCopyMarks(found) == expected;
}

std::string ReadInstallDirFromRegistry(TStartupPlatform& platform) {
  for (const TInstallDirRegKey& slot : Globals().SetupInfo.InstallDirRegKey) {
    if (slot.Key.empty()) continue;
    std::string value;
    if (platform.ReadRegistryString(slot.HKey, slot.Path, slot.Key, value) && !value.empty()) return value;
  }
  return {};
}

int RunSetup(TStartupPlatform& platform, const std::vector<std::string>& arguments) {
  try {
    return RunSequence(platform, arguments);
  } catch (const std::exception& e) {
    platform.WriteErrorLog(e.what(), "");
  }
  return kExitStopped;  // not reached: the error report ends the process
}

}  // namespace setup

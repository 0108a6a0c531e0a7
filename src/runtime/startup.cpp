// The entry sequence. Every expected failure ends the run with a fixed English message box;
// anything unexpected reaches one of the outer handlers, which write the error report.
#include "runtime/startup.h"

#include <algorithm>
#include <exception>

#include "core/error.h"
#include "core/exit_codes.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "delta/patch_manifest.h"
#include "engine/file_commands.h"
#include "engine/interpreter.h"
#include "engine/patch_commands.h"
#include "engine/run_log.h"

namespace setup {

const char* const kMsgInvalidHeader = "Invalid Setup Header. No Contents or Corrupted Contents.";
const char* const kMsgSetupInfoMissing = "Error: Setup Information Missing. Setup is corrupt";
const char* const kMsgLogMissing = "Error: install log is missing";
const char* const kMsgCompiledLinesMissing = "Error: Compiled Lines Missing. Setup is corrupt";
const char* const kMsgNoInstallDir = "Error: Registry Key Not Found. Please Install Software";
const char* const kMsgNeeds64BitWindows =
    "Error: This program needs a 64-bit version of Windows.\rIt cannot be installed on this computer.";

namespace {

constexpr uint32_t kVerifyWindowMinimumMs = 500;

// The log a -log option asked for; alive to the end of the process.
std::unique_ptr<TRunLog> g_file_log;

// The options with a value, as the command line spells them (lower case).
constexpr std::string_view kDirOption = "-dir=";
constexpr std::string_view kLanguageOption = "-lang=";
constexpr std::string_view kLogOption = "-log=";

// The value of option (its name ending in "=") when argument is that option.
bool OptionValue(std::string_view argument, std::string_view option, std::string& value) {
  if (argument.size() < option.size() || !SameTextAscii(argument.substr(0, option.size()), option)) return false;
  value = std::string(argument.substr(option.size()));
  return true;
}

// -dir's folder: path variables are taken as the script's installdir takes them (expanded
// later); anything else is made full against the current folder.
std::string InstallDirOption(TStartupPlatform& platform, const std::string& value) {
  if (value[0] == '$' || value[0] == '%') return value;
  return platform.FullPath(value);
}

std::string JoinedArguments(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& a : arguments) {
    if (!text.empty()) text += ' ';
    text += a.find(' ') == std::string::npos ? a : "\"" + a + "\"";
  }
  return text;
}

std::string VerifyStatus(size_t done, size_t count) {
  return "Status: " + std::to_string(done) + " out of " + std::to_string(count) + " files verifyed";
}

int StopWith(TStartupPlatform& platform, const std::string& text, const std::string& caption) {
  Host().ShowMessageBox(text, caption, kMbOk);
  platform.FreeWizard();
  return kExitStopped;
}

// The verification bar runs over this many steps, whatever the package's size.
constexpr int kVerifySteps = 10000;

// The data files beside the setup: each must be there with its length before anything is read.
// False when one is not (the message has been shown).
bool FindDataFiles(TStartupPlatform& platform, TPak& pak, const std::string& package_path) {
  for (const TDataFileLookup& found : AttachDataFiles(pak, package_path)) {
    if (found.Status == TDataFileStatus::Found) continue;
    const std::string name = FileNamePart(found.Path);
    const std::string text =
        found.Status == TDataFileStatus::Missing ? DataFileMissingMessage(name) : DataFileIncompleteMessage(name);
    StopWith(platform, text, "Verification Error");
    return false;
  }
  return true;
}

// Verification: every entry proven against its CRC, stored bytes that entries share once, and
// every data file against its SHA-256. Returns false when something fails (the message has been
// shown); total receives the uncompressed size of every grouped entry. The bar moves with the
// bytes read, so one large entry moves it too.
bool VerifyPackage(TStartupPlatform& platform, TPak& pak, bool silent, const std::string& package_path,
                   int64_t& total) {
  const auto& directory = pak.Directory();
  const size_t count = directory.size();
  if (!FindDataFiles(platform, pak, package_path)) return false;
  pak.TakeDataFileDigests();

  // Each stored block once: the first entry that names it reads it.
  const std::vector<int> earlier = pak.EarlierSharing();
  uint64_t bytes_total = 0;
  for (size_t i = 0; i < count; ++i) {
    const TPakEntry& e = directory[i];
    if (e.Size != 0 && earlier[i] < 0 && e.DataFile == 0) bytes_total += e.StoredLength();
  }
  // Every byte of a data file is read once: by the entries in it, and what they leave by its
  // digest check.
  for (const TPakDataFile& d : pak.DataFiles()) bytes_total += d.Size;
  uint64_t bytes_done = 0;
  size_t done = 0;
  auto show = [&] {
    if (silent) return;
    const uint64_t scaled = bytes_total == 0 ? kVerifySteps : bytes_done * kVerifySteps / bytes_total;
    platform.UpdateVerifyWindow(VerifyStatus(done, count), static_cast<int>(std::min<uint64_t>(scaled, kVerifySteps)),
                                kVerifySteps);
  };
  // An entry read twice (its quick reading failed) counts twice: the bar stops at its end. The
  // hook goes with this function, however it is left (a broken stream raises an error).
  pak.SetReadProgress([&](uint64_t n) {
    bytes_done += n;
    show();
  });
  struct TProgressOff {
    TPak& Pak;
    ~TProgressOff() { Pak.SetReadProgress(nullptr); }
  } progress_off{pak};
  show();
  total = 0;
  bool sound = true;
  for (size_t i = 0; i < count && sound; ++i) {
    const TPakEntry& e = directory[i];
    sound = e.Size == 0 || earlier[i] >= 0 || pak.Verify(static_cast<int>(i));
    if (!sound) {
      ShowExtractFailure(pak);
      Host().ShowMessageBox(VerificationFailedMessage(pak, pak.SharingEntries(static_cast<int>(i))),
                            "Verification Error", kMbOk);
    }
    if (e.Group != 0) total += static_cast<int64_t>(e.Size);
    done = i + 1;
    show();
  }
  for (uint32_t n = 1; sound && n <= pak.DataFiles().size(); ++n) {
    sound = pak.DataFileDigestMatches(n);
    if (!sound) {
      Host().ShowMessageBox(DataFileCorruptMessage(FileNamePart(pak.DataFiles()[n - 1].Path)), "Verification Error",
                            kMbOk);
    }
  }
  if (!sound) {
    platform.FreeWizard();
    return false;
  }
  bytes_done = bytes_total;
  show();
  // The pause keeps the verification window in sight; a silent run has no window to keep.
  if (!silent) {
    const uint32_t ended = platform.TickCount();
    while (static_cast<uint32_t>(platform.TickCount() - ended) < kVerifyWindowMinimumMs) {
    }
    platform.DestroyVerifyWindow();
  }
  return true;
}

// The kind of every script group (plain files, an archive update or a patch), in group order,
// and the bytes the installation needs: plain files count unpacked, archive updates as stored,
// a patch by the most room it takes beyond the installed version (PatchRequiredBytes; as stored
// when its manifest cannot be read, which its run refuses anyway).
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
    if (kind == kGroupPatch) groups.push_back(2);
  }
  TPak& pak = *g.Package;
  uint64_t total = 0;
  for (const TPakEntry& e : pak.Directory()) {
    if (e.Group == 0 || e.Group >= groups.size()) continue;
    if (groups[e.Group] == 0) total += e.Size;
    if (groups[e.Group] == 1) total += e.StoredLength();
  }
  for (size_t group = 1; group < groups.size(); ++group) {
    if (groups[group] != 2) continue;
    delta::TPatchManifest manifest;
    if (ReadPatchGroupManifest(pak, static_cast<uint16_t>(group), manifest, nullptr)) {
      total += PatchRequiredBytes(manifest);
    } else {
      for (const TPakEntry& e : pak.Directory()) total += e.Group == group ? e.StoredLength() : 0;
    }
  }
  return static_cast<int64_t>(std::min<uint64_t>(total, INT64_MAX));
}

// The sequence without the outermost handler: options, the verification window, the package
// and its verification, the records, the file-name check, the languages, the install folder
// and its free space, then the hand-over to the wizard and the shutdown.
int RunSequence(TStartupPlatform& platform, const std::vector<std::string>& arguments) {
  TSetupGlobals& g = Globals();
  TSetupState& s = g.State;

  // The process runs on every processor: the install's writer threads need them. (Only the
  // error report's processor-clock reading keeps to one, for itself, while it measures.)
  // Numbers are always formatted with "." here: the program never switches the C locale.
  s.SystemLanguageId = platform.SystemDefaultLanguage();
  s.Arguments = arguments;
  const TCommandLine options = ParseCommandLine(arguments);
  s.SilentMode = options.Silent;
  if (!options.LogFile.empty()) {
    std::unique_ptr<TFileRunLog> log = TFileRunLog::Create(options.LogFile);
    if (!log) return StopWith(platform, LogFileMessage(options.LogFile), "Error");
    SetRunLog(log.get());
    g_file_log = std::move(log);
  }
  LogStep("Setup", platform.RunningExecutablePath());
  LogStep("Command line", JoinedArguments(arguments));

  platform.CreateWizard();
  platform.SetApplicationTitle("Verifying Contents");
  if (!s.SilentMode) {
    platform.ShowVerifyWindow();
    platform.UpdateVerifyWindow("Loading Header", 0, 100);
  }

  std::string package_path = platform.RunningExecutablePath();
  if (!arguments.empty() && !IsOption(arguments[0]) && platform.FileExists(arguments[0])) {
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
    if (!VerifyPackage(platform, pak, s.SilentMode, package_path, total)) return kExitStopped;
  } catch (const std::exception& e) {
    platform.WriteErrorLog(e.what(), "Verification Stage");
  }

  s.CdDrivePath = platform.FindCdDrive();
  s.RequiredBytes = total;
  s.RequiredText = SizeText(total);

  uint64_t size = 0;
  TBytes info = pak.FindByName("SetupInfo", 0, &size);
  ShowExtractFailure(pak);
  if (info.empty()) return StopWith(platform, kMsgSetupInfoMissing, "Verification Error");
  g.SetupInfo.LoadFromBuffer(info.data(), info.size());
  info = TBytes();
  // An older setup stored its texts in the ANSI code page; the program keeps them in UTF-8.
  if (!pak.TextsUtf8()) g.SetupInfo.LegacyTextsToUtf8();

  // A 64-bit program (and its uninstaller) works in the system's 64-bit view, from here on.
  if (g.SetupInfo.Native64()) {
    if (!platform.Is64BitWindows()) return StopWith(platform, kMsgNeeds64BitWindows, "Error");
    platform.UseNativeView();
  }

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
    if (!pak.TextsUtf8()) g.CompLines.LegacyTextsToUtf8();
    platform.RegisterCommands(g.Commands);
    s.RequiredBytes = BuildArchiveGroups(g);
  }
  s.RequiredText = SizeText(s.RequiredBytes);

  s.ProgramFilesPath = platform.SpecialFolderPath(kCsidlProgramFiles) + u"\\";
  const std::u16string native = platform.ProgramFiles64Path();
  s.ProgramFiles64Path = native.empty() ? s.ProgramFilesPath : WithTrailingBackslash(native);
  if (g.SetupInfo.Native64()) s.ProgramFilesPath = s.ProgramFiles64Path;
  s.LocalAppDataPath = WithTrailingBackslash(platform.SpecialFolderPath(kCsidlLocalAppData));
  s.DocumentsPath = WithTrailingBackslash(platform.SpecialFolderPath(kCsidlPersonal));
  s.CommonDesktopPath = WithTrailingBackslash(platform.SpecialFolderPath(kCsidlCommonDesktop));
  s.SavedGamesPath = WithTrailingBackslash(platform.SavedGamesPath());
  if (s.SavedGamesPath.empty()) {
    // Systems before the known folders keep no saved-games folder: the profile's is taken.
    const std::u16string profile = platform.SpecialFolderPath(kCsidlProfile);
    if (!profile.empty()) s.SavedGamesPath = WithTrailingBackslash(profile) + u"Saved Games\\";
  }
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
      Languages().Tables.back()->FileName = item.Name.substr(9);
    }
  }
  SelectLanguage(s.SystemLanguageId);
  // The uninstaller speaks the language the player installed in, when it carries that table.
  if (uninstaller) SelectLanguageNamed(g.SetupInfo.Setting(kSettingLanguage));
  TLanguages& languages = Languages();
  if (!options.Language.empty()) {
    const int chosen = languages.FindLanguageByName(options.Language);
    if (chosen < 0) {
      std::string names;
      for (const auto& table : languages.Tables) {
        names += (names.empty() ? "" : ", ") + (table->FileName.empty() ? WideToUtf8(table->Name) : table->FileName);
      }
      return StopWith(platform, UnknownLanguageMessage(options.Language, names), "Error");
    }
    languages.Current = chosen;
    const TLanguage& table = *languages.Tables[static_cast<size_t>(chosen)];
    s.LanguageSelection = table.FileName.empty() ? table.Name : Utf8ToWide(table.FileName);
    s.LanguageChosen = true;
  }
  if (languages.CurrentValid()) {
    const TLanguage& table = *languages.Tables[static_cast<size_t>(languages.Current)];
    LogStep("Language", table.FileName.empty() ? WideToUtf8(table.Name) : table.FileName);
  }

  if (!uninstaller) {
    // The command line wins over an earlier installation's folder, which wins over the script.
    const char* source = "the script";
    if (!options.InstallDir.empty()) {
      g.SetupInfo.InstallDir = InstallDirOption(platform, options.InstallDir);
      source = "the command line";
    } else if (g.SetupInfo.HasInstallDirRegKey()) {
      std::string dir = ReadInstallDirFromRegistry(platform);
      if (!dir.empty()) {
        g.SetupInfo.InstallDir = dir;
        source = "the registry";
      }
    }
    if (g.SetupInfo.InstallDir.empty()) return StopWith(platform, kMsgNoInstallDir, "Error");
    LogStep("Install folder", g.SetupInfo.InstallDir + " (from " + source + ")");
    // The drive is the one the folder names once its variables are expanded: "$PROGRAMFILES\Game"
    // lies on the drive of the program files folder, not on a drive "$".
    const std::string dir = Expanded(g.SetupInfo.InstallDir);
    const char first = UpperAscii(dir.substr(0, 1))[0];
    if (first >= 'A' && first <= 'Z') {
      s.AvailableBytes = platform.FreeBytesOnDrive(first - 'A' + 1);
      s.AvailableText = SizeText(s.AvailableBytes);
    }
  }

  platform.HandOver(s.SilentMode);

  g.Package.reset();
  platform.FreeWizard();
  return kExitCompleted;
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  TCommandLine options;
  for (const std::string& a : arguments) {
    std::string value;
    if (SameTextAscii(a, "-silent")) {
      options.Silent = true;
    } else if (OptionValue(a, kDirOption, value)) {
      options.InstallDir = value;
    } else if (OptionValue(a, kLanguageOption, value)) {
      options.Language = value;
    } else if (OptionValue(a, kLogOption, value)) {
      options.LogFile = value;
    }
  }
  return options;
}

bool IsOption(std::string_view argument) {
  std::string value;
  return SameTextAscii(argument, "-silent") || OptionValue(argument, kDirOption, value) ||
         OptionValue(argument, kLanguageOption, value) || OptionValue(argument, kLogOption, value);
}

std::string UnknownLanguageMessage(const std::string& name, const std::string& names) {
  return "Error: Unknown language \"" + name + "\".\rThis setup has: " + names;
}

std::string LogFileMessage(const std::string& path) {
  return "Error: The log file cannot be created.\rFilename: " + path;
}

std::string VerificationFailedMessage(int index, const std::string& name) {
  return "Error: Verification Failed. Setup is corrupt.\rID: " + std::to_string(index) + " Filename: " + name;
}

std::string VerificationFailedMessage(const TPak& pak, const std::vector<int>& entries) {
  // A box of a few lines: a block shared by hundreds of entries names the first ones and a count.
  constexpr size_t kMostNamed = 10;
  std::string text = "Error: Verification Failed. Setup is corrupt.";
  std::vector<uint32_t> files;
  for (size_t k = 0; k < entries.size(); ++k) {
    const TPakEntry& e = pak.Directory()[static_cast<size_t>(entries[k])];
    if (k == kMostNamed) {
      text += "\rand " + std::to_string(entries.size() - kMostNamed) + " more";
      break;
    }
    text += "\rID: " + std::to_string(entries[k]) + " Filename: " + e.Name;
  }
  if (!entries.empty()) {
    const TPakEntry& e = pak.Directory()[static_cast<size_t>(entries.front())];
    // The data files the bytes run through: from the first to where the stored length ends.
    uint64_t left = e.StoredLength();
    uint64_t start = e.Offset;
    for (uint32_t n = e.DataFile; n != 0 && n <= pak.DataFiles().size() && left > 0; ++n, start = 0) {
      const uint64_t size = pak.DataFiles()[n - 1].Size;
      left -= std::min(left, size > start ? size - start : 0);
      files.push_back(n);
    }
    for (uint32_t n : files) {
      const std::string& path = pak.DataFiles()[n - 1].Path;
      text += "\rData file: " + (path.empty() ? DataFileName(pak.DataFileStem(), n) : FileNamePart(path));
    }
  }
  return text;
}

std::string DataFileMissingMessage(const std::string& name) {
  return "Error: Data File Missing. Setup is incomplete.\rFilename: " + name;
}

std::string DataFileIncompleteMessage(const std::string& name) {
  return "Error: Data File Incomplete. Setup is corrupt.\rFilename: " + name;
}

std::string DataFileCorruptMessage(const std::string& name) {
  return "Error: Data File Verification Failed. Setup is corrupt.\rFilename: " + name;
}

std::string RenamedFileMessage(const std::string& expected, const std::string& found) {
  return "Error: Setup`s filename has been renamed\r\rExpected: \r" + expected + "\r\rFound: \r" + found;
}

bool SameSetupFileName(const std::string& setup_exe_name, const std::string& running_path) {
  // File names compare as the system compares them, whatever their letters.
  const std::string expected = Host().LowerLocale(FileNamePart(setup_exe_name));
  const std::string found = Host().LowerLocale(FileNamePart(running_path));
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
  int code = kExitErrorReport;  // kept only when a report returns, which none does
  try {
    code = RunSequence(platform, arguments);
  } catch (const std::exception& e) {
    platform.WriteErrorLog(e.what(), "");
  }
  LogExitCode(code);
  return code;
}

}  // namespace setup

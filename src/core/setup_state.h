// The process-wide setup state, the shared singletons, and the "$" path variables.
//
// Script parameters name folders through "$" variables and "%NAME%" environment references
// so that one package installs on any machine. Expansion and contraction are pure functions
// over a TPathValues snapshot; the no-argument forms take the snapshot from the singletons.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/command_list.h"
#include "core/pak.h"
#include "core/setup_info.h"

namespace setup {

// Environment references, in the order of the process's environment block.
using TEnvironmentTable = std::vector<std::pair<std::u16string, std::u16string>>;

// Parses the process's environment block as the system's wide call gives it (NAME=VALUE
// entries, each ended by a zero, the block by an empty entry). The first entry is skipped; an
// entry without "=" gives an empty pair.
TEnvironmentTable ParseEnvironmentBlock(const char16_t* block);

struct TSetupState {
  bool SilentMode = false;
  bool PackageFromArgument = false;
  uint16_t SystemLanguageId = 0;
  int64_t RequiredBytes = 0;
  int64_t AvailableBytes = 0;
  std::string RequiredText;
  std::string AvailableText;
  std::vector<uint8_t> ArchiveGroups;  // per group: 0 extracted as files, 1 stored into an archive, 2 a patch
  std::u16string CdDrivePath;          // "$CDDRIVE"
  std::u16string ProgramFilesPath;     // "$PROGRAMFILES", ends in "\"
  std::u16string ProgramsMenuPath;     // "$SMPROGRAMS", ends in "\"
  std::u16string DesktopPath;          // "$DESKTOP", ends in "\"
  // The folders added later, each ending in "\" (empty when the system has none).
  std::u16string ProgramFiles64Path;              // "$PROGRAMFILES64": the native program files folder
  std::u16string LocalAppDataPath;                // "$LOCALAPPDATA"
  std::u16string DocumentsPath;                   // "$DOCUMENTS"
  std::u16string SavedGamesPath;                  // "$SAVEDGAMES"
  std::u16string CommonDesktopPath;               // "$COMMONDESKTOP"
  std::u16string LanguageSelection = u"English";  // "$LANGUAGESELECTION"
  bool LanguageChosen = false;  // -lang=NAME set LanguageSelection: a language-selection page does not
  TEnvironmentTable EnvironmentTable;
  std::vector<std::string> Arguments;  // the command line without the program name
};

// The singletons every part of the program shares; created at program start, alive until exit.
struct TSetupGlobals {
  TSetupState State;
  TSetupInfoFile SetupInfo;
  TCompLines CompLines;
  TCommandList Commands;
  std::unique_ptr<TPak> Package;  // created by the entry sequence
};

TSetupGlobals& Globals();

// Values behind the "$" variables at one moment.
struct TPathValues {
  std::u16string InstallDir;
  std::u16string ProgramsMenuPath;
  std::u16string ProgramFilesPath;
  std::u16string AppDataPath;  // with a trailing "\" unless empty
  std::u16string DesktopPath;
  std::u16string CdDrivePath;
  std::u16string LanguageSelection;
  std::u16string ProgramFiles64Path;
  std::u16string LocalAppDataPath;
  std::u16string DocumentsPath;
  std::u16string SavedGamesPath;
  std::u16string CommonDesktopPath;
  const TEnvironmentTable* Environment = nullptr;
};

// Expansion replaces "$PROGRAMFILES64" before "$PROGRAMFILES". Contraction tries the install
// folder, the Start menu, program files, application data and the desktop in that order (as
// ever, so the logs of earlier setups read alike), then the later folders, the longest value
// first; a folder equal to an earlier one is written with the earlier name. A path in program
// files whose next characters are "64" is written "$PROGRAMFILES\64...", which cannot be taken
// for the other variable.

std::u16string ExpandPathVariables(std::u16string_view text, const TPathValues& values);
std::u16string ContractPathVariables(std::u16string_view text, const TPathValues& values);
std::u16string ExpandEnvironmentReferences(std::u16string_view text, const TEnvironmentTable& table);

// Contraction of many paths with the same values, on UTF-8 text: the values are made UTF-8
// once, and each path is contracted without a trip through wide text.
// Gives what ContractPathVariables gives for the same path in wide text.
class TPathContractor {
 public:
  explicit TPathContractor(const TPathValues& values);
  std::string Contract(std::string_view path) const;

 private:
  std::vector<std::pair<std::string, std::string>> folders_;      // value -> "$NAME", in order
  std::vector<std::pair<std::string, std::string>> environment_;  // "%NAME%" -> value
};

// The same over the singletons, the application-data folder asked of the host at each call.
TPathValues CurrentPathValues();
std::u16string ExpandPathVariables(std::u16string_view text);
std::u16string ContractPathVariables(std::u16string_view text);

}  // namespace setup

// The entry sequence of setup.exe: open the package, verify every entry, load the records,
// check the file name, find the install folder and hand over to the wizard.
//
// The sequence is portable; everything it asks of the system or of later stages (windows,
// registry, drives, the wizard, languages, the install log) goes through TStartupPlatform, so
// the same code runs in setup.exe and, against a fake platform, in the native unit tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace setup {

class TCommandList;
class TPak;

// The shell's folder numbers the sequence asks for.
enum : int {
  kCsidlDesktop = 0,
  kCsidlPrograms = 2,
  kCsidlPersonal = 5,  // Documents
  kCsidlCommonDesktop = 25,
  kCsidlAppData = 26,
  kCsidlLocalAppData = 28,
  kCsidlProgramFiles = 38,
  kCsidlProfile = 40
};

class TStartupPlatform {
 public:
  virtual ~TStartupPlatform() = default;

  virtual uint16_t SystemDefaultLanguage() = 0;
  virtual std::string RunningExecutablePath() = 0;
  virtual bool FileExists(const std::string& path) = 0;
  virtual uint32_t TickCount() = 0;

  // The wizard window and the hidden debug window; FreeWizard destroys them.
  virtual void CreateWizard() = 0;
  virtual void FreeWizard() = 0;
  virtual void SetApplicationTitle(const std::string& title) = 0;

  // The verification window: shown, updated (repainted at once), destroyed. Its bar shows
  // position out of maximum.
  virtual void ShowVerifyWindow() = 0;
  virtual void UpdateVerifyWindow(const std::string& status, int position, int maximum) = 0;
  virtual void DestroyVerifyWindow() = 0;

  virtual std::u16string FindCdDrive() = 0;
  virtual std::u16string SpecialFolderPath(int csidl) = 0;
  // The native program files folder of a 64-bit system, empty on a 32-bit one.
  virtual std::u16string ProgramFiles64Path() { return {}; }
  // The player's saved-games folder, empty where the system does not know one.
  virtual std::u16string SavedGamesPath() { return {}; }
  // True when the program runs on 64-bit Windows (as a 32-bit program there).
  virtual bool Is64BitWindows() { return false; }
  // From now on the whole program works in the system's 64-bit view: the registry's 64-bit
  // keys, the native system folder; the install's own system (TSystem) included.
  virtual void UseNativeView() {}
  // Reads a string value; false when the key or value is missing. A value of another type
  // raises ESetupError.
  virtual bool ReadRegistryString(uint8_t root, const std::string& path, const std::string& name,
                                  std::string& value) = 0;
  // Free bytes on drive number (1 = A:), or -1 when the query fails.
  virtual int64_t FreeBytesOnDrive(int drive) = 0;
  // The path made full against the current folder ("Games\Demo" to "C:\Users\Me\Games\Demo").
  virtual std::string FullPath(const std::string& path) { return path; }

  // Later stages: command registration, the install log, the wizard's hand-over.
  virtual void RegisterCommands(TCommandList& list) = 0;
  virtual void LoadInstallLog(const std::string& folder, const std::string& prefix) = 0;
  virtual void HandOver(bool silent) = 0;

  // Writes the error report, shows it and ends the process; never returns.
  [[noreturn]] virtual void WriteErrorLog(const std::string& error_text, const std::string& error_type) = 0;
};

// The options of setup.exe's command line. Each is one argument, anywhere on the line, its name
// compared without regard to letter case; a value is everything after the first "=", as it
// stands (blanks, more "=" and any letters kept). An option given twice takes its last value,
// one with an empty value counts as not given, and anything else on the line is no option
// (the first argument may name a package file; the rest are ignored).
struct TCommandLine {
  bool Silent = false;     // -silent
  std::string InstallDir;  // -dir=PATH
  std::string Language;    // -lang=NAME
  std::string LogFile;     // -log=FILE
};
TCommandLine ParseCommandLine(const std::vector<std::string>& arguments);
// True for an argument that is one of the options above.
bool IsOption(std::string_view argument);

// The exact texts of the start-up messages.
extern const char* const kMsgInvalidHeader;
extern const char* const kMsgSetupInfoMissing;
extern const char* const kMsgLogMissing;
extern const char* const kMsgCompiledLinesMissing;
extern const char* const kMsgNoInstallDir;
extern const char* const kMsgNeeds64BitWindows;
std::string VerificationFailedMessage(int index, const std::string& name);
// The same for stored bytes that several entries share: every entry that uses them is named,
// and so are the data files the bytes lie in.
std::string VerificationFailedMessage(const TPak& pak, const std::vector<int>& entries);
// A data file that is not beside the setup, that has another length than the setup expects,
// or whose bytes are not the ones the setup was built with; name is the file's name.
std::string DataFileMissingMessage(const std::string& name);
std::string DataFileIncompleteMessage(const std::string& name);
std::string DataFileCorruptMessage(const std::string& name);
std::string RenamedFileMessage(const std::string& expected, const std::string& found);
// -lang named no language of the setup; names lists the ones it has.
std::string UnknownLanguageMessage(const std::string& name, const std::string& names);
// -log named a file that cannot be made.
std::string LogFileMessage(const std::string& path);

// True when the running file's name, copy marks removed, is the name the setup expects (letter
// case compared by the host's rule).
bool SameSetupFileName(const std::string& setup_exe_name, const std::string& running_path);
// The first registry slot that yields a non-empty string, or empty.
std::string ReadInstallDirFromRegistry(TStartupPlatform& platform);

// Runs the whole sequence, from pinning the process to the hand-over and the shutdown, inside
// the outer handler that sends any unexpected error to the error report; returns the exit code
// (core/exit_codes.h), which ends the run log. arguments excludes the program name.
int RunSetup(TStartupPlatform& platform, const std::vector<std::string>& arguments);

}  // namespace setup

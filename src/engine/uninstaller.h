// The uninstaller: built at the end of an install from the running setup's own executable part
// and the "UNINSTALL_" entries of its package, registered with the system's list of installed
// programs, and the removals it makes when it runs.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/setup_state.h"

namespace setup {

constexpr char kUninstallRegistryKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// Registers and writes the uninstaller (install folder + UninstallExeName; the registration's
// UninstallString is that path in double quotes) and sets the running record's Mode to 1.
// Without an uninstaller name nothing is registered or written. The registration under HKLM
// holds DisplayName, UninstallString, DisplayIcon (the script's icon, else the uninstaller),
// InstallLocation, EstimatedSize (KB of the logged files and the uninstaller), NoModify and
// NoRepair (1), and DisplayVersion, Publisher, HelpLink and URLInfoAbout when the script set
// them. The uninstaller's record names the language the player chose (its table goes along
// when the uninstall languages lack it).
void BuildUninstaller();

// The removals, in the order the uninstall page makes them. A logged file's path variables
// are expanded with the values given (made once for the whole log) or the current ones.
void RemoveLoggedFile(const std::string& logged_path);
void RemoveLoggedFile(const std::string& logged_path, const TPathValues& values);
// The logged folders in the order they are removed: each once (in whatever case or with
// whatever trailing backslashes it was logged; the latest spelling is kept), the deepest first, and those of one depth
// latest logged first.
std::vector<std::string> FoldersToRemove(const std::vector<std::string>& logged);
void RemoveLoggedFolder(const std::string& folder);
void RemoveRegistryEntry(const std::string& line);
// Removes every value of the registration and its key.
void RemoveUninstallRegistration();
// The registry root of the registration (an index of the root table): HKCU for a per-user
// setup, HKLM otherwise.
int RegistrationRoot();
// The logged created keys ("ROOT" "key") in the order they are removed: each once, the deepest
// first, those of one depth in logged order.
std::vector<std::string> CreatedKeysToRemove(const std::vector<std::string>& logged);
// Removes a created key when it is empty now: one that holds a value or a sub-key stays.
void RemoveCreatedKey(const std::string& line);
void RemoveCreatedKeys(const std::vector<std::string>& logged);
void DeleteInstallLog();

// The first blank-separated token outside double quotes (quotes removed) and the rest.
std::pair<std::string, std::string> SplitQuotedToken(const std::string& text);

// Writes the package's "FINALISE.EXE" to the temporary folder and starts it with the quoted
// path of the running program; nothing happens when the package carries none.
void LaunchFinaliser();

}  // namespace setup

// The two records that say what a setup is and does: "SetupInfo" (TSetupInfoFile) and
// "CompiledLines" (TCompLines), both group-0 entries of the setup package.
//
// SetupInfo, fields back to back (strings are u16 byte count + text bytes):
//   SetupName, ShortName, SetupExeName, UninstallExeName, UninstallPrefix, InstallDir,
//   Changelog, 5 x (u8 HKEY code, Path, Key), Pages, UninstallPages, u8 Mode, u8 HasUninstaller,
//   and only when there are settings: the 4 bytes "SETX", u16 count, count x (Name, Value)
// CompiledLines:
//   u16 LineCount, then per line: i32 Command, i32 LineIndex, i32 ParamCount, ParamCount strings
//
// A record that ends before its last field is corrupt and raises ESetupError; bytes after
// the last field are ignored unless they begin with the settings mark, and then they must hold
// the whole settings list (a cut or overlong one raises too). Readers before the settings stop
// at HasUninstaller, so the list is invisible to them, and a record without settings is the
// same bytes as ever.
//
// The texts are UTF-8 when the package says so (kPakFlagUtf8Texts), and in the system's ANSI
// code page in the packages of older setups: the program reads a record as it is stored and
// converts the texts of such a package with LegacyTextsToUtf8. One parameter is no text: the
// archive password of "kzpupdate" and "kzpofficial" (Params[1]) is enciphered with the command
// key, and its bytes must reach the game archive as they were given; it is never converted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/buffer_manager.h"

namespace setup {

class TFileStream;

constexpr int kInstallDirRegKeySlots = 5;

// A named setting of the record: script settings added after the first version (publisher,
// version, icon, links, ...) and what the install hands its uninstaller (the chosen language).
// Names are ASCII; values are texts like every other field.
struct TSetupSetting {
  std::string Name;
  std::string Value;
  bool operator==(const TSetupSetting&) const = default;
};

// The names the program knows; a reader keeps and ignores every other name.
inline constexpr char kSettingPublisher[] = "Publisher";
inline constexpr char kSettingVersion[] = "Version";
inline constexpr char kSettingDisplayIcon[] = "DisplayIcon";
inline constexpr char kSettingHelpLink[] = "HelpLink";
inline constexpr char kSettingAboutUrl[] = "AboutUrl";
inline constexpr char kSettingLanguage[] = "Language";  // the uninstaller's: the language the player chose
// "x64": the program is 64-bit and the setup works in the system's 64-bit view; absent: "x86".
inline constexpr char kSettingArchitecture[] = "Architecture";
// "user": a setup without administrator rights, for the player's own folders and HKCU;
// absent: "admin".
inline constexpr char kSettingInstallMode[] = "InstallMode";

struct TInstallDirRegKey {
  uint8_t HKey = 0;  // index into the registry root table
  std::string Path;
  std::string Key;  // value name; the slot is in use when it is not empty
};

class TSetupInfoFile {
 public:
  std::string SetupName;
  std::string ShortName;
  std::string SetupExeName;
  std::string UninstallExeName;
  std::string UninstallPrefix;
  std::string InstallDir;
  std::string Changelog;
  TInstallDirRegKey InstallDirRegKey[kInstallDirRegKeySlots];
  std::string Pages;
  std::string UninstallPages;
  uint8_t Mode = 0;            // 0 installer, 1 uninstaller
  uint8_t HasUninstaller = 0;  // 1 when the script declared uninstall pages
  std::vector<TSetupSetting> Settings;  // in the order they were first set; each name once

  // The value of a setting, or empty when the record has none of that name (compared without
  // regard to ASCII case).
  std::string Setting(const std::string& name) const;
  // Sets a setting, replacing one of the same name in its place; an empty value removes it.
  void SetSetting(const std::string& name, const std::string& value);
  // The architecture setting says "x64" (any case).
  bool Native64() const;
  // The install mode setting says "user" (any case).
  bool PerUser() const;

  void LoadFromBuffer(const uint8_t* buffer, size_t length);
  std::string Serialize() const;
  // Creates or truncates the file and writes the record; false when the file cannot be created.
  bool SaveToFile(const std::string& file_name) const;
  bool HasInstallDirRegKey() const;
  // True when every text field is plain ASCII, which reads alike in every code page.
  bool AllAscii() const;
  // Every text field, read from a package whose texts are in the ANSI code page, as UTF-8.
  void LegacyTextsToUtf8();
};

struct TCompiledLine {
  int32_t Command = 0;  // 1-based command number; 0 or below does nothing at run time
  std::vector<std::string> Params;
  int32_t ParamCount = 0;
  int32_t LineIndex = 0;  // the line's own position; -1 on lines kept only for their position
};

class TCompLines {
 public:
  std::vector<TCompiledLine> Lines;

  void LoadFromBuffer(const uint8_t* buffer, size_t length);
  std::string Serialize() const;
  // As TSetupInfoFile's, over every parameter but the enciphered passwords.
  bool AllAscii() const;
  void LegacyTextsToUtf8();
};

// True for the parameter of a compiled line that holds an enciphered archive password
// (Params[1] of "kzpupdate" and "kzpofficial"): bytes for the archive, not text.
bool IsEncipheredParameter(int32_t command, size_t index);

// The registry root table shared by the whole program.
constexpr int kRegistryRootCount = 5;
constexpr int kRegistryRootLocalMachine = 0;
constexpr int kRegistryRootCurrentUser = 1;
extern const char* const kRegistryRootShortNames[kRegistryRootCount];  // "HKLM", "HKCU", ...
extern const char* const kRegistryRootLongNames[kRegistryRootCount];   // "HKEY_LOCAL_MACHINE", ...
// Index of an upper-cased short name; every other name (the long names too) gives 0.
int RootNameToIndex(const std::string& name);
// The long name, or "!ERROR!" outside the table.
std::string RootIndexToLongName(int index);

// The number as text with "." as decimal separator, ".0" added to whole numbers.
std::string FloatText(double value);

// The length-prefixed string on an open file. ReadString gives an empty string when not even
// the count can be read; WriteString reports false when any part of the write fell short.
std::string ReadString(TFileStream& file);
bool WriteString(TFileStream& file, const std::string& text);
void AppendString(std::string& out, const std::string& text);

}  // namespace setup

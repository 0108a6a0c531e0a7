// Building, registering and running the uninstaller.
#include "engine/uninstaller.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <unordered_set>

#include "core/error.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/pe_image.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/file_commands.h"
#include "engine/interpreter.h"
#include "engine/system.h"
#include "engine/uninstall_list.h"

namespace setup {

namespace {

constexpr char kUninstallPrefix[] = "UNINSTALL_";
constexpr char kUninstallIcon[] = "UNINSTALL_ICON.ICO";

// The registration key, or empty when the short name is empty: an empty name would make the
// system's whole list of uninstall entries the key that removal deletes.
std::string RegistrationKey() {
  const std::string& name = Globals().SetupInfo.ShortName;
  return name.empty() ? std::string() : kUninstallRegistryKey + name;
}

// The executable part of the running setup: the bytes before its package, or the whole file
// without a signature when the package came from a separate file. The copy's header names no
// signature, so the uninstaller is a valid unsigned program: a signature covers the file it was
// made for, and the player's machine has no key to sign the new one.
TBytes ExecutablePart() {
  TSetupGlobals& g = Globals();
  const std::string self = System().RunningExecutablePath();
  auto file = System().OpenFile(self, TFileMode::Read);
  if (!file) return {};
  uint64_t length = file->Size();
  if (const std::optional<uint64_t> table = FindCertificateTable(*file, length)) length = *table;
  if (!g.State.PackageFromArgument && !g.Package->Directory().empty()) {
    length = std::min<uint64_t>(length, g.Package->ExecutablePartLength());
  }
  TBytes bytes(static_cast<size_t>(length));
  if (!file->Seek(0) || file->Read(bytes.data(), bytes.size()) != bytes.size()) return {};
  ClearPeSignature(bytes.data(), bytes.size());
  return bytes;
}

// The values of the registration beside DisplayName and UninstallString; the uninstall removes
// each of them, written or not.
constexpr const char* kRegistrationValues[] = {"DisplayIcon",   "DisplayVersion", "Publisher",
                                               "HelpLink",      "URLInfoAbout",   "InstallLocation",
                                               "EstimatedSize", "NoModify",       "NoRepair"};

// The size of every logged file that is there now, plus extra bytes, in whole KB.
uint32_t InstalledKilobytes(uint64_t extra) {
  const TPathValues values = CurrentPathValues();
  uint64_t total = extra;
  for (const std::string& logged : UninstallList().FileList) {
    // One attribute query per file: installs of tens of thousands of files pay it for each.
    const int64_t size = System().FileSize(WideToUtf8(ExpandPathVariables(Utf8ToWide(logged), values)));
    if (size > 0) total += static_cast<uint64_t>(size);
  }
  return static_cast<uint32_t>(std::min<uint64_t>((total + 1023) / 1024, UINT32_MAX));
}

// The install folder as the system's program list shows it: without a closing backslash, but
// for a drive's root.
std::string InstallLocation(const std::string& folder) {
  std::string location = folder;
  while (location.size() > 3 && location.back() == '\\') location.pop_back();
  return location;
}

void WriteRegistration(const std::string& key, const std::string& uninstaller, uint64_t uninstaller_size) {
  TSystem& system = System();
  const TSetupInfoFile& info = Globals().SetupInfo;
  const int root = RegistrationRoot();
  system.RegWriteString(root, key, "DisplayName", info.ShortName);
  // The system reads the value as a command line: unquoted, a folder with blanks would
  // let "C:\Program.exe" run in the uninstaller's place.
  system.RegWriteString(root, key, "UninstallString", "\"" + uninstaller + "\"");
  const std::string icon = info.Setting(kSettingDisplayIcon);
  system.RegWriteString(root, key, "DisplayIcon", icon.empty() ? uninstaller : Expanded(icon));
  const std::pair<const char*, const char*> optional[] = {{"DisplayVersion", kSettingVersion},
                                                          {"Publisher", kSettingPublisher},
                                                          {"HelpLink", kSettingHelpLink},
                                                          {"URLInfoAbout", kSettingAboutUrl}};
  for (const auto& [value, setting] : optional) {
    const std::string text = info.Setting(setting);
    if (!text.empty()) system.RegWriteString(root, key, value, text);
  }
  system.RegWriteString(root, key, "InstallLocation", InstallLocation(info.InstallDir));
  system.RegWriteDword(root, key, "EstimatedSize", InstalledKilobytes(uninstaller_size));
  system.RegWriteDword(root, key, "NoModify", 1);
  system.RegWriteDword(root, key, "NoRepair", 1);
}

// The language the player chose, for the uninstaller to speak: its name goes into the
// uninstaller's record, and its table with it when the uninstall languages lack it.
void CarryLanguage(TSetupInfoFile& info, TPak& writer) {
  const TLanguages& languages = Languages();
  if (!languages.CurrentValid()) return;
  const std::u16string& chosen = languages.Tables[static_cast<size_t>(languages.Current)]->Name;
  info.SetSetting(kSettingLanguage, WideToUtf8(chosen));
  TPak& pak = *Globals().Package;
  std::optional<size_t> install_table;
  for (size_t i = 0; i < pak.Directory().size(); ++i) {
    const TPakEntry& e = pak.Directory()[i];
    const std::string upper = UpperAscii(e.Name);
    const bool uninstall = upper.rfind("UNINSTALL_LANGUAGE-", 0) == 0;
    if (e.Group != 0 || (!uninstall && upper.rfind("LANGUAGE-", 0) != 0)) continue;
    const TBytes data = pak.Extract(static_cast<int>(i));
    TLanguage table;
    try {
      table.LoadFromImage(data.data(), data.size());
    } catch (const ESetupError&) {
      continue;
    }
    if (table.Name != chosen) continue;
    if (uninstall) return;
    if (!install_table) install_table = i;
  }
  if (!install_table) return;
  const TPakEntry e = pak.Directory()[*install_table];
  const TBytes data = pak.Extract(static_cast<int>(*install_table));
  ShowExtractFailure(pak);
  const int index = writer.AddEntry(e.Name, e.Name, 0);
  if (!data.empty()) writer.StoreFromMemory(index, data.data(), static_cast<uint32_t>(data.size()));
}

}  // namespace

int RegistrationRoot() { return Globals().SetupInfo.PerUser() ? kRegistryRootCurrentUser : kRegistryRootLocalMachine; }

void BuildUninstaller() {
  TSetupGlobals& g = Globals();
  TSetupInfoFile& info = g.SetupInfo;
  TSystem& system = System();
  if (info.UninstallExeName.empty()) return;
  // The install folder may end in a backslash (the install folder page adds one).
  const std::string target = WithTrailingBackslash(info.InstallDir) + info.UninstallExeName;
  TPak& pak = *g.Package;
  const TBytes executable = pak.Directory().empty() ? TBytes() : ExecutablePart();
  const std::string key = RegistrationKey();
  if (!key.empty()) WriteRegistration(key, target, executable.size());
  if (executable.empty()) return;

  CreateFolderPath(info.InstallDir);
  system.DeleteFile(target);
  {
    auto file = system.OpenFile(target, TFileMode::Create);
    if (!file || file->Write(executable.data(), executable.size()) != executable.size()) return;
  }

  // The icon goes in before the package: a resource update rewrites the executable.
  const std::string temp = system.TempFolder();
  for (size_t i = 0; i < pak.Directory().size(); ++i) {
    const TPakEntry& e = pak.Directory()[i];
    if (e.Group != 0 || UpperAscii(e.Name) != kUninstallIcon) continue;
    const TBytes icon = pak.Extract(static_cast<int>(i));
    ShowExtractFailure(pak);
    const std::string icon_path = WithTrailingBackslash(temp) + "icon.ico";
    WriteBufferToFile(icon_path, icon.data(), icon.size());
    system.ReplaceExeIcon(icon_path, target);
    system.DeleteFile(icon_path);
  }

  TPak writer(target, pmAppend);
  if (!writer.IsOpen()) return;
  for (size_t i = 0; i < pak.Directory().size(); ++i) {
    const TPakEntry e = pak.Directory()[i];
    const std::string upper = UpperAscii(e.Name);
    if (e.Group != 0 || upper.compare(0, 10, kUninstallPrefix) != 0 || upper == kUninstallIcon) continue;
    const std::string name = e.Name.substr(10);
    const int index = writer.AddEntry(name, name, 0);
    const TBytes data = pak.Extract(static_cast<int>(i));
    ShowExtractFailure(pak);
    if (!data.empty()) writer.StoreFromMemory(index, data.data(), static_cast<uint32_t>(data.size()));
  }
  CarryLanguage(info, writer);
  info.Mode = 1;
  // The install folder the player chose may hold letters an ASCII setup did not have.
  writer.SetRecordsNotAscii(!info.AllAscii());
  const std::string record = info.Serialize();
  const int index = writer.AddEntry("SetupInfo", "", 0);
  writer.StoreFromMemory(index, reinterpret_cast<const uint8_t*>(record.data()), static_cast<uint32_t>(record.size()));
  writer.WriteDirectory();
  writer.Close();
}

void RemoveLoggedFile(const std::string& logged_path) { RemoveLoggedFile(logged_path, CurrentPathValues()); }

void RemoveLoggedFile(const std::string& logged_path, const TPathValues& values) {
  // No look before: deleting a file that is not there is one failed call, a look another.
  System().DeleteFile(WideToUtf8(ExpandPathVariables(Utf8ToWide(logged_path), values)));
}

std::vector<std::string> FoldersToRemove(const std::vector<std::string>& logged) {
  struct TFolder {
    const std::string* Path;  // as logged (a root keeps its backslash)
    size_t Depth;
  };
  std::vector<TFolder> folders;
  std::unordered_set<std::string> seen;
  for (size_t i = logged.size(); i-- > 0;) {
    std::string_view name = logged[i];
    while (!name.empty() && name.back() == '\\') name.remove_suffix(1);
    if (!seen.insert(LowerAscii(name)).second) continue;
    folders.push_back({&logged[i], static_cast<size_t>(std::count(name.begin(), name.end(), '\\'))});
  }
  std::stable_sort(folders.begin(), folders.end(),
                   [](const TFolder& a, const TFolder& b) { return a.Depth > b.Depth; });
  std::vector<std::string> order;
  order.reserve(folders.size());
  for (const TFolder& folder : folders) order.push_back(*folder.Path);
  return order;
}

void RemoveLoggedFolder(const std::string& folder) {
  KnownFolders().Clear();
  // Removing a folder that is missing or not empty fails by itself: no look before.
  System().RemoveFolder(folder);
}

std::pair<std::string, std::string> SplitQuotedToken(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  const std::string trimmed = text.substr(begin, end - begin);
  bool quoted = false;
  size_t split = std::string::npos;
  for (size_t i = 0; i < trimmed.size(); ++i) {
    if (trimmed[i] == '"') quoted = !quoted;
    else if (!quoted && (trimmed[i] == ' ' || trimmed[i] == '\t')) {
      split = i;
      break;
    }
  }
  std::string token = trimmed.substr(0, split);
  std::string rest = split == std::string::npos ? std::string() : trimmed.substr(split);
  std::string unquoted;
  for (char c : token) {
    if (c != '"') unquoted.push_back(c);
  }
  return {unquoted, rest};
}

void RemoveRegistryEntry(const std::string& line) {
  std::string tokens[4];
  std::string rest = line;
  for (int i = 0; i < 4; ++i) {
    std::tie(tokens[i], rest) = SplitQuotedToken(rest);
    if (rest.empty()) break;
  }
  const int root = RootNameToIndex(tokens[0]);
  if (System().RegKeyExists(root, tokens[1])) System().RegDeleteValue(root, tokens[1], tokens[2]);
}

void RemoveUninstallRegistration() {
  const std::string key = RegistrationKey();
  const int root = RegistrationRoot();
  if (key.empty() || !System().RegKeyExists(root, key)) return;
  System().RegDeleteValue(root, key, "DisplayName");
  System().RegDeleteValue(root, key, "UninstallString");
  for (const char* value : kRegistrationValues) System().RegDeleteValue(root, key, value);
  System().RegDeleteKeyTree(root, key);
}

std::vector<std::string> CreatedKeysToRemove(const std::vector<std::string>& logged) {
  struct TKey {
    const std::string* Line;
    size_t Depth;
  };
  std::vector<TKey> keys;
  std::unordered_set<std::string> seen;
  for (const std::string& line : logged) {
    auto [root, rest] = SplitQuotedToken(line);
    std::string key = SplitQuotedToken(rest).first;
    while (!key.empty() && key.back() == '\\') key.pop_back();
    if (key.empty() || !seen.insert(LowerAscii(root) + "|" + LowerAscii(key)).second) continue;
    keys.push_back({&line, static_cast<size_t>(std::count(key.begin(), key.end(), '\\'))});
  }
  std::stable_sort(keys.begin(), keys.end(), [](const TKey& a, const TKey& b) { return a.Depth > b.Depth; });
  std::vector<std::string> order;
  order.reserve(keys.size());
  for (const TKey& key : keys) order.push_back(*key.Line);
  return order;
}

void RemoveCreatedKey(const std::string& line) {
  auto [root, rest] = SplitQuotedToken(line);
  const std::string key = SplitQuotedToken(rest).first;
  // An empty key text would name the root itself.
  if (key.find_first_not_of('\\') == std::string::npos) return;
  System().RegDeleteEmptyKey(RootNameToIndex(root), key);
}

void RemoveCreatedKeys(const std::vector<std::string>& logged) {
  for (const std::string& line : CreatedKeysToRemove(logged)) RemoveCreatedKey(line);
}

void DeleteInstallLog() {
  const TSetupInfoFile& info = Globals().SetupInfo;
  System().DeleteFile(TUninstallList::LogPath(info.InstallDir, info.UninstallPrefix));
}

void LaunchFinaliser() {
  TSetupGlobals& g = Globals();
  if (!g.Package) return;
  const TBytes data = g.Package->FindByName("FINALISE.EXE", 0);
  ShowExtractFailure(*g.Package);
  if (data.empty()) return;
  const std::string path = WithTrailingBackslash(System().TempFolder()) + "FINALISE.exe";
  WriteBufferToFile(path, data.data(), data.size());
  System().ShellOpen(path, "\"" + System().RunningExecutablePath() + "\"");
}

}  // namespace setup

// Compilation of a setup script.
#include "builder/compiler.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <system_error>

#include "archives/kzp_format.h"
#include "builder/codepage.h"
#include "builder/patch_plan.h"
#include "core/command_list.h"
#include "core/digit_cipher.h"
#include "core/text.h"

namespace setup::builder {

namespace fs = std::filesystem;

namespace {

// Command numbers the compiler treats specially.
constexpr int kGoto = CommandNumberOf("goto");
constexpr int kName = CommandNumberOf("name");
constexpr int kOutFile = CommandNumberOf("outfile");
constexpr int kInstallDir = CommandNumberOf("installdir");
constexpr int kInstallDirRegKey = CommandNumberOf("installdirregkey");
constexpr int kIfFileExists = CommandNumberOf("iffileexists");
constexpr int kFile = CommandNumberOf("file");
constexpr int kWriteRegStr = CommandNumberOf("writeregstr");
constexpr int kChangelog = CommandNumberOf("changelog");
constexpr int kKzpUpdate = CommandNumberOf("kzpupdate");
constexpr int kMessageBox = CommandNumberOf("messagebox");
constexpr int kLanguage = CommandNumberOf("language");
constexpr int kPages = CommandNumberOf("pages");
constexpr int kShortName = CommandNumberOf("shortname");
constexpr int kUninstallPages = CommandNumberOf("uninstallpages");
constexpr int kUninstallLanguage = CommandNumberOf("uninstalllanguage");
constexpr int kPrefix = CommandNumberOf("prefix");
constexpr int kArchitecture = CommandNumberOf("architecture");
constexpr int kInstallMode = CommandNumberOf("installmode");
constexpr int kKzpOfficial = CommandNumberOf("kzpofficial");
constexpr int kVfsUpdate = CommandNumberOf("vfsupdate");
constexpr int kPatch = CommandNumberOf("patch");

// The setting commands that fill a named setting of the record, and its name.
struct TSettingCommand {
  int Command;
  const char* Setting;
};
constexpr TSettingCommand kSettingCommands[] = {{CommandNumberOf("publisher"), kSettingPublisher},
                                                {CommandNumberOf("version"), kSettingVersion},
                                                {CommandNumberOf("displayicon"), kSettingDisplayIcon},
                                                {CommandNumberOf("helplink"), kSettingHelpLink},
                                                {CommandNumberOf("abouturl"), kSettingAboutUrl}};

// Characters no file name may hold; the prefix begins the uninstaller's and the log's names.
bool FitsFileName(const std::string& name) {
  for (unsigned char c : name) {
    if (c < 32 || c == 127 || std::string_view("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
      return false;
  }
  return name.empty() || (name.back() != '.' && name.back() != ' ');
}

// The form of "file" that installs on a registry condition, and where its root name stands.
constexpr size_t kConditionalFileParams = 7;
constexpr size_t kConditionalFileRoot = 2;

constexpr size_t kMaxLines = 0xFFFF;
constexpr size_t kMaxText = 0xFFFF;

// The finishing program in an uninstall layout: the uninstaller starts it to remove itself.
constexpr char kFinaliserName[] = "FINALISE.EXE";

bool IsDecimal(const std::string& text) {
  size_t start = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  return text.size() > start && text.find_first_not_of("0123456789", start) == std::string::npos;
}

// The setup reads every root name it does not know as HKLM, so a misspelt or long name would
// quietly change which part of the registry a line touches.
void CheckRootName(const TScriptLine& line, const std::string& name) {
  for (const char* root : kRegistryRootShortNames) {
    if (SameTextAscii(name, root)) return;
  }
  throw TBuildError(line.Number, "unknown registry root '" + name + "' (write HKLM, HKCU, HKCR, HKU or HKCC)");
}

// Files a layout folder holds that are never text, whatever bytes they hold.
bool IsBinaryName(const std::string& name) {
  const std::string extension = LowerAscii(fs::path(name).extension().string());
  for (const char* binary : {".exe", ".dll", ".ico", ".bmp", ".png", ".jpg", ".jpeg", ".gif", ".wav"}) {
    if (extension == binary) return true;
  }
  return false;
}

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

bool IsLayoutText(std::string_view bytes) {
  return std::none_of(bytes.begin(), bytes.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f') || b == 0x7F;
  });
}

std::string WithCrLfLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
    out.push_back(text[i]);
  }
  return out;
}

TCompiler::TCompiler(TCompilerOptions options) : options_(std::move(options)) {
  FileList.BaseFolder = options_.ScriptFolder;
}

std::string TCompiler::Stored(const TScriptLine& line, const std::string& text) const {
  if (text.size() > kMaxText) throw TBuildError(line.Number, "text longer than 65535 bytes");
  return text;
}

// The game archive compares its password byte for byte, as older setups stored it: in
// Windows-1252, enciphered with the command key. It must leave the archive trailer within reach
// of the end search.
std::string TCompiler::Password(const TScriptLine& line, const std::string& text) const {
  const std::optional<std::string> bytes = Utf8ToWindows1252(text);
  if (!bytes) {
    throw TBuildError(line.Number, "archive password \"" + text + "\" has a character that Windows-1252 does not have");
  }
  if (bytes->size() > kKzpMaxPasswordBytes) {
    throw TBuildError(line.Number, "archive password longer than " + std::to_string(kKzpMaxPasswordBytes) + " bytes");
  }
  return EncipherDigits(kCommandKey, *bytes);
}

void TCompiler::Compile(const std::vector<TScriptLine>& script) {
  if (script.size() > kMaxLines) {
    throw TBuildError(script[kMaxLines].Number, "more than 65535 script lines");
  }
  // The wizard layout's icon is never taken in by a folder walk, wherever "pages" stands.
  for (const TScriptLine& line : script) {
    if (!line.IsLabel && SameTextAscii(line.Keyword, "pages") && !line.Params.empty()) {
      FileList.LayoutIcon = (fs::path(options_.LayoutsFolder) / line.Params[0] / "icon.ico").string();
    }
  }
  CompLines.Lines.assign(script.size(), TCompiledLine{});
  for (size_t i = 0; i < script.size(); ++i) {
    CompLines.Lines[i].LineIndex = static_cast<int32_t>(i);
    CompileLine(script[i], CompLines.Lines[i]);
    CompLines.Lines[i].ParamCount = static_cast<int32_t>(CompLines.Lines[i].Params.size());
  }
  // The uninstaller's file name is the prefix's: without one it would have none.
  if (uninstall_pages_line_ > 0 && SetupInfo.UninstallExeName.empty()) {
    throw TBuildError(uninstall_pages_line_, "'uninstallpages' needs a 'prefix' to name the uninstaller");
  }
  ResolveLabels();
  if (SetupInfo.PerUser()) PerUserInstallDir();
}

void TCompiler::SetChoice(const TScriptLine& line, const char* setting, const std::string& value, const char* usual,
                          const char* other) {
  // The usual choice is no setting at all: the setup stays what it was without the line.
  if (SameTextAscii(value, usual)) {
    SetupInfo.SetSetting(setting, "");
  } else if (SameTextAscii(value, other)) {
    SetupInfo.SetSetting(setting, other);
  } else {
    throw TBuildError(line.Number, "'" + line.Keyword + "' is " + usual + " or " + other + ", not '" + value + "'");
  }
}

// A per-user setup cannot write into the program files folder: a folder there, or none at all,
// becomes one in the player's own programs folder. An update that only finds an earlier
// installation's folder (installdirregkey without installdir) keeps it so.
void TCompiler::PerUserInstallDir() {
  std::string& dir = SetupInfo.InstallDir;
  const std::string before = dir;
  if (dir.empty()) {
    if (SetupInfo.HasInstallDirRegKey()) return;
    dir = "$LOCALAPPDATA\\Programs\\" + SetupInfo.ShortName;
  } else {
    for (const std::string_view variable : {"$PROGRAMFILES64", "$PROGRAMFILES"}) {
      if (UpperAscii(dir.substr(0, variable.size())) == variable) {
        dir = "$LOCALAPPDATA\\Programs" + dir.substr(variable.size());
        break;
      }
    }
  }
  if (dir != before) Notes.push_back({install_mode_line_, "installmode user: the install folder is " + dir});
}

void TCompiler::CompileLine(const TScriptLine& line, TCompiledLine& out) {
  if (line.IsLabel) {
    out.Command = 0;
    out.Params = {Stored(line, line.Keyword)};
    labels_[LowerAscii(out.Params[0])] = static_cast<size_t>(out.LineIndex);
    return;
  }
  const int command = CommandNumber(line.Keyword);
  if (command == 0) throw TBuildError(line.Number, "unknown command '" + line.Keyword + "'");
  const TCommandInfo& info = kCommandTable[command - 1];
  if (static_cast<int>(line.Params.size()) < info.MinParams) {
    throw TBuildError(line.Number, std::string("'") + info.Keyword + "' needs at least " +
                                       std::to_string(info.MinParams) + " parameter(s), got " +
                                       std::to_string(line.Params.size()));
  }
  if (command == kWriteRegStr || command == kInstallDirRegKey) CheckRootName(line, line.Params[0]);
  if (command == kFile && line.Params.size() == kConditionalFileParams) {
    CheckRootName(line, line.Params[kConditionalFileRoot]);
  }
  out.Command = command;
  for (const std::string& p : line.Params) out.Params.push_back(Stored(line, p));

  if (info.FillsSetupInfo) {
    SetRecordField(line, command, out);
    out = TCompiledLine{-1, {}, 0, -1};
    return;
  }
  const size_t index = static_cast<size_t>(out.LineIndex);
  switch (command) {
    case kGoto:
      jumps_.push_back({index, 0, line.Number, false});
      break;
    case kIfFileExists:
      jumps_.push_back({index, 1, line.Number, true});
      jumps_.push_back({index, 2, line.Number, true});
      break;
    case kMessageBox:
      jumps_.push_back({index, 2, line.Number, true});
      jumps_.push_back({index, 3, line.Number, true});
      break;
    case kFile:
      AddGroupOwner(line, out, "");
      break;
    case kKzpUpdate:
      out.Params[1] = Password(line, out.Params[1]);
      AddGroupOwner(line, out, out.Params[2]);
      break;
    case kVfsUpdate:
      AddGroupOwner(line, out, out.Params[1]);
      break;
    case kPatch:
      AddPatchOwner(line, out);
      break;
    case kKzpOfficial:
      out.Params[1] = Password(line, out.Params[1]);
      break;
    case kLanguage:
    case kUninstallLanguage: {
      const std::string prefix = command == kLanguage ? "LANGUAGE-" : "UNINSTALL_LANGUAGE-";
      const fs::path file = fs::path(options_.LanguagesFolder) / (line.Params[0] + ".wri");
      std::error_code ec;
      if (!fs::is_regular_file(file, ec)) {
        throw TBuildError(line.Number, "language file not found: " + file.string());
      }
      AddFileEntry(line, prefix + line.Params[0], file.string(), true);
      break;
    }
    default:
      break;
  }
}

void TCompiler::SetRecordField(const TScriptLine& line, int command, TCompiledLine& out) {
  const std::vector<std::string>& p = out.Params;
  switch (command) {
    case kName:
      SetupInfo.SetupName = p[0];
      SetupInfo.ShortName = p[0];
      break;
    case kOutFile:
      SetupInfo.SetupExeName = p[0];
      OutFile = line.Params[0];
      break;
    case kInstallDir:
      SetupInfo.InstallDir = p[0];
      break;
    case kInstallDirRegKey: {
      // The fifth slot is the last: later keys overwrite it.
      TInstallDirRegKey& slot = SetupInfo.InstallDirRegKey[std::min(reg_key_slots_used_, kInstallDirRegKeySlots - 1)];
      ++reg_key_slots_used_;
      slot.HKey = static_cast<uint8_t>(RootNameToIndex(p[0]));
      slot.Path = p[1];
      slot.Key = p[2];
      break;
    }
    case kChangelog: {
      SetupInfo.Changelog = p[0];
      const fs::path file = FindNativePath(options_.ScriptFolder, line.Params[0]);
      std::error_code ec;
      if (!fs::is_regular_file(file, ec)) throw TBuildError(line.Number, "change log not found: " + file.string());
      AddFileEntry(line, line.Params[0], file.string(), false);
      break;
    }
    case kPages:
      SetupInfo.Pages = p[0];
      AddLayout(line, line.Params[0], false);
      break;
    case kShortName:
      SetupInfo.ShortName = p[0];
      break;
    case kUninstallPages:
      SetupInfo.UninstallPages = p[0];
      SetupInfo.HasUninstaller = 1;
      uninstall_pages_line_ = line.Number;
      AddLayout(line, line.Params[0], true);
      break;
    case kArchitecture:
      SetChoice(line, kSettingArchitecture, p[0], "x86", "x64");
      break;
    case kInstallMode:
      SetChoice(line, kSettingInstallMode, p[0], "admin", "user");
      install_mode_line_ = line.Number;
      break;
    case kPrefix:
      if (!FitsFileName(p[0])) {
        throw TBuildError(line.Number, "prefix \"" + p[0] +
                                           "\" cannot begin a file name (no \\ / : * ? \" < > |, control "
                                           "characters, or trailing dot or blank)");
      }
      SetupInfo.UninstallPrefix = p[0] + "_";
      SetupInfo.UninstallExeName = p[0] + "_Uninstall.exe";
      break;
    default:
      for (const TSettingCommand& setting : kSettingCommands) {
        if (setting.Command == command) SetupInfo.SetSetting(setting.Setting, p[0]);
      }
      break;
  }
}

void TCompiler::AddGroupOwner(const TScriptLine& line, TCompiledLine& out, const std::string& group_name) {
  if (FileList.GroupCounter == 0xFFFF) throw TBuildError(line.Number, "more than 65535 package groups");
  const uint16_t group = FileList.NextGroup();
  out.Params.push_back(std::to_string(group));
  const std::string& source = line.Params[0];
  if (!FileList.AddSourceFolder(source, group, "", false, group_name)) {
    throw TBuildError(line.Number, "source not found: " + (fs::path(options_.ScriptFolder) / NativePath(source)).string());
  }
}

// A patch line owns a group as "file" does, but what goes into it is known only once the two
// folders have been compared (TakePatchPlan); here they are listed.
void TCompiler::AddPatchOwner(const TScriptLine& line, TCompiledLine& out) {
  if (FileList.GroupCounter == 0xFFFF) throw TBuildError(line.Number, "more than 65535 package groups");
  TPatchSource source;
  source.Line = line.Number;
  source.Group = FileList.NextGroup();
  out.Params.push_back(std::to_string(source.Group));
  FileList.EnsureGroup(source.Group, "");
  source.NewFolder = FindNativePath(options_.ScriptFolder, line.Params[0]).string();
  source.OldFolder = FindNativePath(options_.ScriptFolder, line.Params[1]).string();
  source.NewFiles = ListPatchTree(source.NewFolder, line.Number);
  source.OldFiles = ListPatchTree(source.OldFolder, line.Number);
  for (const auto* files : {&source.NewFiles, &source.OldFiles}) {
    for (const TPatchTreeFile& f : *files) Stored(line, f.Name);
  }
  Patches.push_back(std::move(source));
}

void TCompiler::TakePatchPlan(const TPatchPlan& plan) {
  const auto source =
      std::find_if(Patches.begin(), Patches.end(), [&](const TPatchSource& p) { return p.Group == plan.Group; });
  if (source == Patches.end()) throw TBuildError(plan.Line, "no patch line owns group " + std::to_string(plan.Group));
  std::vector<TCompilerFile>& files = FileList.Groups[plan.Group].Files;
  files.clear();
  for (const TPatchPlanItem& item : plan.Items) {
    if (item.Item.Action == delta::TPatchAction::Remove) continue;
    files.push_back({item.SourcePath, item.Item.Name, plan.Group, item.Item.Action == delta::TPatchAction::Difference});
  }
  manifests_[plan.Group] = delta::WritePatchManifest(plan.Manifest());
}

void TCompiler::AddLayout(const TScriptLine& line, const std::string& name, bool uninstaller) {
  const fs::path folder = fs::path(options_.LayoutsFolder) / name;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) throw TBuildError(line.Number, "layout folder not found: " + folder.string());
  std::vector<fs::path> files;
  for (const fs::directory_entry& item : fs::directory_iterator(folder, ec)) {
    if (item.is_regular_file(ec)) files.push_back(item.path());
  }
  std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
    return NameOrderLess(a.filename().string(), b.filename().string());
  });
  bool has_finaliser = false;
  for (const fs::path& file : files) {
    const std::string base = DiskNameText(file.filename());
    if (SameTextAscii(base, "icon.ico")) {
      if (uninstaller) AddFileEntry(line, "UNINSTALL_ICON.ICO", file.string(), false);
      continue;
    }
    has_finaliser = has_finaliser || SameTextAscii(base, kFinaliserName);
    const std::string name = (uninstaller ? "UNINSTALL_" : "") + base;
    // The wizard reads page and layout files by carriage returns: one saved with line feeds
    // only goes in with CR LF.
    const std::string bytes = IsBinaryName(base) ? std::string() : ReadWholeFile(file);
    if (bytes.find('\n') != std::string::npos && IsLayoutText(bytes)) {
      std::string converted = WithCrLfLineEnds(bytes);
      if (converted != bytes) {
        AddFileEntry(line, name, "", false);
        group0_.back().Bytes = std::move(converted);
        continue;
      }
    }
    AddFileEntry(line, name, file.string(), false);
  }
  if (uninstaller && !has_finaliser) AddFinaliser(line, name);
}

// A copied uninstall layout often lacks the finishing program, and an uninstaller without it
// stays behind after uninstalling: the shipped one goes in instead.
void TCompiler::AddFinaliser(const TScriptLine& line, const std::string& layout) {
  std::error_code ec;
  if (options_.FinaliserFile.empty() || !fs::is_regular_file(options_.FinaliserFile, ec)) {
    Notes.push_back({line.Number, "layout " + layout + " has no " + kFinaliserName +
                                      " and none ships with the builder: the uninstaller will stay behind"});
    return;
  }
  AddFileEntry(line, std::string("UNINSTALL_") + kFinaliserName, options_.FinaliserFile, false);
  Notes.push_back({line.Number, "layout " + layout + " has no " + kFinaliserName + ": added the shipped " +
                                    options_.FinaliserFile});
}

void TCompiler::AddFileEntry(const TScriptLine& line, const std::string& name, const std::string& path, bool language) {
  TPackageItem item;
  item.Name = Stored(line, name);
  std::replace(item.Name.begin(), item.Name.end(), '/', '\\');
  item.SourcePath = path;
  (language ? languages_ : group0_).push_back(std::move(item));
}

void TCompiler::ResolveLabels() {
  for (const TJump& jump : jumps_) {
    std::string& target = CompLines.Lines[jump.Line].Params[jump.Param];
    if (jump.ZeroMeansNone && target == "0") {
      target = "-1";
      continue;
    }
    auto found = labels_.find(LowerAscii(target));
    if (found != labels_.end()) {
      target = std::to_string(found->second);
    } else if (!IsDecimal(target)) {
      throw TBuildError(jump.ScriptLine, "Label not found - " + target);
    }
  }
}

std::vector<TPackageItem> TCompiler::PackageItems() const {
  std::vector<TPackageItem> items;
  items.push_back({"SetupInfo", 0, "", SetupInfo.Serialize(), !SetupInfo.AllAscii()});
  items.push_back({"CompiledLines", 0, "", CompLines.Serialize(), !CompLines.AllAscii()});
  items.insert(items.end(), languages_.begin(), languages_.end());
  items.insert(items.end(), group0_.begin(), group0_.end());
  for (const TPatchSource& patch : Patches) {
    const auto manifest = manifests_.find(patch.Group);
    if (manifest == manifests_.end()) throw TBuildError(patch.Line, "the patch line has not been planned");
    items.push_back({delta::PatchManifestName(patch.Group), 0, "", manifest->second});
  }
  for (const TCompilerGroup& group : FileList.Groups) {
    for (const TCompilerFile& f : group.Files) {
      TPackageItem item;
      item.Name = f.Name;
      if (item.Name.size() > kMaxText) throw TBuildError(0, "file name longer than 65535 bytes: " + f.Name);
      item.Group = f.Group;
      item.SourcePath = f.SourcePath;
      item.StorePlain = f.StorePlain;
      items.push_back(std::move(item));
    }
  }
  return items;
}

}  // namespace setup::builder

// Parsing and writing of the setup information record and the compiled script.
#include "core/setup_info.h"

#include <algorithm>
#include <cctype>
#include <concepts>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "core/byte_order.h"
#include "core/command_list.h"
#include "core/error.h"
#include "core/file_stream.h"
#include "core/host.h"
#include "core/text.h"

namespace setup {

namespace {

// A line needs at least 12 bytes and a parameter 2: counts beyond what the buffer can hold
// are rejected before anything is allocated.
constexpr size_t kLineFixedSize = 12;
constexpr size_t kStringFixedSize = 2;

void CheckCount(int64_t count, size_t unit, size_t remaining, const char* what) {
  if (count < 0 || static_cast<uint64_t>(count) * unit > remaining) {
    throw ESetupError(std::string("Record corrupt: ") + what + " count " + std::to_string(count) +
                      " does not fit the " + std::to_string(remaining) + " bytes left");
  }
}

// The settings list behind the record's last field: the mark, u16 count, count name/value pairs.
constexpr char kSettingsMark[] = "SETX";
constexpr size_t kSettingsMarkSize = 4;
constexpr size_t kSettingFixedSize = 2 * kStringFixedSize;
constexpr size_t kMaxSettings = 0xFFFF;

// The parameter that carries the archive password, enciphered with the command key.
constexpr size_t kPasswordParameter = 1;

// Calls text(field) for every text field of the record, in the record's order.
template <typename Info, typename F>
requires std::same_as<std::remove_const_t<Info>, TSetupInfoFile>
void ForEachText(Info& info, F&& text) {
  for (auto* s : {&info.SetupName, &info.ShortName, &info.SetupExeName, &info.UninstallExeName, &info.UninstallPrefix,
                  &info.InstallDir, &info.Changelog}) {
    text(*s);
  }
  for (auto& slot : info.InstallDirRegKey) {
    text(slot.Path);
    text(slot.Key);
  }
  text(info.Pages);
  text(info.UninstallPages);
  for (auto& setting : info.Settings) {
    text(setting.Name);
    text(setting.Value);
  }
}

// The same for every parameter of the compiled lines that is text.
template <typename Lines, typename F>
requires std::same_as<std::remove_const_t<Lines>, TCompLines>
void ForEachText(Lines& lines, F&& text) {
  for (auto& line : lines.Lines) {
    for (size_t i = 0; i < line.Params.size(); ++i) {
      if (!IsEncipheredParameter(line.Command, i)) text(line.Params[i]);
    }
  }
}

template <typename Record>
bool AllTextsAscii(const Record& record) {
  bool ascii = true;
  ForEachText(record, [&](const std::string& text) { ascii = ascii && IsAscii(text); });
  return ascii;
}

template <typename Record>
void ConvertLegacyTexts(Record& record) {
  ForEachText(record, [](std::string& text) {
    if (!IsAscii(text)) text = LegacyTextToUtf8(text);
  });
}

}  // namespace

bool IsEncipheredParameter(int32_t command, size_t index) {
  return index == kPasswordParameter &&
         (command == CommandNumberOf("kzpupdate") || command == CommandNumberOf("kzpofficial"));
}

const char* const kRegistryRootShortNames[kRegistryRootCount] = {"HKLM", "HKCU", "HKCR", "HKU", "HKCC"};
const char* const kRegistryRootLongNames[kRegistryRootCount] = {
    "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

int RootNameToIndex(const std::string& name) {
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (int i = 0; i < kRegistryRootCount; ++i) {
    if (upper == kRegistryRootShortNames[i]) return i;
  }
  return 0;
}

std::string RootIndexToLongName(int index) {
  if (index < 0 || index >= kRegistryRootCount) return "!ERROR!";
  return kRegistryRootLongNames[index];
}

std::string FloatText(double value) {
  // Fifteen significant digits in general format, trailing zeros dropped.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  std::string text = buf;
  for (char& c : text) {
    if (c == ',') c = '.';
  }
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

// ---------------------------------------------------------------- SetupInfo

void TSetupInfoFile::LoadFromBuffer(const uint8_t* buffer, size_t length) {
  TBufferManager cursor(buffer, length);
  SetupName = cursor.ReadString();
  ShortName = cursor.ReadString();
  SetupExeName = cursor.ReadString();
  UninstallExeName = cursor.ReadString();
  UninstallPrefix = cursor.ReadString();
  InstallDir = cursor.ReadString();
  Changelog = cursor.ReadString();
  for (TInstallDirRegKey& slot : InstallDirRegKey) {
    slot.HKey = cursor.ReadUInt8();
    slot.Path = cursor.ReadString();
    slot.Key = cursor.ReadString();
  }
  Pages = cursor.ReadString();
  UninstallPages = cursor.ReadString();
  Mode = cursor.ReadUInt8();
  HasUninstaller = cursor.ReadUInt8();
  Settings.clear();
  if (cursor.Remaining() < kSettingsMarkSize ||
      std::memcmp(buffer + cursor.Position(), kSettingsMark, kSettingsMarkSize) != 0) {
    return;
  }
  cursor.Seek(cursor.Position() + kSettingsMarkSize);
  const uint16_t count = cursor.ReadUInt16();
  CheckCount(count, kSettingFixedSize, cursor.Remaining(), "setting");
  std::vector<TSetupSetting> settings(count);
  for (TSetupSetting& setting : settings) {
    setting.Name = cursor.ReadString();
    setting.Value = cursor.ReadString();
  }
  Settings = std::move(settings);
}

std::string TSetupInfoFile::Serialize() const {
  std::string out;
  for (const std::string* s : {&SetupName, &ShortName, &SetupExeName, &UninstallExeName, &UninstallPrefix,
                               &InstallDir, &Changelog}) {
    AppendString(out, *s);
  }
  for (const TInstallDirRegKey& slot : InstallDirRegKey) {
    out.push_back(static_cast<char>(slot.HKey));
    AppendString(out, slot.Path);
    AppendString(out, slot.Key);
  }
  AppendString(out, Pages);
  AppendString(out, UninstallPages);
  out.push_back(static_cast<char>(Mode));
  out.push_back(static_cast<char>(HasUninstaller));
  if (!Settings.empty()) {
    out.append(kSettingsMark, kSettingsMarkSize);
    const size_t count = std::min(Settings.size(), kMaxSettings);
    AppendLE16(out, static_cast<uint16_t>(count));
    for (size_t i = 0; i < count; ++i) {
      AppendString(out, Settings[i].Name);
      AppendString(out, Settings[i].Value);
    }
  }
  return out;
}

std::string TSetupInfoFile::Setting(const std::string& name) const {
  for (auto it = Settings.rbegin(); it != Settings.rend(); ++it) {
    if (SameTextAscii(it->Name, name)) return it->Value;
  }
  return {};
}

void TSetupInfoFile::SetSetting(const std::string& name, const std::string& value) {
  // A record read from elsewhere may name a setting twice: the first place keeps the value,
  // the others go, so that Setting reads what was set.
  auto same = [&](const TSetupSetting& s) { return SameTextAscii(s.Name, name); };
  auto first = std::find_if(Settings.begin(), Settings.end(), same);
  if (first == Settings.end()) {
    if (!value.empty()) Settings.push_back({name, value});
    return;
  }
  Settings.erase(std::remove_if(first + 1, Settings.end(), same), Settings.end());
  if (value.empty()) {
    Settings.erase(first);
  } else {
    first->Value = value;
  }
}

bool TSetupInfoFile::Native64() const { return SameTextAscii(Setting(kSettingArchitecture), "x64"); }

bool TSetupInfoFile::PerUser() const { return SameTextAscii(Setting(kSettingInstallMode), "user"); }

bool TSetupInfoFile::SaveToFile(const std::string& file_name) const {
  auto file = TFileStream::Open(file_name, TFileMode::Create);
  if (!file) return false;
  std::string bytes = Serialize();
  file->Write(bytes.data(), bytes.size());
  return true;
}

bool TSetupInfoFile::HasInstallDirRegKey() const {
  for (const TInstallDirRegKey& slot : InstallDirRegKey) {
    if (!slot.Key.empty()) return true;
  }
  return false;
}

bool TSetupInfoFile::AllAscii() const { return AllTextsAscii(*this); }

void TSetupInfoFile::LegacyTextsToUtf8() { ConvertLegacyTexts(*this); }

// ---------------------------------------------------------------- CompiledLines

void TCompLines::LoadFromBuffer(const uint8_t* buffer, size_t length) {
  TBufferManager cursor(buffer, length);
  std::vector<TCompiledLine> lines;
  const uint16_t count = cursor.ReadUInt16();
  CheckCount(count, kLineFixedSize, cursor.Remaining(), "line");
  lines.resize(count);
  for (TCompiledLine& line : lines) {
    line.Command = cursor.ReadInt32();
    line.LineIndex = cursor.ReadInt32();
    line.ParamCount = cursor.ReadInt32();
    CheckCount(line.ParamCount, kStringFixedSize, cursor.Remaining(), "parameter");
    line.Params.resize(static_cast<size_t>(line.ParamCount));
    for (std::string& p : line.Params) p = cursor.ReadString();
  }
  Lines = std::move(lines);
}

std::string TCompLines::Serialize() const {
  std::string out;
  AppendLE16(out, static_cast<uint16_t>(Lines.size()));
  for (const TCompiledLine& line : Lines) {
    AppendLE32(out, static_cast<uint32_t>(line.Command));
    AppendLE32(out, static_cast<uint32_t>(line.LineIndex));
    AppendLE32(out, static_cast<uint32_t>(line.Params.size()));
    for (const std::string& p : line.Params) AppendString(out, p);
  }
  return out;
}

bool TCompLines::AllAscii() const { return AllTextsAscii(*this); }

void TCompLines::LegacyTextsToUtf8() { ConvertLegacyTexts(*this); }

// ---------------------------------------------------------------- strings on files

void AppendString(std::string& out, const std::string& text) {
  // The count is 16-bit: a longer text is cut, never written with a wrapped count.
  const size_t n = text.size() > 0xFFFF ? 0xFFFF : text.size();
  AppendLE16(out, static_cast<uint16_t>(n));
  out.append(text, 0, n);
}

std::string ReadString(TFileStream& file) {
  uint8_t raw[2];
  if (file.Read(raw, 2) != 2) return {};
  uint16_t count = LoadLE16(raw);
  std::string text(count, '\0');
  text.resize(file.Read(text.data(), count));
  return text;
}

bool WriteString(TFileStream& file, const std::string& text) {
  uint8_t raw[2];
  size_t n = text.size() > 0xFFFF ? 0xFFFF : text.size();
  StoreLE16(raw, static_cast<uint16_t>(n));
  bool ok = file.Write(raw, 2) == 2;
  ok = file.Write(text.data(), n) == n && ok;
  return ok;
}

}  // namespace setup

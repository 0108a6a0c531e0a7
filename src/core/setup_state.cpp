// Setup state, singletons and path variables.
#include "core/setup_state.h"

#include <algorithm>
#include <string_view>

#include "core/host.h"
#include "core/text.h"

namespace setup {

TSetupGlobals& Globals() {
  static TSetupGlobals globals;
  return globals;
}

TEnvironmentTable ParseEnvironmentBlock(const char16_t* block) {
  TEnvironmentTable table;
  if (!block) return table;
  bool first = true;
  for (const char16_t* p = block; *p;) {
    const std::u16string_view entry(p);
    p += entry.size() + 1;
    if (first) {  // the first entry is not a variable of the user's (a drive's current folder)
      first = false;
      continue;
    }
    const size_t at = entry.find(u'=');
    if (at == std::u16string_view::npos) {
      table.emplace_back();
    } else {
      table.emplace_back(std::u16string(entry.substr(0, at)), std::u16string(entry.substr(at + 1)));
    }
  }
  return table;
}

std::u16string ExpandEnvironmentReferences(std::u16string_view text, const TEnvironmentTable& table) {
  std::u16string out(text);
  if (table.empty() || out.find(u'%') == std::u16string::npos) return out;
  for (const auto& [name, value] : table) out = ReplaceText(out, u"%" + name + u"%", value);
  return out;
}

std::u16string ExpandPathVariables(std::u16string_view text, const TPathValues& v) {
  std::u16string out(text);
  out = ReplaceText(out, u"$INSTDIR", v.InstallDir);
  out = ReplaceText(out, u"$INSTALLDIR", v.InstallDir);
  out = ReplaceText(out, u"$SMPROGRAMS", v.ProgramsMenuPath);
  out = ReplaceText(out, u"$PROGRAMFILES64", v.ProgramFiles64Path);  // before its prefix
  out = ReplaceText(out, u"$PROGRAMFILES", v.ProgramFilesPath);
  out = ReplaceText(out, u"$LOCALAPPDATA", v.LocalAppDataPath);
  out = ReplaceText(out, u"$APPDATA", v.AppDataPath);
  out = ReplaceText(out, u"$COMMONDESKTOP", v.CommonDesktopPath);
  out = ReplaceText(out, u"$DESKTOP", v.DesktopPath);
  out = ReplaceText(out, u"$DOCUMENTS", v.DocumentsPath);
  out = ReplaceText(out, u"$SAVEDGAMES", v.SavedGamesPath);
  out = ReplaceText(out, u"$CDDRIVE", v.CdDrivePath);
  out = ReplaceText(out, u"$LANGUAGESELECTION", v.LanguageSelection);
  if (v.Environment) out = ExpandEnvironmentReferences(out, *v.Environment);
  return ReplaceText(out, u"\\\\", u"\\");
}

namespace {

// The folder variables in the order contraction tries them (see the header).
std::vector<std::pair<const std::u16string*, const char*>> ContractionOrder(const TPathValues& v) {
  std::vector<std::pair<const std::u16string*, const char*>> order = {{&v.InstallDir, "$INSTDIR"},
                                                                      {&v.ProgramsMenuPath, "$SMPROGRAMS"},
                                                                      {&v.ProgramFilesPath, "$PROGRAMFILES"},
                                                                      {&v.AppDataPath, "$APPDATA"},
                                                                      {&v.DesktopPath, "$DESKTOP"}};
  std::vector<std::pair<const std::u16string*, const char*>> later = {{&v.ProgramFiles64Path, "$PROGRAMFILES64"},
                                                                      {&v.LocalAppDataPath, "$LOCALAPPDATA"},
                                                                      {&v.DocumentsPath, "$DOCUMENTS"},
                                                                      {&v.SavedGamesPath, "$SAVEDGAMES"},
                                                                      {&v.CommonDesktopPath, "$COMMONDESKTOP"}};
  std::stable_sort(later.begin(), later.end(),
                   [](const auto& a, const auto& b) { return a.first->size() > b.first->size(); });
  order.insert(order.end(), later.begin(), later.end());
  return order;
}

constexpr std::string_view kProgramFiles = "$PROGRAMFILES";

}  // namespace

std::u16string ContractPathVariables(std::u16string_view text, const TPathValues& v) {
  std::u16string out(text);
  // An empty folder value is never replaced (ReplaceText leaves an empty key alone).
  for (const auto& [value, name] : ContractionOrder(v)) {
    const std::u16string wide_name = Utf8ToWide(name);
    if (name == kProgramFiles && !value->empty()) out = ReplaceText(out, *value + u"64", wide_name + u"\\64");
    out = ReplaceText(out, *value, wide_name);
  }
  if (v.Environment) out = ExpandEnvironmentReferences(out, *v.Environment);
  return out;
}

TPathContractor::TPathContractor(const TPathValues& v) {
  // An empty folder value is never replaced, as in the wide form.
  for (const auto& [value, name] : ContractionOrder(v)) {
    if (value->empty()) continue;
    const std::string narrow = WideToUtf8(*value);
    if (name == kProgramFiles) folders_.emplace_back(narrow + "64", std::string(name) + "\\64");
    folders_.emplace_back(narrow, name);
  }
  if (v.Environment) {
    for (const auto& [name, value] : *v.Environment) {
      environment_.emplace_back(WideToUtf8(u"%" + name + u"%"), WideToUtf8(value));
    }
  }
}

std::string TPathContractor::Contract(std::string_view path) const {
  std::string out(path);
  for (const auto& [value, name] : folders_) out = ReplaceText(out, value, name);
  if (out.find('%') == std::string::npos) return out;
  for (const auto& [key, value] : environment_) out = ReplaceText(out, key, value);
  return out;
}

TPathValues CurrentPathValues() {
  TSetupGlobals& g = Globals();
  TPathValues v;
  v.InstallDir = Utf8ToWide(g.SetupInfo.InstallDir);
  v.ProgramsMenuPath = g.State.ProgramsMenuPath;
  v.ProgramFilesPath = g.State.ProgramFilesPath;
  v.AppDataPath = WithTrailingBackslash(Host().AppDataFolder());
  v.DesktopPath = g.State.DesktopPath;
  v.CdDrivePath = g.State.CdDrivePath;
  v.LanguageSelection = g.State.LanguageSelection;
  v.ProgramFiles64Path = g.State.ProgramFiles64Path;
  v.LocalAppDataPath = g.State.LocalAppDataPath;
  v.DocumentsPath = g.State.DocumentsPath;
  v.SavedGamesPath = g.State.SavedGamesPath;
  v.CommonDesktopPath = g.State.CommonDesktopPath;
  v.Environment = &g.State.EnvironmentTable;
  return v;
}

std::u16string ExpandPathVariables(std::u16string_view text) { return ExpandPathVariables(text, CurrentPathValues()); }

std::u16string ContractPathVariables(std::u16string_view text) {
  return ContractPathVariables(text, CurrentPathValues());
}

}  // namespace setup

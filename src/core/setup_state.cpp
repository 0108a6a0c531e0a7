// Setup state, singletons and path variables.
#include "core/setup_state.h"

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
  out = ReplaceText(out, u"$PROGRAMFILES", v.ProgramFilesPath);
  out = ReplaceText(out, u"$APPDATA", v.AppDataPath);
  out = ReplaceText(out, u"$DESKTOP", v.DesktopPath);
  out = ReplaceText(out, u"$CDDRIVE", v.CdDrivePath);
  out = ReplaceText(out, u"$LANGUAGESELECTION", v.LanguageSelection);
  if (v.Environment) out = ExpandEnvironmentReferences(out, *v.Environment);
  return ReplaceText(out, u"\\\\", u"\\");
}

std::u16string ContractPathVariables(std::u16string_view text, const TPathValues& v) {
  std::u16string out(text);
  // An empty folder value is never replaced (ReplaceText leaves an empty key alone).
  out = ReplaceText(out, v.InstallDir, u"$INSTDIR");
  out = ReplaceText(out, v.ProgramsMenuPath, u"$SMPROGRAMS");
  out = ReplaceText(out, v.ProgramFilesPath, u"$PROGRAMFILES");
  out = ReplaceText(out, v.AppDataPath, u"$APPDATA");
  out = ReplaceText(out, v.DesktopPath, u"$DESKTOP");
  if (v.Environment) out = ExpandEnvironmentReferences(out, *v.Environment);
  return out;
}

TPathContractor::TPathContractor(const TPathValues& v) {
  const std::pair<const std::u16string*, const char*> folders[] = {{&v.InstallDir, "$INSTDIR"},
                                                                   {&v.ProgramsMenuPath, "$SMPROGRAMS"},
                                                                   {&v.ProgramFilesPath, "$PROGRAMFILES"},
                                                                   {&v.AppDataPath, "$APPDATA"},
                                                                   {&v.DesktopPath, "$DESKTOP"}};
  // An empty folder value is never replaced, as in the wide form.
  for (const auto& [value, name] : folders) {
    if (!value->empty()) folders_.emplace_back(WideToUtf8(*value), name);
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
  v.Environment = &g.State.EnvironmentTable;
  return v;
}

std::u16string ExpandPathVariables(std::u16string_view text) { return ExpandPathVariables(text, CurrentPathValues()); }

std::u16string ContractPathVariables(std::u16string_view text) {
  return ContractPathVariables(text, CurrentPathValues());
}

}  // namespace setup

// Registry values, URL protocols, shell links, programs and status lines.
#include "engine/shell_commands.h"

#include <vector>

#include "core/error.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/text.h"
#include "engine/file_commands.h"
#include "engine/interpreter.h"
#include "engine/run_log.h"
#include "engine/status_channel.h"
#include "engine/system.h"
#include "engine/uninstall_list.h"

namespace setup {

namespace {

constexpr int kClassesRoot = 2;

// The URL protocol keys are written without checking their opens: a value that cannot be
// written ends the install like a refused write.
void WriteUrlValue(const std::string& key, const std::string& name, const std::string& value) {
  NoteCreatedKeys("HKCR", key);
  if (!WriteRegistryValue(kClassesRoot, "HKCR", key, name, value)) {
    throw ESetupError("Failed to set data for '" + name + "'");
  }
}

}  // namespace

bool WriteRegistryValue(int root, const std::string& root_name, const std::string& key, const std::string& name,
                        const std::string& value) {
  std::string folder = key;
  while (!folder.empty() && folder.back() == '\\') folder.pop_back();
  const std::string subject =
      root_name + "\\" + folder + "\\" + (name.empty() ? std::string("(Default)") : name) + " = " + value;
  bool written = false;
  try {
    written = System().RegWriteString(root, key, name, value);
  } catch (const ESetupError& e) {
    LogFailure("write registry value", subject, e.what());
    throw;
  }
  if (written)
    LogStep("Wrote registry value", subject);
  else
    LogFailure("write registry value", subject);
  return written;
}

std::string RegistryKeyLine(const std::string& root, const std::string& key) {
  return "\"" + root + "\" \"" + key + "\"";
}

void NoteCreatedKeys(const std::string& root_name, const std::string& key) {
  const int root = RootNameToIndex(root_name);
  std::vector<std::string> created;
  std::string path = key;
  while (true) {
    while (!path.empty() && path.back() == '\\') path.pop_back();
    if (path.empty() || System().RegKeyExists(root, path)) break;
    created.push_back(path);
    const size_t cut = path.rfind('\\');
    if (cut == std::string::npos) break;
    path.resize(cut);
  }
  // Parents first, as the write makes them.
  for (auto it = created.rbegin(); it != created.rend(); ++it)
    UninstallList().AddCreatedKey(RegistryKeyLine(root_name, *it));
}

std::string RegistryEntryLine(const std::string& root, const std::string& key, const std::string& name,
                              const std::string& value) {
  return "\"" + root + "\" \"" + key + "\" \"" + name + "\" \"" + value + "\"";
}

void CreateShellLink(const std::string& link, const std::string& target, const std::string& arguments,
                     const std::string& icon_file) {
  CreateFolderPath(FolderPart(link));
  if (System().CreateShellLink(link, target, arguments, FolderPart(target), icon_file)) {
    LogStep("Created shortcut", link + " -> " + target);
  } else {
    LogFailure("create shortcut", link + " -> " + target);
  }
}

void RunWriteRegStr(TCompiledLine& line) {
  const auto& p = line.Params;
  NoteCreatedKeys(p[0], p[1]);
  WriteRegistryValue(RootNameToIndex(p[0]), p[0], p[1], p[2], Expanded(p[3]));
  UninstallList().AddRegistryEntry(RegistryEntryLine(p[0], p[1], p[2], p[3]));
}

void RunWriteRegStrUrl(TCompiledLine& line) {
  const auto& p = line.Params;
  const std::string& protocol = p[0];
  WriteUrlValue(protocol, "", "URL:" + protocol + " Protocol");
  WriteUrlValue(protocol, "URL Protocol", "");
  WriteUrlValue(protocol + "\\DefaultIcon\\", "", Expanded(p[1]));
  std::string command = "\"" + Expanded(p[2]) + "\"";
  for (size_t i = 3; i < p.size(); ++i) command += " \"" + p[i] + "\"";
  WriteUrlValue(protocol + "\\shell\\open\\command\\", "", command);
  TUninstallList& log = UninstallList();
  log.AddRegistryEntry(RegistryEntryLine("HKCR", protocol, "", ""));
  log.AddRegistryEntry(RegistryEntryLine("HKCR", protocol, "URL Protocol", ""));
  log.AddRegistryEntry(RegistryEntryLine("HKCR", protocol + "\\DefaultIcon\\", "", ""));
  log.AddRegistryEntry(RegistryEntryLine("HKCR", protocol + "\\shell\\open\\command\\", "", ""));
}

void RunCreateShortcut(TCompiledLine& line) {
  const auto& p = line.Params;
  const std::string link = Expanded(p[0]);
  const std::string target = Expanded(p[1]);
  const std::string icon = p.size() >= 4 ? Expanded(p[3]) : target;
  CreateShellLink(link, target, Expanded(p[2]), icon);
  UninstallList().AddFile(link);
}

void RunExecute(TCompiledLine& line) {
  const std::string file = Expanded(line.Params[0]);
  const std::string parameters = line.Params.size() >= 2 ? Expanded(line.Params[1]) : std::string();
  const std::string command = line.Params.size() >= 2 ? file + " " + parameters : file;
  if (System().ExecuteAndWait(file, line.Params.size() >= 2 ? &parameters : nullptr,
                              [] { return !Interpreter().ScriptStopped; })) {
    LogStep("Ran program", command);
  } else {
    LogFailure("start program", command);
  }
  KnownFolders().Clear();  // the program may have moved or removed folders
}

void RunMessage(TCompiledLine& line) {
  StatusChannel().SetStatusText(Languages().ExpandLanguageTokens(Utf8ToWide(line.Params[0])));
}

}  // namespace setup

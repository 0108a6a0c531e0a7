// Control flow: the loop increments CurrentLine before every line, so a jump that writes a
// label's index resumes after the label, and one that writes the index minus one runs the
// (inert) label line first.
#include "engine/flow_commands.h"

#include "core/host.h"
#include "core/languages.h"
#include "core/text.h"
#include "engine/interpreter.h"
#include "engine/status_channel.h"
#include "engine/system.h"
#include "engine/uninstall_list.h"

namespace setup {

std::string ResolveCdDrivePath(const std::string& path) {
  if (UpperAscii(path).find("$CDDRIVE") == std::string::npos) return path;
  for (const std::string& root : System().CdRomRoots()) {
    const std::string candidate = ReplaceText(path, "$CDDRIVE", root);
    if (System().FileExists(candidate)) return candidate;
  }
  return path;
}

void RunGoto(TCompiledLine& line) {
  const int32_t target = ParseLineIndex(line.Params[0]);
  if (target >= 0) Interpreter().CurrentLine = target;
}

void RunIfFileExists(TCompiledLine& line) {
  const std::string path = Expanded(ResolveCdDrivePath(line.Params[0]));
  const int32_t target = ParseLineIndex(line.Params[System().FileExists(path) ? 1 : 2]);
  if (target >= 0) Interpreter().CurrentLine = target;
}

void RunMessageBox(TCompiledLine& line) {
  const int answer = Host().ShowMessageBox(Expanded(line.Params[0]), Expanded(line.Params[1]),
                                           kMbOkCancel | kMbIconQuestion);
  const int32_t target = ParseLineIndex(line.Params[answer == kIdOk ? 2 : 3]);
  if (target > 0) Interpreter().CurrentLine = target - 1;
}

void RunFailure(TCompiledLine&) {
  StatusChannel().SetFinishText(GetString(kStrInstallFailed), true);
  Interpreter().ScriptStopped = true;
}

void RunUninstallLogLoad(TCompiledLine& line) {
  UninstallList().LoadLog(Expanded(line.Params[0]), line.Params.size() >= 2 ? line.Params[1] : std::string());
}

void RunUninstallLogSave(TCompiledLine& line) {
  UninstallList().SaveLog(Expanded(line.Params[0]), line.Params.size() >= 2 ? line.Params[1] : std::string());
}

}  // namespace setup

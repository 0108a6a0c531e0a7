#include "engine/interpreter.h"

#include <cerrno>
#include <cstdlib>

#include "core/error.h"
#include "core/host.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/archive_commands.h"
#include "engine/file_commands.h"
#include "engine/run_log.h"
#include "engine/system.h"
#include "engine/uninstall_list.h"
#include "engine/uninstaller.h"

namespace setup {

TInterpreterState& Interpreter() {
  static TInterpreterState state;
  return state;
}

int32_t ParseLineIndex(const std::string& text) {
  if (text.empty()) return -1;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return -1;
  return static_cast<int32_t>(value);
}

std::string Expanded(const std::string& text) {
  return WideToUtf8(ExpandPathVariables(Utf8ToWide(text)));
}

bool RunNextLine() {
  TSetupGlobals& g = Globals();
  TInterpreterState& state = Interpreter();
  const auto& lines = g.CompLines.Lines;
  const int32_t last = static_cast<int32_t>(lines.size()) - 1;
  const int32_t current = ++state.CurrentLine;
  if (current >= 0 && current <= last && lines[current].Command > 0) {
    TCommandClass* command = g.Commands.ByNumber(lines[current].Command);
    if (!command) {
      throw ESetupError("Line " + std::to_string(current) + " names command " +
                        std::to_string(lines[current].Command) + ", which does not exist");
    }
    command->SFXProcess(lines[current].LineIndex);
  }
  return state.CurrentLine <= last && !state.ScriptStopped;
}

void RunLines() {
  if (Globals().CompLines.Lines.empty()) return;
  while (RunNextLine()) {
  }
}

void RunScript() {
  RunLines();
  if (Interpreter().ScriptStopped)
    LogStep("Script stopped", "compiled line " + std::to_string(Interpreter().CurrentLine));
  CloseOpenArchives();
  TSetupInfoFile& info = Globals().SetupInfo;
  CreateFolderPath(info.InstallDir);
  if (info.HasUninstaller == 1) {
    // As the file is named on the disk: the install folder may end in a backslash already.
    const std::string log = WithTrailingBackslash(info.InstallDir) + info.UninstallPrefix + "install.log";
    if (UninstallList().SaveLog(info.InstallDir, info.UninstallPrefix))
      LogStep("Wrote file", log);
    else
      LogFailure("write file", log);
    BuildUninstaller();
    if (RunLog() && !info.UninstallExeName.empty()) {
      const std::string uninstaller = WithTrailingBackslash(info.InstallDir) + info.UninstallExeName;
      if (System().FileExists(uninstaller))
        LogStep("Wrote file", uninstaller);
      else
        LogFailure("write file", uninstaller, "the uninstaller could not be built");
    }
  }
}

}  // namespace setup

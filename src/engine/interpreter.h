// The script interpreter: walks the compiled lines with a program counter and hands each line
// to its command's run operation.
//
// State shared with the wizard, each written by one side and polled by the other:
//   CurrentLine    worker (and the wizard before a run): the line being run; jumps write it
//   ScriptStopped  worker: set by "failure" and a missing VFS archive; never cleared
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace setup {

struct TInterpreterState {
  std::atomic<int32_t> CurrentLine{-1};
  std::atomic<bool> ScriptStopped{false};
};

TInterpreterState& Interpreter();

// A jump parameter as a line position: its integer value, or -1 when it is not an integer.
int32_t ParseLineIndex(const std::string& text);

// Runs the line after CurrentLine (none when that is beyond the last line); a line naming a
// command beyond the registry raises ESetupError. True while a further line is to run: the
// position is not beyond the last line and the script was not stopped.
bool RunNextLine();

// Runs the compiled lines from CurrentLine + 1 until the last line has run or the script was
// stopped; at least one line when there are any.
void RunLines();

// RunLines, then the closing steps: the install folder is created and, when the script
// declared an uninstaller, the install log is saved and the uninstaller built.
void RunScript();

// Text through the "$" variables, narrow in and out.
std::string Expanded(const std::string& text);

}  // namespace setup

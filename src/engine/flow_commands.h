// Jumps, questions and the deliberate stop of a script, and the install log commands.
#pragma once

#include <string>

#include "core/setup_info.h"

namespace setup {

// A path holding "$CDDRIVE" with the root of the first CD-ROM drive that has the file; the
// path unchanged when none has it.
std::string ResolveCdDrivePath(const std::string& path);

void RunGoto(TCompiledLine& line);
void RunIfFileExists(TCompiledLine& line);
void RunMessageBox(TCompiledLine& line);
void RunFailure(TCompiledLine& line);
void RunUninstallLogLoad(TCompiledLine& line);
void RunUninstallLogSave(TCompiledLine& line);

}  // namespace setup

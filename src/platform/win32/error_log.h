// The Windows side of the error report: gathers the facts, writes the report into the
// temporary folder, shows the "Error Report" box, opens the file and ends the process.
#pragma once

#include <string>

#include "core/error_report.h"

namespace setup::win32 {

// Reads the operating-system facts; called once at program start.
void ReadSystemFacts();
const TOSVersionFacts& SystemFacts();
// The operating-system lines of the report, over the facts read at program start.
struct TOSInfo {
  static int OSIndex() { return setup::OSIndex(SystemFacts()); }
  static std::string EditionText() { return setup::EditionText(SystemFacts()); }
  static std::string ServicePackText() { return setup::ServicePackText(SystemFacts()); }
};

// Processor clock in MHz from the time-stamp counter over 500 ms at real-time priority.
uint32_t CpuSpeedMHz();
// Never returns: the process ends with exit code kExitErrorReport (core/exit_codes.h).
[[noreturn]] void WriteErrorLog(const std::string& error_text, const std::string& error_type);

}  // namespace setup::win32

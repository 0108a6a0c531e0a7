// The error report: a plain-text file about the setup, the package, the command line and the
// machine, written to the temporary folder when an unexpected error stops the program.
//
// Everything here is portable: the report's text, the masked command line, the choice of the
// file name and the operating-system names are composed from facts that the Windows layer
// gathers (src/platform/win32/error_log.cpp writes, shows and opens the report).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace setup {

// Facts about the operating system, read once at program start.
struct TOSVersionFacts {
  enum : uint32_t { kPlatformConsumer = 1, kPlatformNT = 2 };
  uint32_t PlatformId = 0;
  uint32_t Major = 0;
  uint32_t Minor = 0;
  uint32_t Build = 0;
  std::string ServicePack;  // the system's service pack text
  bool HasExtended = false;  // the extended version call succeeded
  uint16_t ServicePackMajor = 0;
  uint16_t ServicePackMinor = 0;
  uint16_t SuiteMask = 0;
  uint8_t ProductType = 0;  // 1 workstation, 2 domain controller, 3 server
  bool MediaCenter = false;
  bool TabletPC = false;
  std::string ProductOptionsType;  // "ProductType" of the ProductOptions key; empty when unreadable
  bool HasQ246009 = false;         // the service pack 6a hotfix key exists
};

constexpr int kOSNameCount = 12;
extern const char* const kOSNames[kOSNameCount];
int OSIndex(const TOSVersionFacts& os);
std::string EditionText(const TOSVersionFacts& os);
std::string ServicePackText(const TOSVersionFacts& os);

struct TErrorReportFacts {
  std::string SetupName;
  std::string SetupExeName;
  char PakMagic[4] = {0, 0, 0, 0};
  uint16_t PakVersion = 0;
  uint32_t PakCount = 0;
  std::string ErrorType;  // "Verification Stage", "Setup Thread" or empty
  std::string ErrorText;
  std::vector<std::string> Arguments;  // without the program name
  TOSVersionFacts OS;
  uint64_t PhysicalMemoryBytes = 0;
  uint32_t CpuMHz = 0;
};

// The report, lines ended by carriage return and line feed.
std::string ComposeErrorReport(const TErrorReportFacts& facts);
// The text of the "Error Report" message box.
std::string ErrorReportMessage(const std::string& error_type, const std::string& error_text, const std::string& path);
// The box text when the report file could not be written: the same error lines, then the
// path that failed (or none when no free name was found) instead of the request to send it.
std::string ErrorReportUnwrittenMessage(const std::string& error_type, const std::string& error_text,
                                        const std::string& path);
// Arguments upper-cased and joined by spaces; "/J" and the two values after it become "/j X X.X.X.X".
std::string MaskedParams(const std::vector<std::string>& arguments);
// Numbers tried by ErrorLogPath before it gives up; bounds the search when every name is taken
// (or the existence check always answers yes) instead of counting on for ever.
constexpr uint32_t kErrorLogNumberLimit = 100000;
// temp_folder + "\ErrorLog" + at least four digits + ".TXT", the first name that does not exist.
// The "\" is added only when the folder does not already end in one. Empty when all the numbers
// below kErrorLogNumberLimit are taken.
std::string ErrorLogPath(const std::string& temp_folder, const std::function<bool(const std::string&)>& exists);
// Time-stamp counter difference over 500 ms, taken as 32 bits, in MHz rounded to nearest.
uint32_t CpuSpeedFromCounter(uint64_t difference);

}  // namespace setup

// The Windows side of the error report. When an unexpected error stops setup, the outer
// handlers call WriteErrorLog: it gathers what the program and the machine can tell about
// themselves, writes the report to a free ErrorLogNNNN.TXT in the temporary folder, shows the
// "Error Report" box, opens the report for the user and ends the process at once. The text and
// every rule behind it live in core/error_report.cpp; this file only reads the OS. Every text
// of the report is UTF-8, and so is the file (without a byte-order mark).
#include "platform/win32/error_log.h"

#include <intrin.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "core/exit_codes.h"
#include "core/setup_state.h"
#include "engine/run_log.h"
#include "platform/win32/windows_support.h"

#include <shellapi.h>

namespace setup::win32 {

namespace {

constexpr wchar_t kProductOptionsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
// Present once the NT 4.0 service pack 6a hotfix is installed; 6a still reports "Service Pack 6".
constexpr wchar_t kQ246009Key[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Hotfix\\Q246009";
// Longest "ProductType" text read; the known values are a few letters.
constexpr DWORD kProductTypeLimit = 64;
// Tries at creating a fresh report file when another process takes the chosen name first.
constexpr int kCreateAttempts = 3;

// Test switch: SETUP_NO_SHELL_OPEN=1 leaves out opening the report with the shell. Under Wine
// the shell would start an editor that stays running in the test prefix after setup has ended.
constexpr wchar_t kNoShellOpenVariable[] = L"SETUP_NO_SHELL_OPEN";

// The extended structure that GetVersionExW fills when the system knows it (NT 4.0 SP6 on).
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW is 284 bytes");

// A text of a fixed-size field, which need not end in a zero.
std::string FixedText(const wchar_t* text, size_t capacity) { return NarrowUtf8({text, wcsnlen(text, capacity)}); }

std::string ReadProductOptionsType() {
  ScopedRegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductOptionsKey, 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS) {
    return {};
  }
  wchar_t value[kProductTypeLimit] = {};
  DWORD type = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExW(key.Get(), L"ProductType", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  // A stored string need not carry its terminating zero.
  return FixedText(value, size / sizeof(wchar_t));
}

bool KeyExists(HKEY root, const wchar_t* subkey) {
  ScopedRegKey key;
  return RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, key.Receive()) == ERROR_SUCCESS;
}

TOSVersionFacts GatherSystemFacts() {
  TOSVersionFacts facts;
  OSVERSIONINFOW basic{};
  basic.dwOSVersionInfoSize = sizeof basic;
  if (GetVersionExW(&basic)) {
    facts.PlatformId = basic.dwPlatformId;
    facts.Major = basic.dwMajorVersion;
    facts.Minor = basic.dwMinorVersion;
    // Windows 9x keeps the major and minor version in the high word of the build number.
    facts.Build = basic.dwPlatformId == TOSVersionFacts::kPlatformConsumer ? LOWORD(basic.dwBuildNumber)
                                                                           : basic.dwBuildNumber;
    facts.ServicePack = FixedText(basic.szCSDVersion, std::size(basic.szCSDVersion));
  }

  OSVERSIONINFOEXW extended{};
  extended.dwOSVersionInfoSize = sizeof extended;
  facts.HasExtended = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended)) != 0;
  if (facts.HasExtended) {
    facts.ServicePackMajor = extended.wServicePackMajor;
    facts.ServicePackMinor = extended.wServicePackMinor;
    facts.SuiteMask = extended.wSuiteMask;
    facts.ProductType = extended.wProductType;
  } else {
    facts.ProductOptionsType = ReadProductOptionsType();
  }
  facts.MediaCenter = GetSystemMetrics(SM_MEDIACENTER) != 0;
  facts.TabletPC = GetSystemMetrics(SM_TABLETPC) != 0;
  facts.HasQ246009 = KeyExists(HKEY_LOCAL_MACHINE, kQ246009Key);
  return facts;
}

// Runs the process at real-time priority and the thread time-critical for its lifetime, so
// that nothing else takes the processor during the clock measurement; restores both after.
class RealTimePriority {
 public:
  RealTimePriority()
      : process_class_(GetPriorityClass(GetCurrentProcess())), thread_priority_(GetThreadPriority(GetCurrentThread())) {
    SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  }
  ~RealTimePriority() {
    if (process_class_ != 0) SetPriorityClass(GetCurrentProcess(), process_class_);
    if (thread_priority_ != THREAD_PRIORITY_ERROR_RETURN) SetThreadPriority(GetCurrentThread(), thread_priority_);
  }
  RealTimePriority(const RealTimePriority&) = delete;
  RealTimePriority& operator=(const RealTimePriority&) = delete;

 private:
  DWORD process_class_;
  int thread_priority_;
};

TErrorReportFacts GatherReportFacts(const std::string& error_text, const std::string& error_type) {
  TErrorReportFacts facts;
  TSetupGlobals& globals = Globals();
  facts.SetupName = globals.SetupInfo.SetupName;
  facts.SetupExeName = globals.SetupInfo.SetupExeName;
  if (globals.Package) {
    const TPakTrailer& trailer = globals.Package->Trailer();
    std::memcpy(facts.PakMagic, trailer.Magic, sizeof facts.PakMagic);
    facts.PakVersion = trailer.Version;
    facts.PakCount = trailer.Count;
  }
  facts.ErrorType = error_type;
  facts.ErrorText = error_text;
  facts.Arguments = globals.State.Arguments;
  facts.OS = SystemFacts();
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  if (GlobalMemoryStatusEx(&memory)) facts.PhysicalMemoryBytes = memory.ullTotalPhys;
  // Two measurements, the larger kept: a measurement only ever comes out low when disturbed.
  const uint32_t first = CpuSpeedMHz();
  facts.CpuMHz = std::max(first, CpuSpeedMHz());
  return facts;
}

bool PathExists(const std::string& path) {
  return GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteAll(HANDLE file, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

// Writes the report to a new file in the temporary folder and tells where in path (empty when
// no name could be chosen). True only when every byte reached the file.
bool WriteReportFile(const std::string& report, std::string& path) {
  path.clear();
  const std::string folder = NarrowUtf8(TempFolderWide());
  if (folder.empty()) return false;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    path = ErrorLogPath(folder, PathExists);
    if (path.empty()) return false;
    // A new file only: a report someone else has just written under this name is left alone.
    ScopedHandle file(
        CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    return WriteAll(file.Get(), report);
  }
  return false;
}

bool ShellOpenDisabled() {
  wchar_t value[4] = {};
  const DWORD length = GetEnvironmentVariableW(kNoShellOpenVariable, value, static_cast<DWORD>(std::size(value)));
  return length == 1 && value[0] == L'1';
}

}  // namespace

const TOSVersionFacts& SystemFacts() {
  // Read on first use, so a report about an error before program start still has them.
  static const TOSVersionFacts facts = GatherSystemFacts();
  return facts;
}

void ReadSystemFacts() { (void)SystemFacts(); }

// Keeps the calling thread on the first processor while it lives: the two readings of the
// time-stamp counter come from one processor's counter.
class FirstProcessorOnly {
 public:
  FirstProcessorOnly() : previous_(SetThreadAffinityMask(GetCurrentThread(), 1)) {}
  ~FirstProcessorOnly() {
    if (previous_ != 0) SetThreadAffinityMask(GetCurrentThread(), previous_);
  }
  FirstProcessorOnly(const FirstProcessorOnly&) = delete;
  FirstProcessorOnly& operator=(const FirstProcessorOnly&) = delete;

 private:
  DWORD_PTR previous_;
};

uint32_t CpuSpeedMHz() {
  uint64_t difference = 0;
  {
    FirstProcessorOnly processor;
    RealTimePriority priority;
    // Let the scheduler hand over at the new priority before the first reading.
    Sleep(10);
    const uint64_t start = __rdtsc();
    Sleep(500);
    difference = __rdtsc() - start;
  }
  return CpuSpeedFromCounter(difference);
}

void WriteErrorLog(const std::string& error_text, const std::string& error_type) {
  std::string path;
  bool written = false;
  try {
    written = WriteReportFile(ComposeErrorReport(GatherReportFacts(error_text, error_type)), path);
  } catch (...) {
    // Called from the outer handlers: nothing may escape, and the box below must still appear.
    written = false;
  }
  // A report that did not reach the disk is not announced as created, nor opened.
  const std::string message = written ? ErrorReportMessage(error_type, error_text, path)
                                      : ErrorReportUnwrittenMessage(error_type, error_text, path);
  LogStep("Error report", message);
  MessageBoxW(ApplicationWindow(), WidenUtf8(message).c_str(), L"Error Report", MB_OK);
  if (written && !ShellOpenDisabled()) {
    ShellExecuteW(ApplicationWindow(), L"open", WidenUtf8(path).c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED);
  }
  // A run that ended on an error report failed: deployment tools must not count it a success.
  LogExitCode(kExitErrorReport);
  ExitProcess(kExitErrorReport);
}

}  // namespace setup::win32

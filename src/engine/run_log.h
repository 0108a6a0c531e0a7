// The run log: a plain-text account of every step an install or uninstall takes, kept when
// setup.exe is started with -log=FILE (for administrators who deploy a setup unattended).
//
// The engine reports its steps to one sink; without -log the sink is absent and nothing is
// formatted. A step is one line: what was done and to what ("Wrote file: C:\Games\Demo\a.txt"),
// or, when the system refused, "FAILED to ..." with the system's own words for the refusal.
// Lines come from the script's thread and from the install's writer threads alike, so a sink
// takes them from any thread; their order between threads is the order they arrived in.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/file_stream.h"

namespace setup {

class TRunLog {
 public:
  virtual ~TRunLog() = default;
  // One line without its line end; called from any thread.
  virtual void Write(std::string_view line) = 0;
};

// The sink in use, or null when no log is kept.
TRunLog* RunLog();
void SetRunLog(TRunLog* log);

// A log in a file. Lines end in CR LF (the log is read in Notepad) and each is handed to the
// system before Write returns, so a process that ends at once (the error report, the end of a
// silent run) loses none of them.
class TFileRunLog : public TRunLog {
 public:
  // Creates or empties the file; null when it cannot be made.
  static std::unique_ptr<TFileRunLog> Create(const std::string& path);
  void Write(std::string_view line) override;

 private:
  explicit TFileRunLog(std::unique_ptr<TFileStream> file) : file_(std::move(file)) {}
  std::mutex lock_;
  std::unique_ptr<TFileStream> file_;
};

// "WHAT: SUBJECT".
void LogStep(std::string_view what, std::string_view subject);
// "FAILED to WHAT: SUBJECT (REASON)"; the reason is the system's text for the calling thread's
// last failure (TSystem::LastErrorText), so call it right after the failing call, on its thread.
void LogFailure(std::string_view what, std::string_view subject);
// The same with a reason given; an empty reason is left out.
void LogFailure(std::string_view what, std::string_view subject, std::string_view reason);
// The last line of a run: "Exit code: N".
void LogExitCode(int code);

}  // namespace setup

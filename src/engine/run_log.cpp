#include "engine/run_log.h"

#include <atomic>

#include "engine/system.h"

namespace setup {

namespace {
std::atomic<TRunLog*> g_run_log{nullptr};
}  // namespace

TRunLog* RunLog() { return g_run_log.load(std::memory_order_acquire); }

void SetRunLog(TRunLog* log) { g_run_log.store(log, std::memory_order_release); }

std::unique_ptr<TFileRunLog> TFileRunLog::Create(const std::string& path) {
  auto file = TFileStream::Open(path, TFileMode::Create);
  if (!file) return nullptr;
  return std::unique_ptr<TFileRunLog>(new TFileRunLog(std::move(file)));
}

void TFileRunLog::Write(std::string_view line) {
  std::string text(line);
  text += "\r\n";
  std::lock_guard guard(lock_);
  file_->Write(text.data(), text.size());
  file_->Flush();
}

namespace {

// Texts of several lines (a message box's) stay on one line of the log.
void AppendOneLine(std::string& line, std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') {
      line += text[i];
    } else if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      continue;
    } else {
      line += " | ";
    }
  }
}

}  // namespace

void LogStep(std::string_view what, std::string_view subject) {
  TRunLog* log = RunLog();
  if (!log) return;
  std::string line(what);
  line += ": ";
  AppendOneLine(line, subject);
  log->Write(line);
}

void LogFailure(std::string_view what, std::string_view subject) {
  if (!RunLog()) return;
  LogFailure(what, subject, System().LastErrorText());
}

void LogFailure(std::string_view what, std::string_view subject, std::string_view reason) {
  TRunLog* log = RunLog();
  if (!log) return;
  std::string line = "FAILED to ";
  line += what;
  line += ": ";
  AppendOneLine(line, subject);
  if (!reason.empty()) {
    line += " (";
    AppendOneLine(line, reason);
    line += ")";
  }
  log->Write(line);
}

void LogExitCode(int code) { LogStep("Exit code", std::to_string(code)); }

}  // namespace setup

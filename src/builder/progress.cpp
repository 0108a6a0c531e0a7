#include "builder/progress.h"

#include <cstdio>

namespace setup::builder {

std::string Megabytes(uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

TProgressDisplay::TProgressDisplay(bool quiet, bool terminal)
    : quiet_(quiet),
      terminal_(terminal),
      start_(std::chrono::steady_clock::now()),
      phase_start_(start_),
      last_draw_(start_) {}

TProgressDisplay::~TProgressDisplay() {
  if (!quiet_ && terminal_ && phase_ != TPhase::None && !finished_) std::fputc('\n', stderr);
}

void TProgressDisplay::Planning(const TWriteProgress& p) { Draw(TPhase::Planning, p); }

void TProgressDisplay::Update(const TWriteProgress& p) {
  last_ = p;
  Draw(TPhase::Writing, p);
}

void TProgressDisplay::Draw(TPhase phase, const TWriteProgress& p) {
  if (quiet_) return;
  const auto now = std::chrono::steady_clock::now();
  if (phase != phase_) {
    // The planning's bar stays on its own line; the writing's rate starts afresh.
    if (terminal_ && phase_ != TPhase::None) std::fputc('\n', stderr);
    phase_ = phase;
    phase_start_ = now;
    last_draw_ = now - std::chrono::seconds(1);
    last_tenth_ = -1;
  }
  const char* label = phase == TPhase::Planning ? "planning patch: " : "";
  const double seconds = std::chrono::duration<double>(now - phase_start_).count();
  const double fraction = p.BytesTotal ? static_cast<double>(p.BytesDone) / static_cast<double>(p.BytesTotal)
                                       : static_cast<double>(p.FilesDone) / static_cast<double>(p.FilesTotal ? p.FilesTotal : 1);
  const double rate = seconds > 0 ? static_cast<double>(p.BytesDone) / seconds : 0;
  if (terminal_) {
    const bool done = p.FilesDone == p.FilesTotal;
    if (!done && now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<size_t>(filled), '=');
    bar.resize(kWidth, ' ');
    const double left = rate > 0 ? static_cast<double>(p.BytesTotal - p.BytesDone) / rate : 0;
    std::fprintf(stderr, "\r%s[%s] %zu/%zu files  %s/%s  %s/s  %d:%02d left ", label, bar.c_str(), p.FilesDone,
                 p.FilesTotal, Megabytes(p.BytesDone).c_str(), Megabytes(p.BytesTotal).c_str(),
                 Megabytes(static_cast<uint64_t>(rate)).c_str(), static_cast<int>(left) / 60,
                 static_cast<int>(left) % 60);
    std::fflush(stderr);
    return;
  }
  const int tenth = static_cast<int>(fraction * 10);
  if (tenth == last_tenth_) return;
  last_tenth_ = tenth;
  std::fprintf(stderr, "%s%3d%%  %zu/%zu files  %s/%s\n", label, tenth * 10, p.FilesDone, p.FilesTotal,
               Megabytes(p.BytesDone).c_str(), Megabytes(p.BytesTotal).c_str());
}

void TProgressDisplay::Finish(const std::string& output, const TWriteResult& result,
                              const std::vector<std::string>& more) {
  if (quiet_) return;
  finished_ = true;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (terminal_) std::fputc('\n', stderr);
  std::fprintf(stderr, "wrote %s: %zu files, %s in %.1f s\n", output.c_str(), last_.FilesTotal,
               Megabytes(last_.BytesTotal).c_str(), seconds);
  if (result.SharedEntries > 0) {
    std::fprintf(stderr, "%zu identical files stored once (%s saved)\n", result.SharedEntries,
                 Megabytes(result.SharedBytes).c_str());
  }
  if (!result.DataFiles.empty()) {
    std::fprintf(stderr, "data files (upload them beside the setup): %zu\n", result.DataFiles.size());
    for (const std::string& f : result.DataFiles) std::fprintf(stderr, "  %s\n", f.c_str());
  }
  for (const std::string& f : result.Removed) std::fprintf(stderr, "removed %s of an earlier build\n", f.c_str());
  for (const std::string& line : more) std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace setup::builder

// Build progress on the terminal: a bar with files and bytes done, rate and time left; plain
// lines when the output is not a terminal; nothing when quiet. A setup with patch lines shows
// their planning first (files and bytes of both folders compared), then the writing.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "builder/package_writer.h"

namespace setup::builder {

class TProgressDisplay {
 public:
  TProgressDisplay(bool quiet, bool terminal);
  // A bar that a failed build leaves ends its line, so the error stands on its own.
  ~TProgressDisplay();
  TProgressDisplay(const TProgressDisplay&) = delete;
  TProgressDisplay& operator=(const TProgressDisplay&) = delete;
  // Planning the patch lines.
  void Planning(const TWriteProgress& progress);
  // Writing the setup.
  void Update(const TWriteProgress& progress);
  // The closing lines: the setup, its data files, what was stored once, then the given lines
  // (what each patch line stored).
  void Finish(const std::string& output, const TWriteResult& result, const std::vector<std::string>& more = {});

 private:
  enum class TPhase { None, Planning, Writing };
  void Draw(TPhase phase, const TWriteProgress& p);

  bool quiet_;
  bool terminal_;
  TPhase phase_ = TPhase::None;
  bool finished_ = false;
  int last_tenth_ = -1;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point phase_start_;
  std::chrono::steady_clock::time_point last_draw_;
  TWriteProgress last_;
};

// "12.3 MB" with one decimal (decimal megabytes, as rates are given).
std::string Megabytes(uint64_t bytes);

}  // namespace setup::builder

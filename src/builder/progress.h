// Build progress on the terminal: a bar with files and bytes done, rate and time left; plain
// lines when the output is not a terminal; nothing when quiet.
#pragma once

#include <chrono>
#include <string>

#include "builder/package_writer.h"

namespace setup::builder {

class TProgressDisplay {
 public:
  TProgressDisplay(bool quiet, bool terminal);
  void Update(const TWriteProgress& progress);
  // The closing lines: the setup, its data files, what was stored once.
  void Finish(const std::string& output, const TWriteResult& result);

 private:
  bool quiet_;
  bool terminal_;
  int last_tenth_ = -1;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
  TWriteProgress last_;
};

// "12.3 MB" with one decimal (decimal megabytes, as rates are given).
std::string Megabytes(uint64_t bytes);

}  // namespace setup::builder

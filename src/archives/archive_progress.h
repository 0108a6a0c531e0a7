// How the game-archive code reports to the wizard while it works on the worker thread: the
// install engine hands in its status channel as two callbacks (either may be empty).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace setup {

struct TArchiveProgress {
  std::function<void(const std::u16string&)> SetStatusText;
  std::function<void(bool publish)> StepProgress;  // one progress step; publish refreshes the gauge

  void Status(const std::u16string& text) const {
    if (SetStatusText) SetStatusText(text);
  }
  void Step(bool publish) const {
    if (StepProgress) StepProgress(publish);
  }
};

// An archive update refreshes the gauge only when the whole percentage of entries done before
// the current one has grown; the steps in between are counted without a repaint.
class TPercentGate {
 public:
  explicit TPercentGate(int64_t total) : total_(total) {}
  bool Refresh(int64_t done) {
    const int64_t percentage = total_ > 0 ? done * 100 / total_ : 0;
    if (percentage <= last_) return false;
    last_ = percentage;
    return true;
  }

 private:
  int64_t total_;
  int64_t last_ = 0;
};

}  // namespace setup

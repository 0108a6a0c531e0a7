// How the game-archive code reports to the wizard while it works on the worker thread: the
// install engine hands in its status channel as two callbacks (either may be empty).
#pragma once

#include <functional>
#include <string>

namespace setup {

struct TArchiveProgress {
  std::function<void(const std::u16string&)> SetStatusText;
  std::function<void()> StepProgress;  // one published progress step

  void Status(const std::u16string& text) const {
    if (SetStatusText) SetStatusText(text);
  }
  void Step() const {
    if (StepProgress) StepProgress();
  }
};

}  // namespace setup

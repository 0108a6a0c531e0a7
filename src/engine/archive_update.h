// What the KZP and VFS updates share: how they report to the wizard while they work on the
// worker thread (the archive commands hand in the status channel as two callbacks, either may
// be empty), when they refresh the gauge, and how they read a package entry whole.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/buffer_manager.h"
#include "core/pak.h"

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

// The unpacked content of a package entry. Entries at the large-entry limit are kept plain in
// the package and are read directly. Raises ESetupError when the entry does not give all its
// bytes, so a damaged entry is never stored as an empty or short file.
TBytes PackageEntryContent(TPak& package, int index);

}  // namespace setup

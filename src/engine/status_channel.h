// The status channel: how the worker thread tells the wizard what it is doing.
//
// The worker stores the latest status and progress count under one lock; the wizard polls
// every millisecond and takes what changed. Intermediate texts may be skipped. Texts and steps
// are dropped when the layout has no status label or gauge to show them.
//
// A file's status line ("Extracting <%FILENAME%>") is handed over as the string's number and
// the file's name, and made into text only when the wizard takes it: an install of many small
// files pays a copy of each name, while at most one line per poll is ever made.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace setup {

class TStatusChannel {
 public:
  // Worker side.
  void SetStatusText(const std::u16string& text);
  // The string numbered string_number with the name in place of "<%FILENAME%>".
  void SetFileStatus(uint16_t string_number, std::string_view name);
  void StepProgress(bool publish);
  // Moves the gauge on by several steps at once and publishes (a patch counts its bytes so).
  void AdvanceProgress(uint32_t steps);
  // Sets the finish page's text directly (it is not on screen while the worker runs).
  void SetFinishText(const std::u16string& text, bool repaint);

  // Wizard side: true when something changed since the last take.
  bool TakeStatusText(std::u16string& text);
  bool TakeProgress(uint32_t& count);

  // Set by the wizard when it finds the named controls of the layout.
  std::atomic<bool> HasStatusLabel{false};
  std::atomic<bool> HasGauge{false};
  std::function<void(const std::u16string&, bool)> FinishText;

 private:
  std::mutex lock_;               // StatusLock
  std::u16string pending_text_;   // the latest text, unless a file's status came after it
  uint16_t pending_string_ = 0;   // the latest file status: its string and name
  std::string pending_name_;
  bool pending_is_file_ = false;
  bool text_changed_ = false;
  uint32_t progress_count_ = 0;   // steps since start-up, never reset (worker only)
  uint32_t published_progress_ = 0;
  bool progress_changed_ = false;
};

TStatusChannel& StatusChannel();

}  // namespace setup

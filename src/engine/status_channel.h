// The status channel: how the worker thread tells the wizard what it is doing.
//
// The worker stores the latest status text and progress count under one lock; the wizard
// polls every millisecond and takes what changed. Intermediate texts may be skipped. Texts
// and steps are dropped when the layout has no status label or gauge to show them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace setup {

class TStatusChannel {
 public:
  // Worker side.
  void SetStatusText(const std::u16string& text);
  void StepProgress(bool publish);
  // Sets the finish page's text directly (it is not on screen while the worker runs).
  void SetFinishText(const std::u16string& text, bool repaint);

  // Wizard side: true when something changed since the last take.
  bool TakeStatusText(std::string& text);
  bool TakeProgress(uint32_t& count);

  // Set by the wizard when it finds the named controls of the layout.
  std::atomic<bool> HasStatusLabel{false};
  std::atomic<bool> HasGauge{false};
  std::function<void(const std::u16string&, bool)> FinishText;

 private:
  std::mutex lock_;               // StatusLock
  std::string pending_text_;      // narrow, as the label takes it
  bool text_changed_ = false;
  uint32_t progress_count_ = 0;   // steps since start-up, never reset (worker only)
  uint32_t published_progress_ = 0;
  bool progress_changed_ = false;
};

TStatusChannel& StatusChannel();

}  // namespace setup

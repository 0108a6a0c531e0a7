#include "engine/status_channel.h"

#include "core/host.h"

namespace setup {

TStatusChannel& StatusChannel() {
  static TStatusChannel channel;
  return channel;
}

void TStatusChannel::SetStatusText(const std::u16string& text) {
  if (!HasStatusLabel) return;
  std::string narrow = Host().WideToAnsi(text);
  std::lock_guard guard(lock_);
  pending_text_ = std::move(narrow);
  text_changed_ = true;
}

void TStatusChannel::StepProgress(bool publish) {
  if (!HasGauge) return;
  ++progress_count_;
  if (!publish) return;
  std::lock_guard guard(lock_);
  published_progress_ = progress_count_;
  progress_changed_ = true;
}

void TStatusChannel::SetFinishText(const std::u16string& text, bool repaint) {
  if (FinishText) FinishText(text, repaint);
}

bool TStatusChannel::TakeStatusText(std::string& text) {
  std::lock_guard guard(lock_);
  if (!text_changed_) return false;
  text = pending_text_;
  text_changed_ = false;
  return true;
}

bool TStatusChannel::TakeProgress(uint32_t& count) {
  std::lock_guard guard(lock_);
  if (!progress_changed_) return false;
  count = published_progress_;
  progress_changed_ = false;
  return true;
}

}  // namespace setup

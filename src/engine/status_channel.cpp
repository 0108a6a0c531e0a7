#include "engine/status_channel.h"

#include "core/host.h"
#include "core/languages.h"
#include "core/text.h"

namespace setup {

TStatusChannel& StatusChannel() {
  static TStatusChannel channel;
  return channel;
}

void TStatusChannel::SetStatusText(const std::u16string& text) {
  if (!HasStatusLabel) return;
  std::lock_guard guard(lock_);
  pending_text_ = text;
  pending_is_file_ = false;
  text_changed_ = true;
}

void TStatusChannel::SetFileStatus(uint16_t string_number, std::string_view name) {
  if (!HasStatusLabel) return;
  std::lock_guard guard(lock_);
  pending_string_ = string_number;
  pending_name_.assign(name);
  pending_is_file_ = true;
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

void TStatusChannel::AdvanceProgress(uint32_t steps) {
  if (!HasGauge || steps == 0) return;
  progress_count_ += steps;
  std::lock_guard guard(lock_);
  published_progress_ = progress_count_;
  progress_changed_ = true;
}

void TStatusChannel::SetFinishText(const std::u16string& text, bool repaint) {
  if (FinishText) FinishText(text, repaint);
}

bool TStatusChannel::TakeStatusText(std::u16string& text) {
  uint16_t string_number = 0;
  std::string name;
  {
    std::lock_guard guard(lock_);
    if (!text_changed_) return false;
    text_changed_ = false;
    if (!pending_is_file_) {
      text = pending_text_;
      return true;
    }
    string_number = pending_string_;
    name = pending_name_;
  }
  // Made outside the lock: the worker goes on meanwhile.
  text = ReplaceText(GetString(string_number), u"<%FILENAME%>", Utf8ToWide(name));
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

// TFrmVerify: the small window that shows start-up verification progress.
#pragma once

#include <string>

#include "platform/win32/windows_support.h"

namespace setup::win32 {

class TFrmVerify {
 public:
  TFrmVerify();
  ~TFrmVerify();
  TFrmVerify(const TFrmVerify&) = delete;
  TFrmVerify& operator=(const TFrmVerify&) = delete;

  void Show();
  // Sets the status text and progress and repaints at once (no message loop runs meanwhile),
  // at most once a display frame but always for the last position of a range.
  void Update(const std::string& status, int position, int maximum);

 private:
  HWND window_ = nullptr;
  HWND label1_ = nullptr;
  HWND status_label_ = nullptr;
  HWND progress_bar1_ = nullptr;
  HFONT font_ = nullptr;
  static constexpr DWORD kUpdateIntervalMs = 16;
  DWORD last_update_ = 0;
  int shown_maximum_ = -1;
};

}  // namespace setup::win32

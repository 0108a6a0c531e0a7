// The Windows host: message boxes, code-page conversion, locale lower-casing and the
// application-data folder for the portable code.
#pragma once

#include <mutex>
#include <string>

#include "core/host.h"

namespace setup::win32 {

class TWin32Host : public THost {
 public:
  int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) override;
  int ShowMessageBoxWide(const std::u16string& text, const std::u16string& caption, unsigned style) override;
  std::u16string AnsiToWide(std::string_view text) override;
  std::string LowerLocale(std::string_view text) override;
  std::u16string AppDataFolder() override;
  [[noreturn]] void FatalAppExit(const std::string& message) override;

 private:
  std::mutex app_data_lock_;
  std::u16string app_data_folder_;  // empty until the system has named it
};

}  // namespace setup::win32

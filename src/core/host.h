// What the portable code needs from the operating system, behind one small interface.
//
// The Windows layer installs its own THost at program start; native tools and tests run
// with the portable host (message boxes go to stderr and are answered with OK, texts of older
// setups are read as Windows-1252, the code page their builder wrote).
//
// Every narrow text crossing this interface is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace setup {

// Message box styles and answers, with the values the Windows API gives them.
enum : unsigned {
  kMbOk = 0x0,
  kMbOkCancel = 0x1,
  kMbYesNo = 0x4,
  kMbRetryCancel = 0x5,
  kMbIconError = 0x10,
  kMbIconQuestion = 0x20,
  kMbIconWarning = 0x30,
  kMbIconInformation = 0x40,
};
enum : int { kIdOk = 1, kIdCancel = 2, kIdRetry = 4, kIdYes = 6, kIdNo = 7 };

class THost {
 public:
  virtual ~THost() = default;

  // A modal message box owned by the application; returns the button pressed.
  virtual int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) = 0;
  // The same box with UTF-16 texts.
  virtual int ShowMessageBoxWide(const std::u16string& text, const std::u16string& caption, unsigned style);
  // Text in the system's ANSI code page (what setups and install logs of the first version
  // stored) as UTF-16.
  virtual std::u16string AnsiToWide(std::string_view text) = 0;
  // The system's lower-casing, as it compares file names.
  virtual std::string LowerLocale(std::string_view text) = 0;
  // The current user's application-data folder, asked of the system once and kept (it cannot
  // move while setup runs); empty on failure.
  virtual std::u16string AppDataFolder() = 0;
  // Shows the message as the system's fatal application exit and ends the process at once.
  [[noreturn]] virtual void FatalAppExit(const std::string& message) = 0;
};

// The portable host described above.
class TPortableHost : public THost {
 public:
  int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) override;
  std::u16string AnsiToWide(std::string_view text) override;
  std::string LowerLocale(std::string_view text) override;
  std::u16string AppDataFolder() override { return {}; }
  // Prints the message and ends the process with exit code 3.
  [[noreturn]] void FatalAppExit(const std::string& message) override;
};

// A text stored by a setup of the first version (in the system's ANSI code page) as UTF-8;
// plain ASCII stays as it is.
std::string LegacyTextToUtf8(std::string_view text);

// The host in use; the portable host until SetHost installs another.
THost& Host();
// Installs a host (not owned); null restores the portable host.
void SetHost(THost* host);

}  // namespace setup

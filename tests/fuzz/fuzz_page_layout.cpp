// Fuzz target: the page layout script and page files (TSEPageControl::LoadPages,
// TControlParser::LoadPage) as the wizard reads them from a setup package, and the typed look
// the window takes from every control.
//
// The input is cut at "\x00\x00" into the layout script "Pages.txt" and up to three page files
// "a.txt", "b.txt", "c.txt", packed into a package. Naming and number errors raise ESetupError,
// which is allowed; anything else (a crash, a sanitizer report, another exception) is a fault.
// Every page is then shown, re-texted in the language and looked at as the window would.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "ui/control_look.h"
#include "ui/wizard.h"

namespace {

using namespace setup;

class TQuietHost : public TPortableHost {
 public:
  int ShowMessageBox(const std::string&, const std::string&, unsigned) override { return kIdOk; }
};

class TNoSystem : public TWizardSystem {
 public:
  int DriveType(const std::string&) override { return kDriveFixed; }
  int64_t FreeBytesOnDrive(int) override { return 1 << 20; }
  void StartWorker() override {}
  bool WorkerRunning() override { return false; }
  void StopWorker() override {}
  void Sleep1() override {}
  void ExitProcess(int) override { std::abort(); }
  void WriteErrorLog(const std::string&, const std::string&) override { std::abort(); }
};

std::vector<std::string> Split(const uint8_t* data, size_t size) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (parts.size() < 4 && i + 1 < size && data[i] == 0 && data[i + 1] == 0) {
      parts.emplace_back();
      ++i;
      continue;
    }
    parts.back() += static_cast<char>(data[i]);
  }
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TQuietHost host;
  SetHost(&host);
  // One language, so that <LANGn> tokens expand (and a broken one raises).
  static const bool languages_ready = [] {
    std::string text = "English\r\n0409;\r\n1 One<BR><%SETUPTITLE%>\r\n2 Two <LANG1>\r\n13 Next\r\n";
    TBytes image = {0xFF, 0xFE};
    for (char c : text) {
      image.push_back(static_cast<uint8_t>(c));
      image.push_back(0);
    }
    Languages().AddLanguage(image.data(), image.size());
    Languages().Current = 0;
    RegisterPlaceholders();
    return true;
  }();
  (void)languages_ready;
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("fuzz-page-layout-" + std::to_string(::getpid()) + ".pak")).string();
  static const struct TRemover {
    ~TRemover() {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
  } remover;
  (void)remover;
  const std::vector<std::string> parts = Split(data, size);
  static const char* const kNames[] = {"Pages.txt", "a.txt", "b.txt", "c.txt"};
  {
    TPak pak(path, pmCreate);
    for (size_t i = 0; i < parts.size(); ++i) {
      const int index = pak.AddEntry(kNames[i], "", 0);
      pak.StoreFromMemory(index, reinterpret_cast<const uint8_t*>(parts[i].data()), static_cast<uint32_t>(parts[i].size()));
    }
    pak.WriteDirectory();
  }
  Globals() = TSetupGlobals();
  Globals().Package = std::make_unique<TPak>(path, pmRead);
  Globals().SetupInfo.InstallDir = "C:\\Games\\Demo";
  TNoSystem system;
  TWizardView no_window;
  {
    TWizard wizard(system, no_window);
    try {
      wizard.SetPagesUp();
    } catch (const ESetupError&) {
      Globals() = TSetupGlobals();
      return 0;
    }
    for (size_t i = 0; i < wizard.Pages.Pages.size(); ++i) {
      wizard.Pages.ShowPage(static_cast<int>(i));
      for (const TControl& control : wizard.Pages.Pages[i]->Controls) (void)ControlLook(control);
    }
    wizard.Pages.RefreshLanguage();
    wizard.InstallDirEditChange();
    wizard.BackButtonClick();
  }
  Globals() = TSetupGlobals();
  return 0;
}

// The wizard's flow: the page set, the three flow buttons and the language button, the install
// and uninstall runs, and closing. It works on the page model; what it needs of the system and
// of the window (drives, the worker thread, message pumping, ending the process) goes through
// TWizardSystem and TWizardView, so the flow runs the same in setup.exe, in silent runs and in
// the native tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/exit_codes.h"
#include "ui/page_layout.h"

namespace setup {

// Drive types as the system reports them.
enum : int { kDriveUnknown = 0, kDriveNoRoot = 1, kDriveRemovable = 2, kDriveFixed = 3, kDriveRemote = 4,
             kDriveCdRom = 5, kDriveRamDisk = 6 };

// What the flow asks of the system: drives, the worker thread, the end of the process.
class TWizardSystem {
 public:
  virtual ~TWizardSystem() = default;
  virtual int DriveType(const std::string& root) = 0;
  virtual int64_t FreeBytesOnDrive(int drive) = 0;
  // The worker: asked for one run, polled until it ends, stopped when the window closes.
  virtual void StartWorker() = 0;
  virtual bool WorkerRunning() = 0;
  virtual void StopWorker() = 0;
  virtual void Sleep1() = 0;
  // A clock in milliseconds, for how often the screen is brought up to date.
  virtual uint64_t Milliseconds() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  }
  // Ends the process at once.
  [[noreturn]] virtual void ExitProcess(int code) = 0;
  [[noreturn]] virtual void WriteErrorLog(const std::string& text, const std::string& type) = 0;
};

// What the flow asks of the window. The view follows the page model by itself after every
// event it hands to the flow; these calls are for the moments inside a handler when the screen
// must catch up at once (a long run) or the window must act. A silent run has no window: the
// defaults do nothing.
class TWizardView {
 public:
  virtual ~TWizardView() = default;
  // Lets the window handle its pending messages (the long runs keep it responsive).
  virtual void ProcessMessages() {}
  // Shows the model's state at once (status label, gauge, buttons).
  virtual void Repaint() {}
  virtual void CloseWindow() {}
  // Moves the folder tree to a folder (see SyncTreeToPath); true while a move is under way.
  virtual void SyncTree(const std::u16string& path, bool expand) {
    (void)path;
    (void)expand;
  }
  virtual bool TreeSyncing() { return false; }
};

class TWizard {
 public:
  TWizard(TWizardSystem& system, TWizardView& view);

  void SetPagesUp();
  void NextButtonClick();
  void BackButtonClick();
  void CancelButtonClick();
  // True when the window may close.
  bool FormCloseQuery();
  void FormClose();
  void InstallDirEditChange();
  // The folder tree's selection changed to a folder (by the user).
  void ShellTreeViewChange(const std::u16string& selected_path);
  void SetWorkingState(bool working) { Working = working; }
  void SetupLanguages();
  void LanguageItemClick(int index);

  // What the window shows.
  TButtonModel BackButton, NextButton, CancelButton, LanguageButton;
  std::vector<std::pair<std::u16string, bool>> LanguageMenu;  // caption, checked
  TSEPageControl Pages;
  std::u16string Title;
  bool InstallDirShown = false;
  bool Working = false;
  // The uninstaller starts its finishing program once per run, whether the finish page's
  // button or the close box ends it.
  bool FinaliserLaunched = false;

  // Named controls of the layout (null when absent).
  TControl* StatusLabel = nullptr;
  TControl* ProgressBar = nullptr;
  TControl* FinishText = nullptr;
  TControl* InstallDirEdit = nullptr;
  TControl* ShellTreeView = nullptr;
  TControl* SpaceAvailable = nullptr;

 private:
  void FindNamedControls();
  void RunInstall();
  void RunUninstall();
  void Finish();
  void SetStatus(const std::u16string& text);
  void SetGauge(int progress, int maximum);
  std::u16string ProgressText(const std::u16string& name, size_t n, size_t count) const;
  void LaunchFinaliserOnce();

 public:
  TPageType CurrentType();

 private:
  TWizardSystem& system_;
  TWizardView& view_;
};

}  // namespace setup

// The page flow. Next is the engine of the run: it moves one page on and then acts on the kind
// of page it arrived at (install-folder check, free space, the install, the uninstall, the end).
#include "ui/wizard.h"

#include <algorithm>
#include <cstdint>
#include <exception>

#include "core/error.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/interpreter.h"
#include "engine/patch_commands.h"
#include "engine/status_channel.h"
#include "engine/uninstall_list.h"
#include "engine/uninstaller.h"

namespace setup {

namespace {

// The uninstall page shows its progress at most this often: a repaint costs more than removing
// a small file.
constexpr uint64_t kUninstallDisplayMs = 10;

std::u16string Wide(const std::string& text) { return Utf8ToWide(text); }
std::string Narrow(const std::u16string& text) { return WideToUtf8(text); }
std::u16string Number(size_t n) { return WidenAscii(std::to_string(n)); }

bool Uninstaller() { return Globals().SetupInfo.Mode == 1; }

}  // namespace

TWizard::TWizard(TWizardSystem& system, TWizardView& view)
    : Pages(&BackButton, &NextButton, &CancelButton, &LanguageButton), system_(system), view_(view) {
  BackButton.Caption = u"< Back";
  NextButton.Caption = u"Next >";
  CancelButton.Caption = u"Cancel";
  LanguageButton.Caption = u"English";
}

TPageType TWizard::CurrentType() {
  TControlParser* page = Pages.CurrentPage();
  return page ? page->Type : ptWelcome;
}

void TWizard::SetPagesUp() {
  TSetupGlobals& g = Globals();
  Title = Uninstaller() ? Wide(g.SetupInfo.ShortName) + u" " + GetString(kStrUninstall) : Wide(g.SetupInfo.SetupName);
  Pages.LoadPages("Pages.txt");
  FindNamedControls();
  g.SetupInfo.InstallDir = Narrow(ExpandPathVariables(Wide(g.SetupInfo.InstallDir)));
  if (ShellTreeView) view_.SyncTree(Wide(g.SetupInfo.InstallDir), false);
  if (InstallDirEdit) InstallDirEdit->Text = ExpandPathVariables(Wide(g.SetupInfo.InstallDir));
  BackButton.Caption = GetString(kStrBack);
  NextButton.Caption = GetString(kStrNext);
  CancelButton.Caption = GetString(kStrCancel);
  SetupLanguages();

  TStatusChannel& channel = StatusChannel();
  channel.HasStatusLabel = StatusLabel != nullptr;
  channel.HasGauge = ProgressBar != nullptr;
  channel.FinishText = [this](const std::u16string& text, bool) {
    if (FinishText) FinishText->Caption = text;
  };
}

void TWizard::FindNamedControls() {
  struct TNamed {
    const char* Name;
    TControl** Slot;
  } named[] = {{"patching_statuslabel", &StatusLabel}, {"patching_progressbar", &ProgressBar},
               {"finishtext", &FinishText},            {"installdir_edit", &InstallDirEdit},
               {"installdir_shelltreeview", &ShellTreeView}, {"spaceavalible", &SpaceAvailable}};
  for (auto& page : Pages.Pages) {
    for (TControl& control : page->Controls) {
      for (TNamed& n : named) {
        if (SameTextAscii(control.Name, n.Name)) *n.Slot = &control;  // the last one found wins
      }
    }
  }
}

void TWizard::SetupLanguages() {
  TLanguages& languages = Languages();
  if (languages.CurrentValid()) LanguageButton.Caption = languages.Tables[static_cast<size_t>(languages.Current)]->Name;
  LanguageButton.Visible = languages.Tables.size() > 1;
  LanguageMenu.clear();
  for (size_t i = 0; i < languages.Tables.size(); ++i) {
    LanguageMenu.emplace_back(languages.Tables[i]->Name, static_cast<int>(i) == languages.Current);
  }
}

void TWizard::LanguageItemClick(int index) {
  TLanguages& languages = Languages();
  if (index < 0 || static_cast<size_t>(index) >= languages.Tables.size()) return;
  languages.Current = index;
  LanguageButton.Caption = languages.Tables[static_cast<size_t>(index)]->Name;
  for (size_t i = 0; i < LanguageMenu.size(); ++i) LanguageMenu[i].second = static_cast<int>(i) == index;
  BackButton.Caption = GetString(kStrBack);
  NextButton.Caption = GetString(kStrNext);
  CancelButton.Caption = GetString(kStrCancel);
  Pages.ShowPage(Pages.Current);
  Pages.RefreshLanguage();
}

void TWizard::NextButtonClick() {
  TSetupGlobals& g = Globals();
  // A silent run that stands on a finish page ends there, even when a page follows it.
  if (g.State.SilentMode && CurrentType() == ptFinish) {
    Finish();
    return;
  }
  Pages.ShowPage(Pages.Current + 1);
  switch (CurrentType()) {
    case ptInstallDir:
      if (!InstallDirShown) {
        InstallDirShown = true;
        if (InstallDirEdit) InstallDirEdit->Text = Wide(g.SetupInfo.InstallDir);
      }
      InstallDirEditChange();
      break;
    case ptPatch:
      if (g.State.AvailableBytes < g.State.RequiredBytes) NextButton.Enabled = false;
      if (SpaceAvailable) SpaceAvailable->Caption = ExpandTextChain(GetString(kStrSpaceAvailable));
      break;
    case ptPatching:
      RunInstall();
      break;
    case ptFinish:
      Finish();
      break;
    case ptUninstall:
      RunUninstall();
      break;
    default:
      break;
  }
}

void TWizard::BackButtonClick() { Pages.ShowPage(Pages.Current - 1); }

// Cancel asks the window to close; the window's close runs FormCloseQuery and FormClose.
void TWizard::CancelButtonClick() { view_.CloseWindow(); }

void TWizard::Finish() {
  if (Uninstaller()) LaunchFinaliserOnce();
  if (Globals().State.SilentMode) {
    Host().ShowMessageBox("Compleated", "Information", kMbOk);
    system_.ExitProcess(Interpreter().ScriptStopped ? kExitScriptStopped : kExitCompleted);
  }
  view_.CloseWindow();
}

void TWizard::LaunchFinaliserOnce() {
  if (FinaliserLaunched) return;
  FinaliserLaunched = true;
  LaunchFinaliser();
}

void TWizard::SetStatus(const std::u16string& text) {
  if (StatusLabel) StatusLabel->Caption = text;
}

void TWizard::SetGauge(int progress, int maximum) {
  if (!ProgressBar) return;
  if (maximum >= 0) ProgressBar->Max = maximum;
  ProgressBar->Progress = progress;
}

void TWizard::RunInstall() {
  TSetupGlobals& g = Globals();
  try {
    for (auto& page : Pages.Pages) {
      if (page->Type != ptLanguageSelection || g.State.LanguageChosen) continue;
      for (const TControl& c : page->Controls) {
        if (c.Kind == TControlKind::Radio && c.Checked) {
          g.State.LanguageSelection = Wide(Narrow(c.Caption));
          break;
        }
      }
    }
    SetWorkingState(true);
    const int files = g.Package ? g.Package->CountGrouped() : 0;
    SetStatus(u"Status: 0 of " + Number(static_cast<size_t>(files)) + u" files extracted");
    // A step for each entry written, and a patch's steps by the bytes it checks and writes.
    SetGauge(0, static_cast<int>(std::min<uint64_t>(InstallGaugeSteps(), INT32_MAX)));
    UninstallList().AddFolder(g.SetupInfo.InstallDir);
    Interpreter().CurrentLine = -1;
    view_.Repaint();  // the run's buttons and its first status line
    system_.StartWorker();
    TStatusChannel& channel = StatusChannel();
    auto take = [&] {
      std::u16string text;
      uint32_t progress = 0;
      bool changed = false;
      if (channel.TakeStatusText(text)) {
        SetStatus(text);
        changed = true;
      }
      if (channel.TakeProgress(progress)) {
        SetGauge(static_cast<int>(progress), -1);
        changed = true;
      }
      if (changed) view_.Repaint();
    };
    while (system_.WorkerRunning()) {
      view_.ProcessMessages();
      if (!g.State.SilentMode) take();
      system_.Sleep1();
    }
    // What the worker published just before it ended: otherwise the gauge could stay a step short.
    if (!g.State.SilentMode) take();
    Pages.ShowPage(Pages.Current + 1);
  } catch (const std::exception& e) {
    SetWorkingState(false);
    system_.WriteErrorLog(e.what(), "");
  }
  SetWorkingState(false);
  if (g.State.SilentMode) {
    Host().ShowMessageBox("Compleated", "Information", kMbOk);
    system_.ExitProcess(Interpreter().ScriptStopped ? kExitScriptStopped : kExitCompleted);
  }
}

std::u16string TWizard::ProgressText(const std::u16string& name, size_t n, size_t count) const {
  std::u16string text = GetString(kStrProgress);
  text = ReplaceText(text, u"<%KZPNAME%>", name);
  text = ReplaceText(text, u"<%FNUM%>", Number(n));
  return ReplaceText(text, u"<%FTOTAL%>", Number(count));
}

void TWizard::RunUninstall() {
  TUninstallList& log = UninstallList();
  SetWorkingState(true);
  const std::vector<std::string> folders = FoldersToRemove(log.FolderList);
  const size_t files = log.FileList.size(), folder_count = folders.size(), values = log.RegistryList.size();
  const size_t total = files + folder_count + values;
  SetStatus(u"Status: 0 of " + Number(total) + u" items remaining");
  SetGauge(0, static_cast<int>(total));
  view_.Repaint();
  // The display of item n of a stage, once it has reached one percent of the stage: at most
  // one every kUninstallDisplayMs, and always the last of a stage. The window stays responsive
  // (it refuses to close while Working) as during the install.
  uint64_t shown_at = system_.Milliseconds();
  auto show = [&](const std::u16string& name, size_t n, size_t count, size_t before) {
    if (100 * n < count) return;
    if (n < count) {
      const uint64_t now = system_.Milliseconds();
      if (now - shown_at < kUninstallDisplayMs) return;
      shown_at = now;
    }
    SetStatus(ProgressText(name, n, count));
    SetGauge(static_cast<int>(before + n), -1);
    view_.Repaint();
    view_.ProcessMessages();
  };
  // The path variables' values are the same for every file.
  const TPathValues path_values = CurrentPathValues();
  for (size_t n = 1; n <= files; ++n) {
    RemoveLoggedFile(log.FileList[n - 1], path_values);
    show(u"", n, files, 0);
  }
  const std::u16string folders_name = GetString(kStrFolders);
  for (size_t n = 1; n <= folder_count; ++n) {
    RemoveLoggedFolder(folders[n - 1]);
    show(folders_name, n, folder_count, files);
  }
  const std::u16string values_name = GetString(kStrRegistryEntries);
  for (size_t n = 1; n <= values; ++n) {
    RemoveRegistryEntry(log.RegistryList[n - 1]);
    show(values_name, n, values, files + folder_count);
  }
  RemoveUninstallRegistration();
  // The keys the install created, once the values above are gone: those now empty go too.
  RemoveCreatedKeys(log.CreatedKeyList);
  DeleteInstallLog();
  SetWorkingState(false);
  Pages.ShowPage(Pages.Current + 1);
}

void TWizard::InstallDirEditChange() {
  if (!InstallDirEdit) return;
  TSetupGlobals& g = Globals();
  if (CurrentType() == ptInstallDir) {
    const std::string text = Narrow(InstallDirEdit->Text);
    const int type = system_.DriveType(text.substr(0, 3));
    if (type == kDriveUnknown || type == kDriveNoRoot || type == kDriveCdRom || type == kDriveRamDisk) {
      NextButton.Enabled = false;
      return;
    }
    NextButton.Enabled = true;
    if (InstallDirShown) g.SetupInfo.InstallDir = WithTrailingBackslash(text);
    const char first = UpperAscii(g.SetupInfo.InstallDir.substr(0, 1))[0];
    if (first >= 'A' && first <= 'Z') {
      g.State.AvailableBytes = system_.FreeBytesOnDrive(first - 'A' + 1);
      g.State.AvailableText = SizeText(g.State.AvailableBytes);
    }
  }
  if (ShellTreeView && !view_.TreeSyncing()) view_.SyncTree(InstallDirEdit->Text, true);
}

void TWizard::ShellTreeViewChange(const std::u16string& selected_path) {
  if (!InstallDirEdit || CurrentType() != ptInstallDir) return;
  const int type = system_.DriveType(Narrow(selected_path.substr(0, 3)));
  if (type != kDriveRemovable && type != kDriveFixed && type != kDriveRemote) return;
  InstallDirEdit->Text = selected_path;
  InstallDirEditChange();
}

bool TWizard::FormCloseQuery() {
  if (Working) return false;
  if (!Pages.Pages.empty() && CurrentType() != ptFinish) {
    // Only Yes ends the setup: a box closed another way, or one that could not be shown, keeps it.
    const int answer = Host().ShowMessageBoxWide(GetString(kStrQuitQuestion), GetString(kStrQuit), kMbYesNo);
    if (answer != kIdYes) return false;
  }
  return true;
}

void TWizard::FormClose() {
  system_.StopWorker();
  if (CurrentType() == ptFinish && Uninstaller()) LaunchFinaliserOnce();
}

}  // namespace setup

// The page layout and the wizard's flow on the page model.
#include <gtest/gtest.h>

#include <functional>

#include "core/error.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "engine/status_channel.h"
#include "engine/uninstall_list.h"
#include "fake_system.h"
#include "test_host.h"
#include "ui/page_layout.h"
#include "ui/wizard.h"

namespace setup {
namespace {

TBytes LanguageImage() {
  TBytes image = {0xFF, 0xFE};
  for (char c : std::string("English\r\n0409;\r\n2 Hello<BR><%SETUPSHORTTITLE%>\r\n7 Free: <%SPACEAVA%>\r\n"
                            "12 Back\r\n13 Next\r\n14 Cancel\r\n15 Install\r\n16 Finish\r\n19 <%FNUM%>/<%FTOTAL%> <%KZPNAME%>\r\n"
                            "24 values\r\n25 folders\r\n26 Uninstall\r\n")) {
    image.push_back(static_cast<uint8_t>(c));
    image.push_back(0);
  }
  return image;
}

class TFakeWizardPlatform : public TWizardSystem, public TWizardView {
 public:
  int DriveType(const std::string& root) override { return root == "E:\\" ? kDriveCdRom : kDriveFixed; }
  int64_t FreeBytesOnDrive(int) override { return Free; }
  void StartWorker() override {
    Started = true;
    if (OnStart) OnStart();
  }
  bool WorkerRunning() override { return false; }
  void StopWorker() override { Stopped = true; }
  void ProcessMessages() override {}
  void Sleep1() override {}
  uint64_t Milliseconds() override { return Clock += ClockStep; }
  void Repaint() override {
    if (Watch) Shown.push_back(Watch->Progress);
  }
  void CloseWindow() override { Closed = true; }
  void SyncTree(const std::u16string& path, bool expand) override { Synced.emplace_back(path, expand); }
  void ExitProcess(int code) override { throw code; }
  void WriteErrorLog(const std::string& text, const std::string&) override { throw ESetupError(text); }

  int64_t Free = 1 << 30;
  bool Started = false, Stopped = false, Closed = false;
  TControl* Watch = nullptr;
  std::vector<std::pair<std::u16string, bool>> Synced;
  std::function<void()> OnStart;  // what the worker does in its run
  std::vector<int> Shown;
  uint64_t Clock = 0;
  uint64_t ClockStep = 1000;  // every look at the clock a second later; 0 stops it
};

class Wizard : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals() = TSetupGlobals();
    Languages() = TLanguages();
    const TBytes image = LanguageImage();
    Languages().AddLanguage(image.data(), image.size());
    Languages().Current = 0;
    RegisterPlaceholders();
    Globals().SetupInfo.ShortName = "Demo";
    Globals().SetupInfo.InstallDir = "C:\\Games\\Demo";
  }
  void TearDown() override {
    Globals() = TSetupGlobals();
    Languages() = TLanguages();
    UninstallList().ClearLists();
  }

  // A package of group-0 text entries (name, text) and one grouped file.
  void Package(const std::vector<std::pair<std::string, std::string>>& entries) {
    const std::string path = testing::ScratchPath("wizard-package.bin");
    {
      TPak pak(path, pmCreate);
      for (const auto& [name, text] : entries) {
        const int i = pak.AddEntry(name, "", 0);
        pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
      }
      const int i = pak.AddEntry("payload.bin", "", 1);
      pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>("abc"), 3);
      pak.WriteDirectory();
    }
    Globals().Package = std::make_unique<TPak>(path, pmRead);
  }

  // A layout of one control per page; types as given.
  void Layout(const std::vector<std::string>& types, const std::string& settings = "colour=$FFFFFF") {
    std::string pages = "[Pages]\r\n", kinds = "[PageTypes]\r\n";
    std::vector<std::pair<std::string, std::string>> entries;
    for (size_t i = 0; i < types.size(); ++i) {
      const std::string file = "page" + std::to_string(i) + ".txt";
      pages += file + "\r\n";
      kinds += types[i] + "\r\n";
      std::string controls = "[Label" + std::to_string(i) + "]\r\nType=TLabel\r\nCaption=<LANG2>\r\n";
      if (types[i] == "InstallDir") controls += "[InstallDir_Edit]\r\nType=TEdit\r\n";
      if (types[i] == "Patch") controls += "[SpaceAvalible]\r\nType=TLabel\r\n";
      if (types[i] == "Patching" || types[i] == "Uninstall") {
        controls += "[Patching_StatusLabel]\r\nType=TLabel\r\n[Patching_ProgressBar]\r\nType=TProgressBar\r\n";
      }
      entries.emplace_back(file, controls);
    }
    entries.emplace_back("Pages.txt", pages + kinds + "[Settings]\r\n" + settings + "\r\n");
    Package(entries);
  }

  testing::TRecordingHost host_;
  testing::TFakeSystem system_;
  TFakeWizardPlatform platform_;
};

TEST_F(Wizard, SettingsPageTypesAndControls) {
  Package({{"Pages.txt", "[Pages]\r\none.txt\r\ntwo.txt\r\nthree.txt\r\n[PageTypes]\r\nPatch\r\n[Settings]\r\ncolour $000000\r\nFontColour=$0000FF\r\n"},
           {"one.txt", "[Title]\r\nType=TLabel\r\nCaption=<LANG2>\r\nLeft=10\r\n[Notes]\r\nType=TMemo\r\nText=<LANG2>a<br>b\r\n"
                       "[NoType]\r\n; a comment where the type line belongs\r\nType=TLabel\r\n"
                       "[Picture]\r\nType=TImage\r\nTile=true\r\nFile=one.txt\r\n[Picture2]\r\nType=TImage\r\nFile=one.txt\r\nTile=TRUE\r\n"},
           {"two.txt", "[Other]\r\nType=TButton\r\n"},
           {"three.txt", ""}});
  TWizard wizard(platform_, platform_);
  wizard.SetPagesUp();
  EXPECT_EQ(wizard.Pages.PanelColour, 0u);  // "colour $000000": any separator
  EXPECT_EQ(wizard.Pages.FontColour, 0xFFu);
  ASSERT_EQ(wizard.Pages.Pages.size(), 3u);
  EXPECT_EQ(wizard.Pages.Pages[0]->Type, ptPatch);
  EXPECT_EQ(wizard.Pages.Pages[1]->Type, ptWelcome);  // fewer types than pages
  const auto& controls = wizard.Pages.Pages[0]->Controls;
  ASSERT_EQ(controls.size(), 4u);  // the block without a type line made nothing
  EXPECT_EQ(controls[0].Caption, u"Hello\rDemo");
  EXPECT_EQ(controls[0].Left, 10);
  EXPECT_EQ(controls[1].Text, u"<LANG2>a\rb");  // memo text: breaks only
  EXPECT_FALSE(controls[2].Tiled);  // tile before file does nothing
  EXPECT_TRUE(controls[3].Tiled);
  EXPECT_EQ(wizard.Pages.Pages[1]->Controls[0].Caption, u"Other");  // a button shows its name
}

TEST_F(Wizard, ALanguageSwitchReExpandsCaptionsOnly) {
  TBytes german = {0xFF, 0xFE};
  for (char c : std::string("Deutsch\r\n0407;\r\n2 Hallo<br><%SETUPSHORTTITLE%>\r\n13 Weiter\r\n")) {
    german.push_back(static_cast<uint8_t>(c));
    german.push_back(0);
  }
  Languages().AddLanguage(german.data(), german.size());
  Package({{"Pages.txt", "[Pages]\r\na.txt\r\n[Settings]\r\nColour=$D4D4D4\r\n"},
           {"a.txt", "[Title]\r\nType=TLabel\r\nCaption=<LANG2>\r\n[Box]\r\nType=TPanel\r\nCaption=<LANG2>\r\n"
                     "[Field]\r\nType=TEdit\r\nText=<LANG2>\r\n[Notes]\r\nType=TMemo\r\nText=<LANG1>\r\n"}});
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  EXPECT_EQ(w.Pages.PanelColour, 0xD4D4D4u);  // "Colour=": the key in any case, "=" as separator
  const auto& controls = w.Pages.Pages[0]->Controls;
  EXPECT_EQ(controls[0].Caption, u"Hello\rDemo");
  w.LanguageItemClick(1);
  EXPECT_EQ(w.NextButton.Caption, u"Weiter");
  EXPECT_EQ(controls[0].Caption, u"Hallo\rDemo");  // labels and panels are texted again
  EXPECT_EQ(controls[1].Caption, u"Hallo\rDemo");
  EXPECT_EQ(controls[2].Text, u"Hello\rDemo");  // an edit field keeps its text
  EXPECT_EQ(controls[3].Text, u"<LANG1>");  // a memo never expands
}

TEST_F(Wizard, NamingAndNumberErrors) {
  Package({{"Pages.txt", "[Pages]\r\na.txt\r\nb.txt\r\n"}, {"a.txt", "[Title]\r\nType=TLabel\r\n"},
           {"b.txt", "[title]\r\nType=TLabel\r\n"}});
  TWizard twice(platform_, platform_);
  EXPECT_THROW(twice.SetPagesUp(), ESetupError);
  Package({{"Pages.txt", "[Pages]\r\na.txt\r\n"}, {"a.txt", "[1st]\r\nType=TLabel\r\n"}});
  TWizard bad_name(platform_, platform_);
  EXPECT_THROW(bad_name.SetPagesUp(), ESetupError);
  Package({{"Pages.txt", "[Pages]\r\na.txt\r\n"}, {"a.txt", "[X]\r\nType=TLabel\r\nLeft=ten\r\n"}});
  TWizard bad_number(platform_, platform_);
  EXPECT_THROW(bad_number.SetPagesUp(), ESetupError);
  Package({{"Other.txt", "x"}});
  TWizard missing(platform_, platform_);
  missing.SetPagesUp();
  EXPECT_EQ(host_.Boxes.back().Text, "Error File Missing: Pages.txt");
}

TEST_F(Wizard, ButtonsFollowThePageTypes) {
  Layout({"Welcome", "InstallDir", "Patch", "Finish", "MainLayout"});
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  EXPECT_FALSE(w.BackButton.Visible);  // page 0
  EXPECT_EQ(w.NextButton.Caption, u"Next");
  w.NextButtonClick();
  EXPECT_TRUE(w.BackButton.Visible);
  EXPECT_EQ(w.InstallDirEdit->Text, u"C:\\Games\\Demo");
  w.NextButtonClick();
  EXPECT_EQ(w.NextButton.Caption, u"Install");
  EXPECT_EQ(w.SpaceAvailable->Caption, u"Free: 1.00 GB");
  EXPECT_TRUE(w.Pages.Pages[4]->Controls[0].Visible);  // the background layer shows on every page
  w.BackButtonClick();
  EXPECT_EQ(w.Pages.Current, 1);
  EXPECT_EQ(w.NextButton.Caption, u"Next");  // Back runs no entry action
  w.NextButtonClick();
  w.NextButtonClick();
  EXPECT_TRUE(platform_.Closed);  // finish page: the window closes
  EXPECT_FALSE(w.NextButton.Visible);
  EXPECT_EQ(w.CancelButton.Caption, u"Finish");
}

TEST_F(Wizard, TooLittleSpaceAndRefusedDrives) {
  Layout({"InstallDir", "Patch", "Finish"});
  Globals().State.RequiredBytes = 5000;
  platform_.Free = 4000;
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  w.NextButtonClick();  // patch
  EXPECT_FALSE(w.NextButton.Enabled);
  w.BackButtonClick();
  w.InstallDirEdit->Text = u"E:\\Games";  // a CD-ROM drive
  w.InstallDirEditChange();
  EXPECT_FALSE(w.NextButton.Enabled);
  w.InstallDirEdit->Text = u"D:\\Games";
  w.InstallDirEditChange();
  EXPECT_TRUE(w.NextButton.Enabled);
}

TEST_F(Wizard, NextOnTheLastPageRunsItsActionAgain) {
  Layout({"Welcome", "InstallDir"});
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  w.NextButtonClick();
  w.InstallDirEdit->Text = u"D:\\Other";
  w.NextButtonClick();  // nothing after: the installdir action runs again
  EXPECT_EQ(w.Pages.Current, 1);
  EXPECT_EQ(Globals().SetupInfo.InstallDir, "D:\\Other\\");
}

TEST_F(Wizard, UninstallTotalsAndProgress) {
  Layout({"Welcome", "Uninstall", "Finish"});
  Globals().SetupInfo.Mode = 1;
  TUninstallList& log = UninstallList();
  log.FileList = {"C:\\a.txt", "C:\\b.txt", "C:\\c.txt"};
  log.FolderList = {"C:\\one", "C:\\two"};
  log.RegistryList = {"\"HKCU\" \"Software\\X\" \"v\" \"\""};
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  EXPECT_EQ(w.Title, u"Demo Uninstall");
  platform_.Watch = w.ProgressBar;
  w.NextButtonClick();
  EXPECT_EQ(w.ProgressBar->Max, 6);
  EXPECT_EQ(platform_.Shown, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));  // the empty gauge first
  EXPECT_EQ(w.StatusLabel->Caption, u"1/1 values");
  EXPECT_EQ(w.Pages.Current, 2);  // the page after the uninstall is shown
}

TEST_F(Wizard, AnUninstallOfManyItemsShowsTheEndOfEveryStage) {
  Layout({"Welcome", "Uninstall", "Finish"});
  Globals().SetupInfo.Mode = 1;
  TUninstallList& log = UninstallList();
  for (int i = 0; i < 300; ++i) log.FileList.push_back("C:\\f" + std::to_string(i));
  log.FolderList = {"C:\\one", "C:\\two", "C:\\ONE\\"};  // one folder twice: removed once
  log.RegistryList = {"\"HKCU\" \"Software\\X\" \"v\" \"\""};
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  platform_.Watch = w.ProgressBar;
  platform_.ClockStep = 0;  // all within one moment: only what must be shown is
  w.NextButtonClick();
  EXPECT_EQ(w.ProgressBar->Max, 303);
  EXPECT_EQ(platform_.Shown, (std::vector<int>{0, 300, 302, 303}));
  EXPECT_EQ(w.StatusLabel->Caption, u"1/1 values");
}

TEST_F(Wizard, SilentRunsEndOnTheFinishPage) {
  Layout({"Welcome", "Uninstall", "Finish", "MainLayout"});
  Globals().State.SilentMode = true;
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  w.NextButtonClick();  // the uninstall, then the finish page is shown
  try {
    w.NextButtonClick();
    FAIL() << "the silent run did not end";
  } catch (int code) {
    EXPECT_EQ(code, kExitCompleted);
  }
  EXPECT_EQ(host_.Boxes.back().Text, "Compleated");
}

TEST_F(Wizard, LanguageMenuAndClosing) {
  Layout({"Welcome", "Finish"});
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  EXPECT_FALSE(w.LanguageButton.Visible);  // one language
  host_.Answer = kIdNo;
  EXPECT_FALSE(w.FormCloseQuery());
  host_.Answer = kIdCancel;  // the box closed without an answer
  EXPECT_FALSE(w.FormCloseQuery());
  host_.Answer = 0;  // the box could not be shown
  EXPECT_FALSE(w.FormCloseQuery());
  host_.Answer = kIdYes;
  EXPECT_TRUE(w.FormCloseQuery());
  w.Working = true;
  EXPECT_FALSE(w.FormCloseQuery());
}

TEST_F(Wizard, TheFolderTreeFollowsTheFieldAndTheFieldTheTree) {
  Package({{"Pages.txt", "[Pages]\r\na.txt\r\nb.txt\r\n[PageTypes]\r\nWelcome\r\nInstallDir\r\n"},
           {"a.txt", "[Title]\r\nType=TLabel\r\n"},
           {"b.txt", "[InstallDir_Edit]\r\nType=TEdit\r\n[InstallDir_ShellTreeView]\r\nType=TShellTreeView\r\n"}});
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  ASSERT_EQ(platform_.Synced.size(), 1u);  // set-up: moved to the install folder, not expanded
  EXPECT_EQ(platform_.Synced[0], std::make_pair(std::u16string(u"C:\\Games\\Demo"), false));
  w.ShellTreeViewChange(u"C:\\Elsewhere");  // off the install-folder page: nothing
  EXPECT_EQ(w.InstallDirEdit->Text, u"C:\\Games\\Demo");
  w.NextButtonClick();
  EXPECT_EQ(platform_.Synced.back(), std::make_pair(std::u16string(u"C:\\Games\\Demo"), true));
  w.ShellTreeViewChange(u"D:\\Chosen");
  EXPECT_EQ(w.InstallDirEdit->Text, u"D:\\Chosen");
  EXPECT_EQ(Globals().SetupInfo.InstallDir, "D:\\Chosen\\");
  w.ShellTreeViewChange(u"E:\\Disc");  // a CD-ROM folder is not taken
  EXPECT_EQ(w.InstallDirEdit->Text, u"D:\\Chosen");
}

TEST_F(Wizard, TheUninstallerStartsItsFinishingProgramOnce) {
  Package({{"Pages.txt", "[Pages]\r\na.txt\r\n[PageTypes]\r\nFinish\r\n"}, {"a.txt", ""}, {"FINALISE.EXE", "MZ"}});
  Globals().SetupInfo.Mode = 1;
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  w.NextButtonClick();  // Next on the last page: the finish action, which closes the window
  EXPECT_TRUE(platform_.Closed);
  EXPECT_TRUE(w.FormCloseQuery());  // a finish page closes without a question
  w.FormClose();
  EXPECT_EQ(system_.Opened.size(), 1u);  // not once more from the close
}

TEST_F(Wizard, TheLastThingTheWorkerPublishesIsShown) {
  Layout({"Welcome", "Patching", "Finish"});
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  // The worker publishes its last step and its last line and has ended before the window looks.
  platform_.OnStart = [] {
    StatusChannel().StepProgress(true);
    StatusChannel().SetStatusText(u"last file");
  };
  w.NextButtonClick();
  EXPECT_EQ(w.StatusLabel->Caption, u"last file");
  EXPECT_GT(w.ProgressBar->Progress, 0);
  EXPECT_FALSE(w.Working);
  EXPECT_EQ(w.Pages.Current, 2);
}

TEST_F(Wizard, CancelOnlyAsksTheWindowToClose) {
  Layout({"Welcome", "Finish"});
  TWizard w(platform_, platform_);
  w.SetPagesUp();
  w.CancelButtonClick();
  EXPECT_TRUE(platform_.Closed);
  EXPECT_TRUE(host_.Boxes.empty());  // the question comes from the window's close
  EXPECT_FALSE(platform_.Stopped);
}

}  // namespace
}  // namespace setup

// What the window takes from the page model: typed looks, its geometry at any DPI, the popup
// position of the language menu and the diagnostic dump's text.
#include <gtest/gtest.h>

#include "core/pak.h"
#include "core/setup_info.h"
#include "test_files.h"
#include "ui/control_look.h"
#include "ui/debug_dump.h"

namespace setup {
namespace {

TControl Control(TControlKind kind, std::map<std::string, std::string> style) {
  TControl c;
  c.Kind = kind;
  c.Style = std::move(style);
  return c;
}

TEST(ControlLook, DefaultsFollowTheToolkit) {
  const TControlLook label = ControlLook(Control(TControlKind::Label, {}));
  EXPECT_TRUE(label.AutoSize);  // a label sizes itself to its text unless told otherwise
  EXPECT_FALSE(label.Transparent);
  EXPECT_FALSE(label.Border);
  EXPECT_EQ(label.Font.Size, 0);
  EXPECT_FALSE(label.Font.Colour.has_value());
  for (TControlKind boxed : {TControlKind::Edit, TControlKind::Memo, TControlKind::RichEdit, TControlKind::ShellTreeView}) {
    EXPECT_TRUE(ControlLook(Control(boxed, {})).Border);
    EXPECT_FALSE(ControlLook(Control(boxed, {{"border", "no"}})).Border);  // anything but "true" is none
  }
  EXPECT_FALSE(ControlLook(Control(TControlKind::Edit, {})).AutoSize);
}

TEST(ControlLook, KeysBecomeTypedValues) {
  const TControlLook look = ControlLook(Control(
      TControlKind::Label, {{"fontface", "Arial"}, {"fontsize", "12"}, {"fontbold", "TRUE"}, {"fontcolour", "255"},
                            {"autosize", "false"}, {"wordwrap", "True"}, {"transparent", "true"}}));
  EXPECT_EQ(look.Font.Face, "Arial");
  EXPECT_EQ(look.Font.Size, 12);
  EXPECT_TRUE(look.Font.Bold);
  EXPECT_EQ(look.Font.Colour, 0xFFu);
  EXPECT_FALSE(look.AutoSize);
  EXPECT_TRUE(look.WordWrap);
  EXPECT_TRUE(look.Transparent);
  const TControlLook tree = ControlLook(
      Control(TControlKind::ShellTreeView, {{"colour", "16777215"}, {"fontselcolour", "0"}, {"selcolour", "13882323"}}));
  EXPECT_EQ(tree.Background, 0xFFFFFFu);
  EXPECT_EQ(tree.SelFontColour, 0u);
  EXPECT_EQ(tree.SelColour, 0xD3D3D3u);
  const TControlLook gauge = ControlLook(Control(TControlKind::ProgressBar, {{"forecolour", "$C08040"}}));
  EXPECT_EQ(gauge.ForeColour, 0xC08040u);
  EXPECT_FALSE(gauge.BackColour.has_value());
  const TControlLook picture = ControlLook(Control(TControlKind::Image, {{"stretch", "true"}, {"center", "false"}}));
  EXPECT_TRUE(picture.Stretch);
  EXPECT_FALSE(picture.Center);
}

TEST(WindowGeometry, LayoutLengthsScaleWithTheDpi) {
  EXPECT_EQ(ScaleLength(kClientWidth, 96), 578);  // at 96 DPI every length is the layout's own
  EXPECT_EQ(ScaleLength(kClientHeight, 96), 413);
  EXPECT_EQ(ScaleLength(kClientWidth, 144), 867);  // 150 %
  EXPECT_EQ(ScaleLength(kClientHeight, 144), 620);  // 619.5 rounds up
  EXPECT_EQ(ScaleLength(25, 120), 31);              // 125 %: 31.25
  EXPECT_EQ(ScaleLength(-10, 144), -15);            // a control left of the panel stays left of it
  EXPECT_EQ(ScaleLength(0, 192), 0);
}

TEST(WindowGeometry, LanguageMenuPopsUpUnderTheButton) {
  // A window at (100, 50), outer 584 x 442 around a 578 x 413 client: the frame is 6 wide and
  // 29 high together; the button at (8, 384), 25 high.
  const TPoint at = LanguagePopupPosition(100, 50, 584, 442, 578, 413, 8, 384, 25);
  EXPECT_EQ(at.X, 100 + 6 + 8 - 4);
  EXPECT_EQ(at.Y, 50 + 29 + 384 + 25 - 4);
}

TEST(DebugDump, ListsTheTrailerTheEntriesAndTheSetupRecord) {
  const std::string path = testing::ScratchPath("debug-dump.bin");
  {
    TPak pak(path, pmCreate);
    const int info = pak.AddEntry("SetupInfo", "", 0);
    pak.StoreFromMemory(info, reinterpret_cast<const uint8_t*>("x"), 1);
    const int file = pak.AddEntry("data\\a.txt", "", 3);
    pak.StoreFromMemory(file, reinterpret_cast<const uint8_t*>("abc"), 3);
    pak.WriteDirectory();
  }
  TPak pak(path, pmRead);
  TSetupInfoFile record;
  record.SetupName = "Demo Game";
  record.SetupExeName = "demo_setup.exe";
  record.InstallDir = "C:\\Games\\Demo";
  record.InstallDirRegKey[0] = {1, "Software\\Demo", "InstallPath"};
  record.Changelog = "changes.rtf";
  const std::vector<std::string> lines = DebugDumpLines(pak, record);
  const std::vector<std::string> head = {"Header", "ID: KZPF", "Version: 1", "File Count: 2", "", "Files:",
                                         "\"SetupInfo\" Group: 0", "\"data\\a.txt\" Group: 3", "", "SetupInfo:",
                                         "SetupName: Demo Game", "SetupExeName: demo_setup.exe",
                                         "InstallDir: C:\\Games\\Demo", "InstallDirRegKey.HKEY: HKEY_CURRENT_USER",
                                         "InstallDirRegKey.Path: Software\\Demo", "InstallDirRegKey.Key: InstallPath",
                                         "InstallDirRegKey.HKEY: HKEY_LOCAL_MACHINE"};
  ASSERT_EQ(lines.size(), 13u + 5 * 3 + 1);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + head.size()), head);
  EXPECT_EQ(lines.back(), "Changelog: changes.rtf");
}

}  // namespace
}  // namespace setup

#include "engine/uninstall_list.h"

#include <gtest/gtest.h>

#include "core/digit_cipher.h"
#include "core/setup_state.h"
#include "fake_system.h"
#include "test_files.h"

namespace setup {
namespace {

class InstallLog : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals() = TSetupGlobals();
    Globals().SetupInfo.InstallDir = "C:\\Games\\Demo";
    Globals().State.DesktopPath = u"C:\\Users\\Ann\\Desktop\\";
    folder_ = "C:\\Games";
    system_.CreateFolder(folder_);
  }
  void TearDown() override { Globals() = TSetupGlobals(); }
  testing::TFakeSystem system_;
  std::string folder_;
};

TEST_F(InstallLog, FilesAreRecordedWithVariablesAndOnce) {
  TUninstallList log;
  log.AddFile("C:\\Games\\Demo\\data\\a.pak");
  log.AddFile("c:\\games\\demo\\DATA\\A.PAK");
  log.AddFile("C:\\Users\\Ann\\Desktop\\Demo.lnk");
  EXPECT_EQ(log.FileList, (std::vector<std::string>{"$INSTDIR\\data\\a.pak", "$DESKTOPDemo.lnk"}));
  log.AddRegistryEntry("\"HKLM\" \"Software\\Demo\" \"Path\" \"x\"");
  log.AddRegistryEntry("\"hklm\" \"software\\demo\" \"path\" \"X\"");
  EXPECT_EQ(log.RegistryList.size(), 1u);
  log.AddFolder("C:\\Games\\Demo\\");
  log.AddFolder("C:\\Games\\Demo\\");
  EXPECT_EQ(log.FolderList.size(), 2u);
}

TEST_F(InstallLog, EmptyLogIsSixZeroBytesAndEmptiesTheLists) {
  TUninstallList empty;
  ASSERT_TRUE(empty.SaveLog(folder_, "demo_"));
  const std::string path = TUninstallList::LogPath(folder_, "demo_");
  EXPECT_EQ(testing::ReadFile(system_.Map(path).string()), TBytes(6, 0));
  TUninstallList log;
  log.FileList = {"x"};
  log.FolderList = {"y"};
  log.LoadLog(folder_, "demo_");
  EXPECT_TRUE(log.FileList.empty());
  EXPECT_TRUE(log.FolderList.empty());
}

TEST_F(InstallLog, RoundTripOfEveryByteValueEnciphered) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  TUninstallList log;
  log.FileList = {all, "", "second"};
  log.RegistryList = {"\"HKCU\" \"k\" \"v\" \"w\""};
  log.FolderList = {"C:\\a\\", "C:\\a\\"};
  ASSERT_TRUE(log.SaveLog(folder_, ""));
  const TBytes bytes = testing::ReadFile(system_.Map(TUninstallList::LogPath(folder_, "")).string());
  // Counts, then the first text: its length and its bytes shifted by the key from its first digit.
  EXPECT_EQ(bytes[0], 3);
  EXPECT_EQ(bytes[2], 1);
  EXPECT_EQ(bytes[4], 2);
  EXPECT_EQ(bytes[6], 255);
  EXPECT_EQ(bytes[8], static_cast<uint8_t>(1 + (kInstallLogKey[0] - '0')));
  // The third file text starts at the key's first digit again.
  const size_t third = 6 + 2 + 255 + 2;
  EXPECT_EQ(bytes[third + 2], static_cast<uint8_t>('s' + (kInstallLogKey[0] - '0')));
  TUninstallList back;
  back.LoadLog(folder_, "");
  EXPECT_EQ(back.FileList, log.FileList);
  EXPECT_EQ(back.RegistryList, log.RegistryList);
  EXPECT_EQ(back.FolderList, log.FolderList);
}

TEST_F(InstallLog, MissingOrShortLogs) {
  TUninstallList log;
  log.FileList = {"kept"};
  log.LoadLog(folder_, "nothing_here_");
  EXPECT_EQ(log.FileList, std::vector<std::string>{"kept"});
  // Counts promise more than the file holds: the missing texts read as empty.
  testing::WriteFile(system_.Map(TUninstallList::LogPath(folder_, "short_")).string(), {2, 0, 0, 0, 1, 0, 1, 0, 'b'});
  log.LoadLog(folder_, "short_");
  EXPECT_EQ(log.FileList.size(), 2u);
  EXPECT_EQ(log.FileList[1], "");
  EXPECT_EQ(log.FolderList, std::vector<std::string>{""});
}

}  // namespace
}  // namespace setup

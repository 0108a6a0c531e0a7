// The Windows layer against the real system under Wine: registry, drives, shell folders,
// code-page conversion and the package reader on Windows file APIs.
#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/error.h"
#include "core/crc.h"
#include "core/pak.h"
#include "core/seeded_cipher.h"
#include "runtime/startup.h"
#include "platform/win32/host.h"
#include "platform/win32/startup_platform.h"

namespace setup::win32 {
namespace {

constexpr char kTestKey[] = "Software\\SetupSystemTests";

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char text[] = "C:\\Games\\Demo";
    RegSetValueExA(key, "Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    RegSetValueExA(key, "Empty", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
    DWORD number = 7;
    RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegCloseKey(key);
  }
  void TearDown() override { RegDeleteKeyA(HKEY_CURRENT_USER, kTestKey); }
  TWin32StartupPlatform platform_;
};

TEST_F(Registry, StringValuesAreReadAndOtherTypesRaise) {
  std::string value;
  EXPECT_TRUE(platform_.ReadRegistryString(1, kTestKey, "Path", value));
  EXPECT_EQ(value, "C:\\Games\\Demo");
  EXPECT_TRUE(platform_.ReadRegistryString(1, kTestKey, "Empty", value));
  EXPECT_EQ(value, "");
  EXPECT_FALSE(platform_.ReadRegistryString(1, kTestKey, "Missing", value));
  EXPECT_FALSE(platform_.ReadRegistryString(1, "Software\\NoSuchKeyHere", "Path", value));
  EXPECT_FALSE(platform_.ReadRegistryString(9, kTestKey, "Path", value));
  EXPECT_THROW(platform_.ReadRegistryString(1, kTestKey, "Number", value), ESetupError);
}

TEST(RootKeys, TableAndOutside) {
  EXPECT_EQ(RootIndexToHandle(0), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RootIndexToHandle(4), HKEY_CURRENT_CONFIG);
  EXPECT_EQ(RootIndexToHandle(5), nullptr);
  EXPECT_EQ(RootIndexToHandle(-1), nullptr);
}

TEST(Drives, FreeSpaceAndMissingDrives) {
  TWin32StartupPlatform platform;
  EXPECT_GT(platform.FreeBytesOnDrive(3), 0);  // C:
  // Find a letter no drive uses.
  DWORD drives = GetLogicalDrives();
  int missing = 0;
  for (int i = 25; i >= 0 && !missing; --i) {
    if (!(drives & (1u << i))) missing = i + 1;
  }
  ASSERT_NE(missing, 0);
  EXPECT_EQ(platform.FreeBytesOnDrive(missing), -1);
  const std::u16string cd = platform.FindCdDrive();
  if (!cd.empty()) {
    EXPECT_EQ(cd.substr(1), u":\\");
  }
}

TEST(ShellFolders, KnownFoldersExist) {
  TWin32StartupPlatform platform;
  for (int csidl : {kCsidlProgramFiles, kCsidlPrograms, kCsidlDesktop}) {
    const std::u16string path = platform.SpecialFolderPath(csidl);
    ASSERT_FALSE(path.empty()) << csidl;
    EXPECT_NE(GetFileAttributesW(ToWide(path).c_str()), INVALID_FILE_ATTRIBUTES);
  }
  TWin32Host host;
  EXPECT_FALSE(host.AppDataFolder().empty());
}

TEST(Text, CodePageRoundTripAndLocaleLowerCase) {
  TWin32Host host;
  const std::string ansi = "Caf\xE9 \xC4rger";  // Windows-1252: e acute, A umlaut
  const std::u16string wide = host.AnsiToWide(ansi);
  EXPECT_EQ(wide, u"Caf\u00E9 \u00C4rger");
  EXPECT_EQ(host.LowerLocale("SETUPINFO \xC3\x84 \xD0\xA3"), "setupinfo \xC3\xA4 \xD1\x83");
}

TEST(Files, PackageRoundTripOnWindowsFiles) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  const std::string path = std::string(folder) + "win32-pak-test.bin";
  {
    TPak pak(path, pmCreate);
    const std::string text(100000, 'x');
    int i = pak.AddEntry("Sub\\File.txt", "", 1);
    ASSERT_TRUE(pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>(text.data()), 100000));
    ASSERT_TRUE(pak.WriteDirectory());
  }
  {
    TWin32StartupPlatform platform;
    EXPECT_TRUE(platform.FileExists(path));
    TPak pak(path, pmRead);
    ASSERT_EQ(pak.Directory().size(), 1u);
    EXPECT_TRUE(pak.Verify(0));
    EXPECT_EQ(pak.FindByName("SUB\\FILE.TXT", 1).size(), 100000u);
  }
  std::remove(path.c_str());
}

TEST(Process, RunningPathAndSameFileName) {
  TWin32StartupPlatform platform;
  const std::string path = platform.RunningExecutablePath();
  EXPECT_TRUE(platform.FileExists(path));
  EXPECT_TRUE(SameSetupFileName("WIN32_TESTS.EXE", path));
  EXPECT_FALSE(platform.FileExists(path.substr(0, path.find_last_of('\\'))));  // a folder is not a file
}

// The seeded cipher's keys come from the x87 sine and cosine: they must match the native build's.
TEST(SeededCipher, KeysMatchTheNativeBuild) {
  TMerinEncryptionType c;
  c.FirstSeed = 1;
  c.SecondSeed = 2;
  EXPECT_EQ(c.SeedKey(true), "8414798487897");
  EXPECT_EQ(c.SeedKey(false), "416146836547142");
  std::string all;
  for (int s = 0; s < 256; ++s) {
    c.FirstSeed = static_cast<uint8_t>(s);
    c.SecondSeed = static_cast<uint8_t>(s);
    all += c.SeedKey(true) + "|" + c.SeedKey(false) + "|";
  }
  EXPECT_EQ(Crc32(all.data(), all.size()), 0xbb3ba930u);  // the native build's figure
}

}  // namespace
}  // namespace setup::win32

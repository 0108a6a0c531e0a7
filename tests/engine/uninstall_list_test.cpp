#include "engine/uninstall_list.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/byte_order.h"
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

  TBytes Save(const TUninstallList& log, const std::string& prefix = "") {
    EXPECT_TRUE(log.SaveLog(folder_, prefix));
    return testing::ReadFile(system_.Map(TUninstallList::LogPath(folder_, prefix)).string());
  }
  TUninstallList Load(const TBytes& bytes, const std::string& prefix = "") {
    testing::WriteFile(system_.Map(TUninstallList::LogPath(folder_, prefix)).string(), bytes);
    TUninstallList log;
    log.FileList = {"left from before"};
    log.LoadLog(folder_, prefix);
    return log;
  }

  testing::TFakeSystem system_;
  std::string folder_;
};

void ExpectSameLists(const TUninstallList& a, const TUninstallList& b) {
  EXPECT_EQ(a.FileList, b.FileList);
  EXPECT_EQ(a.RegistryList, b.RegistryList);
  EXPECT_EQ(a.FolderList, b.FolderList);
  EXPECT_EQ(a.CreatedKeyList, b.CreatedKeyList);
}

TUninstallList SampleLog() {
  TUninstallList log;
  log.FileList = {"$INSTDIR\\data\\a.pak", "$INSTDIR\\readme.txt", "$DESKTOPDemo.lnk"};
  log.RegistryList = {"\"HKLM\" \"Software\\Demo\" \"Path\" \"C:\\Games\\Demo\""};
  log.FolderList = {"C:\\Games\\Demo\\data\\", "C:\\Games\\Demo\\"};
  return log;
}

// SampleLog as the writer before version 2 wrote it.
const TBytes kSampleLogV1 = {
    0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 0x13, 0x00, 0x2a, 0x4e, 0x52, 0x57, 0x55, 0x47, 0x4c, 0x5b, 0x64, 0x65,
    0x62, 0x78, 0x63, 0x60, 0x62, 0x34, 0x71, 0x66, 0x6e, 0x13, 0x00, 0x2a, 0x4e, 0x52, 0x57, 0x55, 0x47, 0x4c,
    0x5b, 0x64, 0x73, 0x66, 0x65, 0x66, 0x71, 0x66, 0x34, 0x75, 0x7d, 0x77, 0x10, 0x00, 0x2a, 0x49, 0x49, 0x57,
    0x4c, 0x57, 0x52, 0x59, 0x4c, 0x66, 0x6e, 0x73, 0x30, 0x70, 0x6f, 0x71, 0x2d, 0x00, 0x28, 0x4d, 0x4f, 0x50,
    0x4e, 0x25, 0x23, 0x2b, 0x5b, 0x70, 0x67, 0x78, 0x79, 0x65, 0x73, 0x6b, 0x5d, 0x49, 0x68, 0x75, 0x74, 0x26,
    0x20, 0x25, 0x58, 0x69, 0x74, 0x71, 0x29, 0x28, 0x2a, 0x4b, 0x3a, 0x5e, 0x4b, 0x66, 0x6d, 0x6d, 0x74, 0x61,
    0x4c, 0x6a, 0x73, 0x70, 0x28, 0x13, 0x00, 0x49, 0x3f, 0x60, 0x4b, 0x62, 0x70, 0x68, 0x7c, 0x64, 0x45, 0x66,
    0x71, 0x71, 0x60, 0x65, 0x67, 0x75, 0x66, 0x5f, 0x0e, 0x00, 0x49, 0x3f, 0x60, 0x4b, 0x62, 0x70, 0x68, 0x7c,
    0x64, 0x45, 0x66, 0x71, 0x71, 0x60};

// A version 1 log's texts under a version 2 header with the given version and flags.
TBytes AsVersion2(const TBytes& v1, uint16_t version = 2, uint16_t flags = 0) {
  TBytes out(22 + v1.size() - 6, 0xFF);
  StoreLE16(&out[6], version);
  StoreLE16(&out[8], flags);
  for (int i = 0; i < 3; ++i) StoreLE32(&out[10 + 4 * i], LoadLE16(&v1[2 * i]));
  std::copy(v1.begin() + 6, v1.end(), out.begin() + 22);
  return out;
}

std::vector<std::string> Numbered(const std::string& stem, size_t n) {
  std::vector<std::string> list(n);
  for (size_t i = 0; i < n; ++i) list[i] = stem + std::to_string(i) + ".dat";
  return list;
}

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
  // Only ASCII letters fold: a Latin-1 capital is another text.
  log.AddRegistryEntry("\"HKLM\" \"Software\\Été\" \"\" \"\"");
  log.AddRegistryEntry("\"HKLM\" \"Software\\été\" \"\" \"\"");
  EXPECT_EQ(log.RegistryList.size(), 3u);
}

TEST_F(InstallLog, SmallListsAreWrittenAsVersion1ByteForByte) {
  EXPECT_EQ(Save(SampleLog()), kSampleLogV1);
  EXPECT_EQ(Save(TUninstallList()), TBytes(6, 0));
  ExpectSameLists(Load(kSampleLogV1), SampleLog());
  EXPECT_TRUE(Load(TBytes(6, 0)).FileList.empty());
}

// The created keys follow the folders only under their flag: the log is version 2 then, and a
// reader of the first three lists stops in front of them.
TEST_F(InstallLog, CreatedKeysFollowTheFoldersUnderTheirFlag) {
  TUninstallList log = SampleLog();
  log.AddCreatedKey("\"HKLM\" \"Software\\Demo\"");
  log.AddCreatedKey("\"hklm\" \"software\\demo\"");
  log.AddCreatedKey("\"HKCU\" \"Software\\Demo\\Sub\"");
  EXPECT_EQ(log.CreatedKeyList.size(), 2u);
  const TBytes bytes = Save(log);
  EXPECT_EQ(LoadLE16(&bytes[6]), 2);
  EXPECT_EQ(LoadLE16(&bytes[8]), kInstallLogFlagCreatedKeys);
  // The three lists are those of version 1 behind the longer header.
  const TBytes v1_texts(kSampleLogV1.begin() + 6, kSampleLogV1.end());
  ASSERT_GT(bytes.size(), 22 + v1_texts.size() + 4);
  EXPECT_EQ(TBytes(bytes.begin() + 22, bytes.begin() + 22 + v1_texts.size()), v1_texts);
  EXPECT_EQ(LoadLE32(&bytes[22 + v1_texts.size()]), 2u);
  ExpectSameLists(Load(bytes), log);
  // Cut inside the keys: the whole ones in front stay, the other lists are whole.
  const TUninstallList cut = Load(TBytes(bytes.begin(), bytes.end() - 3));
  EXPECT_EQ(cut.FolderList, log.FolderList);
  EXPECT_EQ(cut.CreatedKeyList, std::vector<std::string>{"\"HKLM\" \"Software\\Demo\""});
  // Cut before the count: no keys.
  EXPECT_TRUE(Load(TBytes(bytes.begin(), bytes.begin() + 22 + v1_texts.size() + 2)).CreatedKeyList.empty());
  // A count past the file is cut to what the file holds.
  TBytes huge = bytes;
  StoreLE32(&huge[22 + v1_texts.size()], 0xFFFFFFFF);
  EXPECT_EQ(Load(huge).CreatedKeyList, log.CreatedKeyList);
}

TEST_F(InstallLog, RoundTripOfEveryByteValueEnciphered) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  TUninstallList log;
  log.FileList = {all, "", "second"};
  log.RegistryList = {"\"HKCU\" \"k\" \"v\" \"w\""};
  log.FolderList = {"C:\\a\\", "C:\\a\\"};
  const TBytes bytes = Save(log);
  // Texts that are not ASCII: the second version, its flag saying they are UTF-8, and the
  // counts; then the first text: its length and its bytes shifted by the key from its first digit.
  EXPECT_EQ(TBytes(bytes.begin(), bytes.begin() + 6), TBytes(6, 0xFF));
  EXPECT_EQ(LoadLE16(&bytes[6]), 2);
  EXPECT_EQ(LoadLE16(&bytes[8]), kInstallLogFlagUtf8Texts);
  EXPECT_EQ(LoadLE32(&bytes[10]), 3u);
  EXPECT_EQ(LoadLE32(&bytes[14]), 1u);
  EXPECT_EQ(LoadLE32(&bytes[18]), 2u);
  EXPECT_EQ(LoadLE16(&bytes[22]), 255);
  EXPECT_EQ(bytes[24], static_cast<uint8_t>(1 + (kInstallLogKey[0] - '0')));
  // The third file text starts at the key's first digit again.
  const size_t third = 22 + 2 + 255 + 2;
  EXPECT_EQ(bytes[third + 2], static_cast<uint8_t>('s' + (kInstallLogKey[0] - '0')));
  ExpectSameLists(Load(bytes), log);
}

// Texts in four scripts, one character outside the Basic Multilingual Plane (U+1F3AE).
TEST_F(InstallLog, TextsThatAreNotAsciiAreWrittenAsUtf8UnderTheFlag) {
  TUninstallList log;
  log.FileList = {"$INSTDIR\\Сохранения\\слот 1.sav", "$INSTDIR\\ゲーム.exe", "$DESKTOP\xF0\x9F\x8E\xAE Demo.lnk"};
  log.RegistryList = {"\"HKCU\" \"Software\\Ελληνικά\" \"Διαδρομή\" \"C:\\Игры\""};
  log.FolderList = {"C:\\Игры\\", "C:\\Игры\\ゲーム\\"};
  const TBytes bytes = Save(log);
  ASSERT_GE(bytes.size(), 22u);
  EXPECT_EQ(TBytes(bytes.begin(), bytes.begin() + 6), TBytes(6, 0xFF));
  EXPECT_EQ(LoadLE16(&bytes[6]), 2);
  EXPECT_EQ(LoadLE16(&bytes[8]), kInstallLogFlagUtf8Texts);
  EXPECT_EQ(LoadLE32(&bytes[10]), 3u);
  // The texts are the UTF-8 bytes, enciphered as any other.
  const std::string first = EncipherDigits(kInstallLogKey, log.FileList[0]);
  EXPECT_EQ(LoadLE16(&bytes[22]), first.size());
  EXPECT_EQ(std::string(bytes.begin() + 24, bytes.begin() + 24 + first.size()), first);
  TUninstallList back = Load(bytes);
  ExpectSameLists(back, log);
  // One text that is not ASCII is enough; without any the log is the first version again.
  TUninstallList one = SampleLog();
  one.FolderList.push_back("C:\\Caf\xC3\xA9\\");
  EXPECT_EQ(LoadLE16(&Save(one)[8]), kInstallLogFlagUtf8Texts);
  one.FolderList.pop_back();
  EXPECT_EQ(Save(one), kSampleLogV1);
}

// Logs of older setups hold their texts in the ANSI code page (Windows-1252 for the portable
// host); a second-version log without the flag as well. Their texts arrive as UTF-8.
TEST_F(InstallLog, TextsOfLogsWithoutTheFlagAreReadInTheAnsiCodePage) {
  auto text = [](const std::string& plain) {
    const std::string enciphered = EncipherDigits(kInstallLogKey, plain);
    TBytes out = {static_cast<uint8_t>(enciphered.size()), static_cast<uint8_t>(enciphered.size() >> 8)};
    out.insert(out.end(), enciphered.begin(), enciphered.end());
    return out;
  };
  TBytes v1 = {1, 0, 1, 0, 1, 0};
  for (const std::string& plain :
       {std::string("$INSTDIR\\M\xFChle\\\x80.txt"), std::string("\"HKLM\" \"Software\\Caf\xE9\" \"\" \"\""),
        std::string("C:\\Spiele\\")}) {
    const TBytes t = text(plain);
    v1.insert(v1.end(), t.begin(), t.end());
  }
  TUninstallList expected;
  expected.FileList = {"$INSTDIR\\Mühle\\€.txt"};
  expected.RegistryList = {"\"HKLM\" \"Software\\Café\" \"\" \"\""};
  expected.FolderList = {"C:\\Spiele\\"};
  ExpectSameLists(Load(v1), expected);
  ExpectSameLists(Load(AsVersion2(v1)), expected);
  // Under the flag the same bytes are taken as they are.
  const TUninstallList flagged = Load(AsVersion2(v1, 2, kInstallLogFlagUtf8Texts));
  EXPECT_EQ(flagged.FileList, std::vector<std::string>{"$INSTDIR\\M\xFChle\\\x80.txt"});
  // Written again, the converted texts are UTF-8 under the flag.
  const TBytes again = Save(Load(v1));
  EXPECT_EQ(LoadLE16(&again[8]), kInstallLogFlagUtf8Texts);
  ExpectSameLists(Load(again), expected);
}

TEST_F(InstallLog, LongTextsAreCutAt65535Bytes) {
  TUninstallList log;
  log.FileList = {std::string(70000, 'a'), "after"};
  const TUninstallList back = Load(Save(log));
  ASSERT_EQ(back.FileList.size(), 2u);
  EXPECT_EQ(back.FileList[0], std::string(0xFFFF, 'a'));
  EXPECT_EQ(back.FileList[1], "after");
}

TEST_F(InstallLog, SeventyThousandFilesGoToVersion2AndComeBackInOrder) {
  TUninstallList log = SampleLog();
  log.FileList = Numbered("$INSTDIR\\data\\file", 70000);
  const TBytes bytes = Save(log);
  ASSERT_GE(bytes.size(), 22u);
  EXPECT_EQ(TBytes(bytes.begin(), bytes.begin() + 6), TBytes(6, 0xFF));
  EXPECT_EQ(LoadLE16(&bytes[6]), 2);
  EXPECT_EQ(LoadLE16(&bytes[8]), 0);
  EXPECT_EQ(LoadLE32(&bytes[10]), 70000u);
  EXPECT_EQ(LoadLE32(&bytes[14]), 1u);
  EXPECT_EQ(LoadLE32(&bytes[18]), 2u);
  // The texts are those of version 1: the first file text right after the header.
  const std::string first = EncipherDigits(kInstallLogKey, log.FileList[0]);
  EXPECT_EQ(LoadLE16(&bytes[22]), first.size());
  EXPECT_EQ(std::string(bytes.begin() + 24, bytes.begin() + 24 + first.size()), first);
  TUninstallList back = Load(bytes);
  ExpectSameLists(back, log);
  // The loaded lists take part in the duplicate checks.
  back.AddFile("C:\\GAMES\\DEMO\\DATA\\FILE69999.DAT");
  back.AddRegistryEntry("\"hklm\" \"software\\demo\" \"path\" \"c:\\games\\demo\"");
  EXPECT_EQ(back.FileList.size(), 70000u);
  EXPECT_EQ(back.RegistryList.size(), 1u);
}

TEST_F(InstallLog, Version2StartsAt65535EntriesInAnyList) {
  for (int which = 0; which < 3; ++which) {
    SCOPED_TRACE(which);
    for (size_t count : {size_t{0xFFFE}, size_t{0xFFFF}}) {
      TUninstallList log = SampleLog();
      std::vector<std::string>* lists[] = {&log.FileList, &log.RegistryList, &log.FolderList};
      *lists[which] = Numbered("e", count);
      const TBytes bytes = Save(log);
      if (count == 0xFFFE) {
        EXPECT_EQ(LoadLE16(&bytes[2 * which]), 0xFFFE);
      } else {
        EXPECT_EQ(TBytes(bytes.begin(), bytes.begin() + 6), TBytes(6, 0xFF));
        EXPECT_EQ(LoadLE32(&bytes[10 + 4 * which]), 0xFFFFu);
      }
      ExpectSameLists(Load(bytes), log);
    }
  }
}

// Every cut of a log reads as the whole entries in front of the cut, in order; the texts that
// a cut shortens are dropped rather than handed to the uninstaller as other paths.
TEST_F(InstallLog, CutLogsReadAsTheirWholeEntries) {
  const TUninstallList sample = SampleLog();
  std::vector<std::string> entries = sample.FileList;
  entries.insert(entries.end(), sample.RegistryList.begin(), sample.RegistryList.end());
  entries.insert(entries.end(), sample.FolderList.begin(), sample.FolderList.end());
  for (const TBytes& whole : {kSampleLogV1, AsVersion2(kSampleLogV1)}) {
    const size_t header = whole.size() == kSampleLogV1.size() ? 6 : 22;
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
      SCOPED_TRACE(cut);
      const TUninstallList back = Load(TBytes(whole.begin(), whole.begin() + cut));
      // The entries whose last byte lies before the cut.
      size_t end = header, whole_entries = 0;
      while (cut >= header && whole_entries < entries.size() && end + 2 + entries[whole_entries].size() <= cut) {
        end += 2 + entries[whole_entries++].size();
      }
      std::vector<std::string> read = back.FileList;
      read.insert(read.end(), back.RegistryList.begin(), back.RegistryList.end());
      read.insert(read.end(), back.FolderList.begin(), back.FolderList.end());
      EXPECT_EQ(read, std::vector<std::string>(entries.begin(), entries.begin() + whole_entries));
      EXPECT_LE(back.FileList.size(), sample.FileList.size());
      if (!back.RegistryList.empty() || !back.FolderList.empty()) {
        EXPECT_EQ(back.FileList, sample.FileList);
      }
      if (!back.FolderList.empty()) {
        EXPECT_EQ(back.RegistryList, sample.RegistryList);
      }
    }
  }
}

TEST_F(InstallLog, CountsBeyondTheFileAreCutToWhatItCanHold) {
  // Version 2 counts of four thousand million: the file holds three empty texts.
  TBytes huge(22 + 6, 0);
  std::fill(huge.begin(), huge.begin() + 22, 0xFF);
  StoreLE32(&huge[6], 2);
  const TUninstallList back = Load(huge);
  EXPECT_EQ(back.FileList, (std::vector<std::string>{"", "", ""}));
  EXPECT_TRUE(back.RegistryList.empty() && back.FolderList.empty());
  EXPECT_LE(back.FileList.capacity(), 3u);
  // Version 1 counts that promise more than the file holds give the texts that are there.
  const TUninstallList short_v1 = Load({2, 0, 0, 0, 1, 0, 1, 0, '0'});
  EXPECT_EQ(short_v1.FileList, std::vector<std::string>{DecipherDigits(kInstallLogKey, "0")});
  EXPECT_TRUE(short_v1.FolderList.empty());
  EXPECT_LE(short_v1.FileList.capacity(), 1u);
}

TEST_F(InstallLog, MissingShortOrUnknownLogs) {
  TUninstallList log;
  log.FileList = {"kept"};
  log.LoadLog(folder_, "nothing_here_");
  EXPECT_EQ(log.FileList, std::vector<std::string>{"kept"});
  // A log too short for its header, or of a version or with a flag this reader does not
  // know, reads as empty lists.
  std::vector<TBytes> unreadable = {{},
                                    {3, 0, 1, 0, 2},
                                    TBytes(21, 0xFF),
                                    AsVersion2(kSampleLogV1, 3),
                                    AsVersion2(kSampleLogV1, 1),
                                    AsVersion2(kSampleLogV1, 0xFFFF),
                                    AsVersion2(kSampleLogV1, 2, 4),
                                    AsVersion2(kSampleLogV1, 2, kInstallLogFlagUtf8Texts | 4),
                                    AsVersion2(kSampleLogV1, 2, 0x8000)};
  for (const TBytes& bytes : unreadable) {
    const TUninstallList back = Load(bytes);
    EXPECT_TRUE(back.FileList.empty() && back.RegistryList.empty() && back.FolderList.empty()) << bytes.size();
  }
  // A version 2 log with small lists is read like any other.
  ExpectSameLists(Load(AsVersion2(kSampleLogV1)), SampleLog());
}

// 100,000 entries, each followed by an earlier one in another case: the lists keep the first
// spelling of each in the order it came. (A check against the whole list per entry would take
// minutes here.)
TEST_F(InstallLog, DuplicatesInOtherCaseAreRefusedAmongAHundredThousandEntries) {
  constexpr size_t kCount = 100000;
  TUninstallList log;
  const std::vector<std::string> files = Numbered("C:\\Games\\Demo\\Data\\File", kCount);
  const std::vector<std::string> again = Numbered("c:\\GAMES\\demo\\data\\file", kCount);
  const std::vector<std::string> keys = Numbered("\"HKCU\" \"Software\\Demo\\Key", kCount);
  const std::vector<std::string> keys_again = Numbered("\"hkcu\" \"SOFTWARE\\DEMO\\KEY", kCount);
  for (size_t i = 0; i < kCount; ++i) {
    log.AddFile(files[i]);
    log.AddFile(again[i / 2]);
    log.AddRegistryEntry(keys[i]);
    log.AddRegistryEntry(keys_again[i / 3]);
  }
  ASSERT_EQ(log.FileList.size(), kCount);
  ASSERT_EQ(log.RegistryList.size(), kCount);
  for (size_t i = 0; i < kCount; ++i) {
    ASSERT_EQ(log.FileList[i], "$INSTDIR\\Data\\File" + std::to_string(i) + ".dat");
    ASSERT_EQ(log.RegistryList[i], keys[i]);
  }
  EXPECT_TRUE(log.HasRegistryEntry("\"HKCU\" \"Software\\Demo\\Key123.dat"));
  EXPECT_FALSE(log.HasRegistryEntry("\"HKCU\" \"Software\\Demo\\Key100000.dat"));
  EXPECT_FALSE(log.HasFile("$INSTDIR\\Data\\File12.da"));  // a prefix is not the entry
}

// Other code reads and may change the public lists: the duplicate checks follow.
TEST_F(InstallLog, DuplicateChecksFollowListsChangedDirectly) {
  TUninstallList log;
  log.AddFile("C:\\Games\\Demo\\a.txt");
  log.FileList.push_back("$INSTDIR\\B.txt");
  EXPECT_TRUE(log.HasFile("$instdir\\b.TXT"));
  log.AddFile("C:\\Games\\Demo\\b.txt");
  EXPECT_EQ(log.FileList.size(), 2u);

  log.FileList = {"x", "y", "z"};  // replaced by a longer list
  EXPECT_FALSE(log.HasFile("$INSTDIR\\a.txt"));
  EXPECT_TRUE(log.HasFile("X") && log.HasFile("Y") && log.HasFile("Z"));
  log.FileList = {"x", "q", "z"};  // an inner entry changed: hits are checked, misses are not
  EXPECT_FALSE(log.HasFile("y"));
  log.FileList.clear();
  EXPECT_FALSE(log.HasFile("x"));
  log.FileList = {"other"};
  EXPECT_TRUE(log.HasFile("OTHER"));
  EXPECT_FALSE(log.HasFile("x"));

  log.RegistryList.push_back("line");
  EXPECT_TRUE(log.HasRegistryEntry("LINE"));
  log.ClearLists();
  EXPECT_FALSE(log.HasRegistryEntry("line"));
  log.AddRegistryEntry("line");
  EXPECT_EQ(log.RegistryList.size(), 1u);

  ASSERT_TRUE(SampleLog().SaveLog(folder_, "s_"));
  log.LoadLog(folder_, "s_");
  EXPECT_FALSE(log.HasRegistryEntry("line"));
  EXPECT_TRUE(log.HasFile("$instdir\\README.TXT"));
}

}  // namespace
}  // namespace setup

// The texts of a package: entry names, the data files' stem, "SetupInfo" and "CompiledLines".
// A package whose texts are all ASCII is written exactly as before packages could say their
// texts are UTF-8; one whose texts are not is the second version with the flag that says so;
// packages without the flag have their names read in the ANSI code page (Windows-1252 for the
// portable host), as they were written.
#include <gtest/gtest.h>

#include <string>

#include "core/byte_order.h"
#include "core/crc.h"
#include "core/pak.h"
#include "core/setup_info.h"
#include "core/sha256.h"
#include "pak_fixtures.h"
#include "setup_records.h"
#include "test_files.h"

namespace setup {
namespace {

using testing::ReadFile;
using testing::ScratchPath;
using testing::WriteFile;

std::string Sha256Of(const TBytes& bytes) {
  auto digest = NewSha256();
  TSha256Digest out{};
  EXPECT_TRUE(digest && digest->Update(bytes.data(), bytes.size()) && digest->Final(out));
  return Sha256Hex(out);
}

struct TTextEntry {
  std::string Name;
  uint16_t Group;
  std::string Data;
};

// Each entry stored as it is, so the bytes do not depend on the deflate library.
std::string WritePlainPackage(const std::string& file, const std::vector<TTextEntry>& entries, bool records_not_ascii = false) {
  const std::string path = ScratchPath(file);
  WriteFile(path, {'M', 'Z', 0, 0, 0, 0, 0, 0});
  TPak pak(path, pmAppend);
  pak.SetRecordsNotAscii(records_not_ascii);
  for (const TTextEntry& e : entries) {
    const int index = pak.AddEntry(e.Name, "", e.Group);
    TPakEntry& entry = pak.Directory()[index];
    const TBytes stored(e.Data.begin(), e.Data.end());
    entry.Size = stored.size();
    entry.PackedSize = 0;
    entry.Crc = Crc32(stored.data(), stored.size());
    EXPECT_TRUE(pak.StorePacked(index, stored));
  }
  EXPECT_TRUE(pak.WriteDirectory());
  pak.Close();
  return path;
}

TCompLines AsciiLines() {
  TCompLines lines;
  lines.Lines = {{-1, {}, 0, -1},
                 {0, {"start"}, 1, 1},
                 {7, {"files", "$INSTDIR\\data", "1"}, 3, 2},
                 {11, {"more", std::string("\x7F\x80\x83", 3), "game.kzp", "2"}, 4, 3},
                 {9, {"HKLM", "Software\\Demo", "Path", "$INSTDIR"}, 4, 4}};
  return lines;
}

std::vector<TTextEntry> AsciiEntries() {
  return {{"SetupInfo", 0, testing::FilledSetupInfo().Serialize()},
          {"CompiledLines", 0, AsciiLines().Serialize()},
          {"LANGUAGE-English", 0, "language"},
          {"data\\readme.txt", 1, "readme"},
          {"game.kzp", 2, "archive"}};
}

TEST(PakTexts, AnAsciiSetupIsTheFirstVersionByteForByte) {
  const std::string path = WritePlainPackage("ascii.exe", AsciiEntries());
  const TBytes bytes = ReadFile(path);
  EXPECT_EQ(Sha256Of(bytes), "a85a3ccc3b66245073c125fa4964700309b8de88c67cb570ce1ff02a27bbf9f9");
  TPak pak(path, pmRead);
  EXPECT_EQ(pak.Trailer().Version, kPakVersion1);
}

// Names in four scripts, one of them outside the Basic Multilingual Plane (U+1F3AE).
const std::string kCyrillic = "Игра\\Сохранения\\слот 1.sav";
const std::string kGreek = "Ελληνικά\\αρχείο.txt";
const std::string kJapanese = "ゲーム\\データ.bin";
const std::string kAstral = "\xF0\x9F\x8E\xAE controller.cfg";

TEST(PakTexts, NamesThatAreNotAsciiMakeTheSecondVersionWithTheFlag) {
  const std::vector<TTextEntry> entries = {{"SetupInfo", 0, "info"},
                                           {kCyrillic, 1, "save"},
                                           {kGreek, 1, "text"},
                                           {kJapanese, 2, "data"},
                                           {kAstral, 2, "pad"}};
  const std::string path = WritePlainPackage("unicode.exe", entries);
  const TBytes bytes = ReadFile(path);
  EXPECT_EQ(LoadLE16(&bytes[bytes.size() - kPakTrailerSize + 4]), kPakVersion2);
  EXPECT_EQ(LoadLE32(&bytes[bytes.size() - 8]), kPakFlagUtf8Texts);
  TPak pak(path, pmRead);
  ASSERT_TRUE(pak.DirectorySound());
  EXPECT_TRUE(pak.TextsUtf8());
  ASSERT_EQ(pak.Directory().size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(pak.Directory()[i].Name, entries[i].Name);
    EXPECT_EQ(pak.Extract(static_cast<int>(i)), TBytes(entries[i].Data.begin(), entries[i].Data.end()));
  }
  // Look-ups by name lower letters of every script.
  EXPECT_EQ(pak.IndexOfName("ИГРА\\сохранения\\СЛОТ 1.SAV", 1), 1);
  EXPECT_EQ(pak.IndexOfName("ΕΛΛΗΝΙΚΆ\\ΑΡΧΕΊΟ.TXT", 1), 2);
  EXPECT_EQ(pak.IndexOfName(kJapanese, 2), 3);
  EXPECT_EQ(pak.IndexOfName("\xF0\x9F\x8E\xAE CONTROLLER.CFG", 2), 4);
  EXPECT_EQ(pak.IndexOfName(kCyrillic, 2), -1);
  EXPECT_EQ(pak.FindByName("игра\\сохранения\\слот 1.sav", 1), TBytes({'s', 'a', 'v', 'e'}));
}

TEST(PakTexts, RecordsOrAStemThatAreNotAsciiSetTheFlagThoughEveryNameIsAscii) {
  TPak records(WritePlainPackage("records.exe", AsciiEntries(), true), pmRead);
  EXPECT_EQ(records.Trailer().Version, kPakVersion2);
  EXPECT_TRUE(records.TextsUtf8());
  EXPECT_EQ(records.Directory()[1].Name, "CompiledLines");
  const std::string info = AsciiEntries()[0].Data;
  EXPECT_EQ(records.FindByName("setupinfo", 0), TBytes(info.begin(), info.end()));

  const std::string path = ScratchPath("Игра_setup.exe");
  {
    TPak pak(path, pmCreate);
    ASSERT_TRUE(pak.StartDataFiles("Игра_setup", 1 << 20,
                                   [](uint32_t n) { return ScratchPath(DataFileName("Игра_setup", n)); }));
    const std::string data = "payload";
    ASSERT_TRUE(pak.StoreFromMemory(pak.AddEntry("a.txt", "", 1), reinterpret_cast<const uint8_t*>(data.data()), 7));
    ASSERT_TRUE(pak.WriteDirectory());
    EXPECT_TRUE(pak.TextsUtf8());
  }
  TPak pak(path, pmRead);
  EXPECT_TRUE(pak.TextsUtf8());
  EXPECT_EQ(pak.DataFileStem(), "Игра_setup");
  ASSERT_EQ(AttachDataFiles(pak, path)[0].Status, TDataFileStatus::Found);
  EXPECT_TRUE(pak.Verify(0));
}

// A package with patch groups says so in its own flag, which only the second version has; its
// texts stay unflagged when they are ASCII.
TEST(PakTexts, APackageWithPatchGroupsIsTheSecondVersionWithItsOwnFlag) {
  const std::string path = ScratchPath("patch.exe");
  {
    TPak pak(path, pmCreate);
    pak.SetHoldsDifferences(true);
    const std::string data = "difference";
    ASSERT_TRUE(pak.StoreFromMemory(pak.AddEntry("a.pak", "", 1), reinterpret_cast<const uint8_t*>(data.data()), 10));
    ASSERT_TRUE(pak.WriteDirectory());
  }
  const TBytes bytes = ReadFile(path);
  EXPECT_EQ(LoadLE16(&bytes[bytes.size() - kPakTrailerSize + 4]), kPakVersion2);
  EXPECT_EQ(LoadLE32(&bytes[bytes.size() - 8]), kPakFlagDifferences);
  TPak pak(path, pmRead);
  ASSERT_TRUE(pak.DirectorySound());
  EXPECT_TRUE(pak.HoldsDifferences());
  EXPECT_FALSE(pak.TextsUtf8());
  EXPECT_TRUE(pak.Verify(0));
  EXPECT_FALSE(TPak(WritePlainPackage("plain.exe", AsciiEntries()), pmRead).HoldsDifferences());
}

// Packages written before the flag: the first version, and the second with data files but no
// flag. Their texts are in the ANSI code page; the reader hands out UTF-8.
TEST(PakTexts, NamesOfPackagesWithoutTheFlagAreReadInTheAnsiCodePage) {
  const std::string data = "legacy";
  const uint32_t crc = Crc32(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  std::vector<testing::TRawEntry> entries = {{"Caf\xE9\\\x80 price.txt", crc, 0, 0, data.size(), 1, 0},
                                             {"plain.txt", crc, 0, 0, data.size(), 1, 0}};
  TBytes v1(data.begin(), data.end());
  const TBytes tail = testing::Version1Tail(entries, static_cast<uint32_t>(v1.size()));
  v1.insert(v1.end(), tail.begin(), tail.end());
  const std::string path = ScratchPath("legacy.pak");
  WriteFile(path, v1);
  {
    TPak pak(path, pmRead);
    ASSERT_TRUE(pak.DirectorySound());
    EXPECT_FALSE(pak.TextsUtf8());
    EXPECT_EQ(pak.Directory()[0].Name, "Café\\€ price.txt");
    EXPECT_EQ(pak.Directory()[1].Name, "plain.txt");
    EXPECT_EQ(pak.FindByName("CAFÉ\\€ PRICE.TXT", 1), TBytes(data.begin(), data.end()));
  }

  testing::TRawPackage raw;
  raw.Entries = entries;
  raw.Stem = "Spi\xEAl";
  const TBytes stored(data.begin(), data.end());
  WriteFile(path, testing::Version2Package(stored, raw));
  {
    TPak pak(path, pmRead);
    ASSERT_TRUE(pak.DirectorySound());
    EXPECT_FALSE(pak.TextsUtf8());
    EXPECT_EQ(pak.Directory()[0].Name, "Café\\€ price.txt");
    EXPECT_EQ(pak.DataFileStem(), "Spiêl");
  }
  // The same bytes under the flag are UTF-8 already and stay as they are: here they are not
  // valid UTF-8, and reach the program as they were stored.
  raw.Flags = kPakFlagUtf8Texts;
  WriteFile(path, testing::Version2Package(stored, raw));
  TPak pak(path, pmRead);
  ASSERT_TRUE(pak.DirectorySound());
  EXPECT_TRUE(pak.TextsUtf8());
  EXPECT_EQ(pak.Directory()[0].Name, "Caf\xE9\\\x80 price.txt");
  EXPECT_EQ(pak.DataFileStem(), "Spi\xEAl");
}

// Lowering changes the length of some letters: a look-up compares the lowered names whole.
TEST(PakTexts, LookUpsFindNamesWhoseLoweredLengthDiffers) {
  TPak pak(WritePlainPackage("kelvin.exe", {{"\xE2\x84\xAA"
                                             "elvin.txt",
                                             1, "K"},
                                            {"kelvin.txt", 2, "k"}}),
           pmRead);
  EXPECT_EQ(pak.IndexOfName("kelvin.txt", 1), 0);
  EXPECT_EQ(pak.IndexOfName("KELVIN.TXT", 2), 1);
  EXPECT_EQ(pak.IndexOfName("kelvin.tx", 2), -1);
}

}  // namespace
}  // namespace setup

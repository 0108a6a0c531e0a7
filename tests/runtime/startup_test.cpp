#include "runtime/startup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "core/byte_order.h"
#include "core/command_list.h"
#include "core/crc.h"
#include "core/error.h"
#include "core/exit_codes.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "delta/patch_manifest.h"
#include "engine/commands.h"
#include "engine/interpreter.h"
#include "engine/run_log.h"
#include "fake_platform.h"
#include "test_files.h"
#include "test_host.h"

namespace setup {
namespace {

using testing::ScratchPath;
using testing::TextBytes;

// A language file image: name line, identifier line, one string.
std::string LanguageImage(const std::string& name, const std::string& ids) {
  std::string image = "\xFF\xFE";
  for (char c : name + "\r\n" + ids + "\r\n" + "1 x\r\n") {
    image.push_back(c);
    image.push_back('\0');
  }
  return image;
}

std::vector<std::u16string> LoadedLanguageNames() {
  std::vector<std::u16string> names;
  for (const auto& t : Languages().Tables) names.push_back(t->Name);
  return names;
}

struct Item {
  std::string name;
  uint16_t group;
  std::string data;
};

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals() = TSetupGlobals();
    Languages() = TLanguages();
    info_.SetupName = "Demo";
    info_.SetupExeName = "demo_setup.exe";
    info_.InstallDir = "C:\\Games\\Demo";
    lines_.Lines = {{7, {"data", "1"}, 2, 0}};
  }
  void TearDown() override {
    Globals() = TSetupGlobals();
    Languages() = TLanguages();
  }

  // Writes the package as "demo_setup.exe" (or name) in the scratch folder and points the fake at it.
  void Build(std::vector<Item> extra = {}, const std::string& name = "demo_setup.exe", bool with_lines = true) {
    std::vector<Item> items = {{"SetupInfo", 0, info_.Serialize()}};
    if (with_lines) items.push_back({"CompiledLines", 0, lines_.Serialize()});
    items.insert(items.end(), extra.begin(), extra.end());
    const std::string path = ScratchPath(name);
    TPak pak(path, pmCreate);
    // As the builder says it, unless the package is to be one of an older builder.
    pak.SetRecordsNotAscii(!legacy_ && (!info_.AllAscii() || !lines_.AllAscii()));
    for (const Item& it : items) {
      int i = pak.AddEntry(it.name, "", it.group);
      ASSERT_TRUE(pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>(it.data.data()),
                                      static_cast<uint32_t>(it.data.size())) ||
                  it.data.empty());
    }
    ASSERT_TRUE(pak.WriteDirectory());
    platform_.ExePath = path;
  }

  // The same with the entries of groups above 0 in data files of slice bytes beside it.
  void BuildWithDataFiles(const std::vector<Item>& extra, uint64_t slice) {
    std::vector<Item> items = {{"SetupInfo", 0, info_.Serialize()}, {"CompiledLines", 0, lines_.Serialize()}};
    items.insert(items.end(), extra.begin(), extra.end());
    const std::string path = ScratchPath("demo_setup.exe");
    testing::WriteFile(path, TextBytes(4096));  // a host, so offsets in the setup file are not 0
    TPak pak(path, pmAppend);
    ASSERT_TRUE(pak.StartDataFiles("demo_setup", slice, [](uint32_t n) { return ScratchPath(DataFileName("demo_setup", n)); }));
    for (const Item& it : items) {
      int i = pak.AddEntry(it.name, "", it.group);
      if (it.name.rfind("same-as-", 0) == 0) {
        ASSERT_TRUE(pak.ShareStored(i, pak.IndexOfName(it.name.substr(8), it.group)));
        continue;
      }
      ASSERT_TRUE(pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>(it.data.data()),
                                      static_cast<uint32_t>(it.data.size())));
    }
    ASSERT_TRUE(pak.WriteDirectory());
    platform_.ExePath = path;
  }

  int Run(std::vector<std::string> args = {}) { return RunSetup(platform_, args); }

  TSetupInfoFile info_;
  TCompLines lines_;
  bool legacy_ = false;  // Build writes the records' bytes without saying they are UTF-8
  testing::TFakePlatform platform_;
  testing::TRecordingHost host_;
};

TEST_F(Startup, SoundPackageRunsThroughToTheHandOver) {
  Build({{"a.txt", 1, std::string(3000, 'a')}, {"LANGUAGE-German", 0, LanguageImage("Deutsch", "0407;")},
         {"LANGUAGE-English", 0, LanguageImage("English", "0809;0409;")}, {"b.txt", 1, "bb"}});
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(host_.Boxes.empty());
  EXPECT_EQ(platform_.Title, "Verifying Contents");
  EXPECT_EQ(platform_.Statuses.front(), "Loading Header [0/100]");
  EXPECT_EQ(platform_.Statuses[1], "Status: 0 out of 6 files verifyed [0/10000]");
  EXPECT_EQ(platform_.Statuses.back(), "Status: 6 out of 6 files verifyed [10000/10000]");
  EXPECT_EQ(platform_.Calls,
            (std::vector<std::string>{"create wizard", "show verify", "destroy verify", "hand over", "free wizard"}));
  EXPECT_GE(platform_.Tick, 500u);  // the window stayed up half a second after the last entry
  const TSetupState& s = Globals().State;
  EXPECT_EQ(s.RequiredBytes, 3002);  // grouped entries only
  EXPECT_EQ(s.RequiredText, "2.93 KB");
  EXPECT_EQ(s.AvailableBytes, 5LL << 30);
  EXPECT_EQ(s.AvailableText, "5.00 GB");
  EXPECT_EQ(s.CdDrivePath, u"E:\\");
  EXPECT_EQ(s.ProgramFilesPath, u"C:\\Program Files\\");
  EXPECT_EQ(s.DesktopPath, u"\\");  // a failed lookup leaves the separator alone
  EXPECT_EQ(s.ArchiveGroups, std::vector<uint8_t>({0, 0}));
  EXPECT_EQ(LoadedLanguageNames(), (std::vector<std::u16string>{u"Deutsch", u"English"}));
  EXPECT_EQ(Languages().Current, 1);  // the system language 0409 is listed by English
  EXPECT_EQ(Globals().Commands.Count(), static_cast<size_t>(kCommandCount));
}

TEST_F(Startup, SilentAnywhereInAnyCaseSkipsTheWindow) {
  Build();
  EXPECT_EQ(Run({"x", "-SILENT"}), 0);
  EXPECT_TRUE(Globals().State.SilentMode);
  EXPECT_FALSE(Globals().State.PackageFromArgument);
  EXPECT_TRUE(platform_.Statuses.empty());
  EXPECT_EQ(platform_.Tick, 0u);  // no window, so no pause to keep it in sight
  EXPECT_EQ(platform_.Calls.back(), "free wizard");
  EXPECT_EQ(platform_.Calls[platform_.Calls.size() - 2], "hand over silent");
}

TEST_F(Startup, MissingTrailerEndsAtOnce) {
  testing::WriteFile(ScratchPath("stub.exe"), TextBytes(5000));
  platform_.ExePath = ScratchPath("stub.exe");
  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(host_.Boxes.size(), 1u);
  EXPECT_EQ(host_.Boxes[0].Text, "Invalid Setup Header. No Contents or Corrupted Contents.");
  EXPECT_EQ(host_.Boxes[0].Caption, "Error");
}

TEST_F(Startup, FailedEntryNamesItsIndexAndFile) {
  Build({{"a.txt", 1, std::string(3000, 'a')}, {"sub\\b.txt", 1, std::string(3000, 'b')}});
  TBytes bytes = testing::ReadFile(platform_.ExePath);
  TPak probe(platform_.ExePath, pmRead);
  const uint32_t at = probe.Directory()[3].Offset + 3;
  bytes[at] ^= 1;
  testing::WriteFile(platform_.ExePath, bytes);
  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(host_.Boxes.size(), 1u);
  EXPECT_EQ(host_.Boxes[0].Text, "Error: Verification Failed. Setup is corrupt.\rID: 3 Filename: sub\\b.txt");
  EXPECT_EQ(host_.Boxes[0].Caption, "Verification Error");
  EXPECT_EQ(platform_.Calls.back(), "free wizard");

  // Sound bytes that inflate to another length than the record's Size: the lengths come first.
  host_.Boxes.clear();
  Globals() = TSetupGlobals();
  Build({{"a.txt", 1, std::string(3000, 'a')}, {"sub\\b.txt", 1, std::string(3000, 'b')}});
  bytes = testing::ReadFile(platform_.ExePath);
  size_t record = TPak(platform_.ExePath, pmRead).Trailer().DirOffset;
  for (const char* name : {"SetupInfo", "CompiledLines", "a.txt"}) record += kPakRecordFixedSize + std::strlen(name);
  StoreLE32(bytes.data() + record + 2 + 9 + 12, 2999);
  testing::WriteFile(platform_.ExePath, bytes);
  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(host_.Boxes.size(), 2u);
  EXPECT_EQ(host_.Boxes[0].Text, "sub\\b.txt\r\rError: DecompSize - 3000 OrigSize - 2999");
  EXPECT_EQ(host_.Boxes[0].Caption, "Error");
  EXPECT_EQ(host_.Boxes[1].Text, "Error: Verification Failed. Setup is corrupt.\rID: 3 Filename: sub\\b.txt");
}

TEST_F(Startup, BrokenStreamGoesToTheReportAsVerificationStage) {
  Build();
  // Overwrite the zlib header of the compressed SetupInfo and fix its Crc: the stream no longer inflates.
  TPak probe(platform_.ExePath, pmRead);
  TPakEntry e = probe.Directory()[0];
  ASSERT_GT(e.PackedSize, 0u);
  TBytes bytes = testing::ReadFile(platform_.ExePath);
  bytes[e.Offset + 2] = 0xFF;
  bytes[e.Offset + 3] = 0xFF;
  const uint32_t crc = Crc32(bytes.data() + e.Offset, e.PackedSize);
  const size_t crc_field = probe.Trailer().DirOffset + 2 + 9;
  StoreLE32(bytes.data() + crc_field, crc);
  testing::WriteFile(platform_.ExePath, bytes);
  try {
    Run();
    FAIL() << "no error report";
  } catch (const testing::TErrorLogWritten& r) {
    EXPECT_EQ(r.Text, "error");
    EXPECT_EQ(r.Type, "Verification Stage");
  }
}

TEST_F(Startup, MissingRecordsStopWithTheirMessages) {
  Build({}, "demo_setup.exe", /*with_lines=*/false);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(host_.Boxes.back().Text, "Error: Compiled Lines Missing. Setup is corrupt");
  EXPECT_EQ(host_.Boxes.back().Caption, "Verification Error");

  const std::string path = ScratchPath("no-info.exe");
  {
    TPak pak(path, pmCreate);
    int i = pak.AddEntry("other", "", 0);
    pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>("x"), 1);
    pak.WriteDirectory();
  }
  platform_.ExePath = path;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(host_.Boxes.back().Text, "Error: Setup Information Missing. Setup is corrupt");
}

TEST_F(Startup, TruncatedRecordReachesTheReportWithoutStage) {
  std::string cut = info_.Serialize();
  cut.resize(20);
  const std::string path = ScratchPath("cut-info.exe");
  {
    TPak pak(path, pmCreate);
    int i = pak.AddEntry("SetupInfo", "", 0);
    pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>(cut.data()), static_cast<uint32_t>(cut.size()));
    pak.WriteDirectory();
  }
  platform_.ExePath = path;
  try {
    Run();
    FAIL() << "no error report";
  } catch (const testing::TErrorLogWritten& r) {
    EXPECT_EQ(r.Type, "");
    EXPECT_NE(r.Text.find("truncated"), std::string::npos) << r.Text;
  }
}

TEST_F(Startup, CommandBeyondTheRegistryIsReportedNotRun) {
  lines_.Lines.push_back({kCommandCount + 1, {}, 0, 1});
  Build();
  EXPECT_THROW(Run(), testing::TErrorLogWritten);
}

TEST_F(Startup, RenamedFileIsRefusedButCopyMarksAreNot) {
  Build({}, "setup-renamed.exe");
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(host_.Boxes.back().Text,
            "Error: Setup`s filename has been renamed\r\rExpected: \rdemo_setup.exe\r\rFound: \rsetup-renamed.exe");
  EXPECT_EQ(host_.Boxes.back().Caption, "Error");

  for (const char* name : {"Demo_Setup (2).exe", "demo_setup[3].exe"}) {
    host_.Boxes.clear();
    Globals() = TSetupGlobals();
    Build({}, name);
    EXPECT_EQ(Run(), 0) << name;
    EXPECT_TRUE(host_.Boxes.empty()) << name;
  }
  EXPECT_FALSE(SameSetupFileName("demo_setup.exe", "C:\\dl\\demo_setup(10).exe"));
  EXPECT_TRUE(SameSetupFileName("sub\\Demo_Setup.exe", "C:\\dl\\demo_setup().exe"));
}

// A setup of an older builder stored its texts in the ANSI code page (Windows-1252 for the
// portable host): they arrive in UTF-8, all but the enciphered archive password.
TEST_F(Startup, RecordsOfAnOlderSetupAreReadInTheAnsiCodePage) {
  const std::string password("\x83\xE9\x7F", 3);
  info_.SetupName = "Caf\xE9 \x80";
  info_.InstallDir = "C:\\Spiele\\M\xFChle";
  info_.InstallDirRegKey[0] = {1, "Software\\M\xFChle", "Pfad"};
  lines_.Lines = {{CommandNumberOf("file"), {"data", "$INSTDIR\\\xC4rger", "1"}, 3, 0},
                  {CommandNumberOf("kzpupdate"), {"more", password, "sp\xEAl.kzp", "2"}, 4, 1}};
  legacy_ = true;
  Build({{"payload", 1, "abc"}});
  EXPECT_FALSE(TPak(platform_.ExePath, pmRead).TextsUtf8());
  platform_.Registry["1|Software\\Mühle|Pfad"] = "D:\\Spiele\\Mühle";
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(host_.Boxes.empty());
  const TSetupGlobals& g = Globals();
  EXPECT_EQ(g.SetupInfo.SetupName, "Café €");
  EXPECT_EQ(g.SetupInfo.InstallDir, "D:\\Spiele\\Mühle");  // found under the converted key
  EXPECT_EQ(g.CompLines.Lines[0].Params, (std::vector<std::string>{"data", "$INSTDIR\\Ärger", "1"}));
  EXPECT_EQ(g.CompLines.Lines[1].Params, (std::vector<std::string>{"more", password, "spêl.kzp", "2"}));
}

// A setup whose texts are UTF-8 says so, and its records are taken as they are.
TEST_F(Startup, RecordsOfAUnicodeSetupAreTakenAsTheyAre) {
  info_.SetupName = "Игра ゲーム Ελληνικά \xF0\x9F\x8E\xAE";
  info_.SetupExeName = "Игра_Setup.exe";
  info_.InstallDir = "C:\\Игры\\ゲーム";
  lines_.Lines = {{CommandNumberOf("file"), {"данные", "1"}, 2, 0}};
  Build({{"данные\\файл.txt", 1, "abc"}}, "игра_setup (2).exe");
  const TPak pak(platform_.ExePath, pmRead);
  EXPECT_TRUE(pak.TextsUtf8());
  EXPECT_EQ(pak.Directory()[2].Name, "данные\\файл.txt");
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(host_.Boxes.empty());
  EXPECT_EQ(Globals().SetupInfo.SetupName, info_.SetupName);
  EXPECT_EQ(Globals().SetupInfo.InstallDir, info_.InstallDir);
  EXPECT_EQ(Globals().CompLines.Lines[0].Params, lines_.Lines[0].Params);
}

TEST_F(Startup, PackageFileAsFirstArgumentSkipsTheNameCheck) {
  Build({}, "package.bin");
  const std::string package = platform_.ExePath;
  testing::WriteFile(ScratchPath("anything.exe"), TextBytes(100));
  platform_.ExePath = ScratchPath("anything.exe");
  platform_.ExistingFiles.insert(package);
  EXPECT_EQ(Run({package}), 0);
  EXPECT_TRUE(Globals().State.PackageFromArgument);
  EXPECT_TRUE(host_.Boxes.empty());
}

TEST_F(Startup, UninstallerNeedsItsLogAndSkipsTheScript) {
  info_.Mode = 1;
  info_.UninstallPrefix = "demo_";
  Build({{"payload", 1, "abc"}}, "elsewhere.exe", /*with_lines=*/false);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(host_.Boxes.back().Text, "Error: install log is missing");
  EXPECT_EQ(host_.Boxes.back().Caption, "Setup Error");

  host_.Boxes.clear();
  platform_.ExistingFiles.insert("C:\\Games\\Demo\\demo_install.log");
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(host_.Boxes.empty());
  EXPECT_NE(std::find(platform_.Calls.begin(), platform_.Calls.end(), "load log C:\\Games\\Demo demo_"),
            platform_.Calls.end());
  EXPECT_EQ(Globals().State.RequiredBytes, 0);
  EXPECT_EQ(Globals().State.RequiredText, "0.00 Bytes");
  EXPECT_EQ(Globals().Commands.Count(), 0u);
  EXPECT_EQ(Globals().State.AvailableBytes, 0);  // no install-folder step in an uninstaller
}

TEST_F(Startup, InstallFolderFromRegistryOrMessage) {
  info_.InstallDir.clear();
  Build();
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(host_.Boxes.back().Text, "Error: Registry Key Not Found. Please Install Software");

  info_.InstallDirRegKey[1] = {1, "Software\\Demo", "Path"};
  info_.InstallDirRegKey[3] = {0, "Software\\Demo", "Folder"};
  Globals() = TSetupGlobals();
  Build();
  EXPECT_EQ(Run(), 1);  // slots in use, but none yields a value
  platform_.Registry["0|Software\\Demo|Folder"] = "\\\\server\\share\\Demo";
  platform_.Registry["1|Software\\Demo|Path"] = "";
  host_.Boxes.clear();
  Globals() = TSetupGlobals();
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(host_.Boxes.empty());
  EXPECT_EQ(Globals().SetupInfo.InstallDir, "\\\\server\\share\\Demo");
  EXPECT_EQ(Globals().State.AvailableBytes, 0);  // a network path has no drive letter
  EXPECT_EQ(Globals().State.AvailableText, "");
}

TEST_F(Startup, MissingDriveGivesMinusOne) {
  info_.InstallDir = "q:\\Games";
  Build();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Globals().State.AvailableBytes, -1);
  EXPECT_EQ(Globals().State.AvailableText, "-1.00 Bytes");
}

TEST_F(Startup, ArchiveGroupsCountStoredSizes) {
  // file, kzpupdate, file: groups 1, 2, 3 with kinds 0, 1, 0.
  lines_.Lines = {{7, {"a", "1"}, 2, 0}, {11, {"x.kzp", "y", "z", "2"}, 4, 1}, {2, {}, 0, 2}, {7, {"b", "3"}, 2, 3}};
  const std::string text(10000, 't');
  const TBytes noise_bytes = testing::NoiseBytes(500);
  const std::string noise(noise_bytes.begin(), noise_bytes.end());
  Build({{"f1", 1, text}, {"k1", 2, text}, {"k2", 2, noise}, {"f3", 3, "abc"}, {"beyond", 9, text}});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Globals().State.ArchiveGroups, std::vector<uint8_t>({0, 0, 1, 0}));
  TPak probe(platform_.ExePath, pmRead);
  const uint32_t k1_packed = probe.Directory()[3].PackedSize;
  ASSERT_GT(k1_packed, 0u);
  ASSERT_EQ(probe.Directory()[4].PackedSize, 0u);  // noise stays uncompressed: its Size counts
  EXPECT_EQ(Globals().State.RequiredBytes, 10000 + k1_packed + 500 + 3);
}

// A patch group needs the room its manifest says it takes at its worst moment, not its stored
// bytes; one whose manifest cannot be read counts as stored.
TEST_F(Startup, PatchGroupsCountTheRoomTheirManifestNeeds) {
  constexpr int kPatch = CommandNumberOf("patch");
  lines_.Lines = {{7, {"a", "1"}, 2, 0}, {kPatch, {"new", "old", "2"}, 3, 1}};
  delta::TPatchManifest manifest;
  manifest.Items = {{delta::TPatchAction::Add, "added", {}, {100, {}}},
                    {delta::TPatchAction::Difference, "big", {5000, {}}, {5200, {}}},
                    {delta::TPatchAction::Remove, "gone", {7000, {}}, {}}};
  const std::string difference(900, 'd');
  Build({{"f1", 1, "abc"},
         {"PATCH-2", 0, delta::WritePatchManifest(manifest)},
         {"added", 2, std::string(100, 'a')},
         {"big", 2, difference}});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Globals().State.ArchiveGroups, std::vector<uint8_t>({0, 0, 2}));
  EXPECT_EQ(Globals().State.RequiredBytes, 3 + 100 + 200 + 5200);

  Globals() = TSetupGlobals();
  Build({{"f1", 1, "abc"}, {"PATCH-2", 0, "damaged"}, {"added", 2, std::string(100, 'a')}, {"big", 2, difference}});
  EXPECT_EQ(Run(), 0);
  TPak probe(platform_.ExePath, pmRead);
  EXPECT_EQ(Globals().State.RequiredBytes,
            static_cast<int64_t>(3 + probe.Directory()[4].StoredLength() + probe.Directory()[5].StoredLength()));
}

TEST_F(Startup, LanguageWalkStopsAtTheFirstEntryWithoutData) {
  Build({{"language-German", 0, LanguageImage("Deutsch", "0407;")}, {"LANGUAGE-English", 0, LanguageImage("English", "0809;")},
         {"Pages.txt", 0, "p"}, {"LANGUAGE-Empty", 0, ""}, {"LANGUAGE-French", 0, LanguageImage("Fr", "040c;")}});
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(LoadedLanguageNames(), (std::vector<std::u16string>{u"Deutsch", u"English"}));
  EXPECT_EQ(Languages().Current, 0);  // no table lists 0409: the first one

  // A table whose identifier does not convert reaches the report.
  Globals() = TSetupGlobals();
  Languages() = TLanguages();
  Build({{"LANGUAGE-Bad", 0, LanguageImage("Bad", "04x9;")}});
  EXPECT_THROW(Run(), testing::TErrorLogWritten);
}


// Three data files of 4000 bytes: a.bin spans the first two, b.bin the second and third.
std::vector<Item> DataFileItems() {
  const TBytes a = testing::NoiseBytes(6000, 1), b = testing::NoiseBytes(5000, 2);
  return {{"a.bin", 1, std::string(a.begin(), a.end())}, {"b.bin", 1, std::string(b.begin(), b.end())}};
}

TEST_F(Startup, DataFilesBesideTheSetupAreVerifiedWithTheBarMovingByBytes) {
  BuildWithDataFiles(DataFileItems(), 4000);
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(host_.Boxes.empty());
  EXPECT_EQ(Globals().State.RequiredBytes, 11000);
  // The bar moves within an entry's bytes, not only from entry to entry.
  std::set<std::string> positions(platform_.Statuses.begin(), platform_.Statuses.end());
  EXPECT_GT(positions.size(), 2u + TPak(platform_.ExePath, pmRead).Directory().size());
  EXPECT_EQ(platform_.Statuses.back(), "Status: 4 out of 4 files verifyed [10000/10000]");

  // A browser's copy marks on the whole download: the set is still found.
  Globals() = TSetupGlobals();
  for (int n = 1; n <= 3; ++n) {
    std::filesystem::rename(ScratchPath(DataFileName("demo_setup", n)),
                            ScratchPath("demo_setup-" + std::to_string(n) + " (1).bin"));
  }
  std::filesystem::rename(platform_.ExePath, ScratchPath("demo_setup (1).exe"));
  platform_.ExePath = ScratchPath("demo_setup (1).exe");
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(host_.Boxes.empty());
}

TEST_F(Startup, DataFileMissingShortOrChangedStopsNamingTheFile) {
  struct Case {
    std::function<void()> damage;
    std::string text;
  };
  const std::string second = ScratchPath("demo_setup-2.bin");
  const std::vector<Case> cases = {
      {[&] { std::filesystem::remove(second); },
       "Error: Data File Missing. Setup is incomplete.\rFilename: demo_setup-2.bin"},
      {[&] { std::filesystem::resize_file(second, 2000); },
       "Error: Data File Incomplete. Setup is corrupt.\rFilename: demo_setup-2.bin"},
      {[&] {
         TBytes bytes = testing::ReadFile(second);
         bytes[2500] ^= 0x40;  // inside b.bin, which runs on into the third data file
         testing::WriteFile(second, bytes);
       },
       "Error: Verification Failed. Setup is corrupt.\rID: 3 Filename: b.bin\rData file: demo_setup-2.bin\r"
       "Data file: demo_setup-3.bin"},
  };
  for (const Case& c : cases) {
    Globals() = TSetupGlobals();
    host_.Boxes.clear();
    platform_.Calls.clear();
    BuildWithDataFiles(DataFileItems(), 4000);
    c.damage();
    EXPECT_EQ(Run(), 1) << c.text;
    ASSERT_EQ(host_.Boxes.size(), 1u) << c.text;
    EXPECT_EQ(host_.Boxes[0].Text, c.text);
    EXPECT_EQ(host_.Boxes[0].Caption, "Verification Error");
    EXPECT_EQ(platform_.Calls.back(), "free wizard");
    EXPECT_EQ(std::count(platform_.Calls.begin(), platform_.Calls.end(), "hand over"), 0);
  }
}

TEST_F(Startup, DataFileWhoseDigestDiffersIsRefusedThoughEveryEntryMatches) {
  BuildWithDataFiles(DataFileItems(), 4000);
  // The table's digest of the first data file, changed in the setup file: the entries' CRCs all
  // hold, as they would for a data file swapped for another with the same CRCs.
  TBytes bytes = testing::ReadFile(platform_.ExePath);
  const TPakTrailer t = TPak(platform_.ExePath, pmRead).Trailer();
  const size_t stem = LoadLE16(bytes.data() + t.TableOffset);
  bytes[t.TableOffset + 2 + stem + 8 + 5] ^= 1;
  testing::WriteFile(platform_.ExePath, bytes);
  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(host_.Boxes.size(), 1u);
  EXPECT_EQ(host_.Boxes[0].Text, "Error: Data File Verification Failed. Setup is corrupt.\rFilename: demo_setup-1.bin");
}

TEST_F(Startup, DamagedSharedBytesNameEveryEntryThatUsesThem) {
  std::vector<Item> items = DataFileItems();
  items.push_back({"same-as-a.bin", 1, ""});
  items.push_back({"same-as-a.bin", 1, ""});
  BuildWithDataFiles(items, 100000);
  TPak probe(platform_.ExePath, pmRead);
  ASSERT_TRUE(probe.Directory()[5].SamePlace(probe.Directory()[2]));
  const std::string first = ScratchPath("demo_setup-1.bin");
  TBytes bytes = testing::ReadFile(first);
  bytes[10] ^= 1;
  testing::WriteFile(first, bytes);
  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(host_.Boxes.size(), 1u);
  EXPECT_EQ(host_.Boxes[0].Text,
            "Error: Verification Failed. Setup is corrupt.\rID: 2 Filename: a.bin\rID: 4 Filename: same-as-a.bin\r"
            "ID: 5 Filename: same-as-a.bin\rData file: demo_setup-1.bin");
}

TEST_F(Startup, FreeSpaceIsMeasuredOnTheExpandedInstallFolder) {
  info_.InstallDir = "$PROGRAMFILES\\Demo";
  Build();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Globals().State.AvailableBytes, 5LL << 30);  // drive C:, where the program files are
  EXPECT_EQ(Globals().State.AvailableText, "5.00 GB");
}

// ---------------------------------------------------------------- the command line

TEST(CommandLine, OptionsInAnyCaseAndPlaceWithTheirValuesAsTheyStand) {
  const TCommandLine a = ParseCommandLine({"C:\\Setups\\demo.pak", "-LOG=C:\\Logs\\run one.txt", "-Silent",
                                           "-Dir=D:\\Spiele\\Über \xE6\x97\xA5\xE6\x9C\xAC", "-lang=German"});
  EXPECT_TRUE(a.Silent);
  EXPECT_EQ(a.InstallDir, "D:\\Spiele\\Über \xE6\x97\xA5\xE6\x9C\xAC");
  EXPECT_EQ(a.Language, "German");
  EXPECT_EQ(a.LogFile, "C:\\Logs\\run one.txt");

  // Only the first "=" parts name and value; the value keeps its letters' case.
  const TCommandLine b = ParseCommandLine({"-dir=C:\\a=b\\Game", "-lang=Deutsch=1"});
  EXPECT_FALSE(b.Silent);
  EXPECT_EQ(b.InstallDir, "C:\\a=b\\Game");
  EXPECT_EQ(b.Language, "Deutsch=1");
  EXPECT_EQ(b.LogFile, "");
}

TEST(CommandLine, TheLastOfARepeatedOptionWinsAndEmptyValuesAndStrangersAreNone) {
  const TCommandLine c = ParseCommandLine({"-dir=C:\\First", "-log=a.txt", "-dir=C:\\Second", "-log=", "-lang",
                                           "-silentx", "--silent", "/silent", "-dir", "-directory=C:\\x", "-lang =x"});
  EXPECT_FALSE(c.Silent);
  EXPECT_EQ(c.InstallDir, "C:\\Second");
  EXPECT_EQ(c.LogFile, "");  // given again, empty: no log
  EXPECT_EQ(c.Language, "");
  EXPECT_TRUE(IsOption("-SILENT"));
  EXPECT_TRUE(IsOption("-Log=x"));
  EXPECT_FALSE(IsOption("-dir"));
  EXPECT_FALSE(IsOption("C:\\demo.pak"));
}

// An option is never taken for the package file, even when a file has its name.
TEST_F(Startup, AnOptionFirstIsNoPackageFile) {
  Build();
  platform_.ExistingFiles.insert("-dir=C:\\Elsewhere");
  EXPECT_EQ(Run({"-dir=C:\\Elsewhere"}), 0);
  EXPECT_FALSE(Globals().State.PackageFromArgument);
  EXPECT_EQ(Globals().SetupInfo.InstallDir, "C:\\Elsewhere");
}

TEST_F(Startup, InstallFolderFromTheCommandLineThenTheRegistryThenTheScript) {
  info_.InstallDir = "$PROGRAMFILES\\Demo";
  info_.InstallDirRegKey[0] = {1, "Software\\Demo", "Path"};
  Build();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Globals().SetupInfo.InstallDir, "$PROGRAMFILES\\Demo");

  platform_.Registry["1|Software\\Demo|Path"] = "D:\\Earlier\\Demo";
  Globals() = TSetupGlobals();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Globals().SetupInfo.InstallDir, "D:\\Earlier\\Demo");

  Globals() = TSetupGlobals();
  EXPECT_EQ(Run({"-silent", "-dir=C:\\Chosen Place\\Demo"}), 0);
  EXPECT_EQ(Globals().SetupInfo.InstallDir, "C:\\Chosen Place\\Demo");
  EXPECT_EQ(Globals().State.AvailableBytes, 5LL << 30);  // measured on the chosen folder's drive

  // Path variables are kept for the expansion the script's folder gets; a relative folder is
  // made full against the current folder.
  Globals() = TSetupGlobals();
  EXPECT_EQ(Run({"-dir=$PROGRAMFILES\\Other"}), 0);
  EXPECT_EQ(Globals().SetupInfo.InstallDir, "$PROGRAMFILES\\Other");
  Globals() = TSetupGlobals();
  EXPECT_EQ(Run({"-dir=Games\\Demo"}), 0);
  EXPECT_EQ(Globals().SetupInfo.InstallDir, "C:\\Work\\Games\\Demo");
}

TEST_F(Startup, UninstallerKeepsItsOwnFolderWhateverDirSays) {
  info_.Mode = 1;
  info_.UninstallPrefix = "demo_";
  Build({}, "demo_Uninstall.exe", false);
  platform_.ExistingFiles.insert("C:\\Games\\Demo\\demo_install.log");
  EXPECT_EQ(Run({"-dir=D:\\Elsewhere"}), 0);
  EXPECT_EQ(Globals().SetupInfo.InstallDir, "C:\\Games\\Demo");
}

TEST_F(Startup, LanguageByTheSetupsNameOrTheTablesOwnInAnyCase) {
  const std::vector<Item> languages = {{"LANGUAGE-German", 0, LanguageImage("Deutsch", "0407;")},
                                       {"LANGUAGE-English", 0, LanguageImage("English", "0409;")}};
  Build(languages);
  EXPECT_EQ(Run({"-silent", "-lang=german"}), 0);
  EXPECT_EQ(Languages().Current, 0);  // though the system's language is English
  EXPECT_EQ(Globals().State.LanguageSelection, u"German");
  EXPECT_TRUE(Globals().State.LanguageChosen);

  Globals() = TSetupGlobals();
  Languages() = TLanguages();
  EXPECT_EQ(Run({"-lang=DEUTSCH"}), 0);
  EXPECT_EQ(Languages().Current, 0);
  EXPECT_EQ(Globals().State.LanguageSelection, u"German");

  // Without the option the system's language is shown and $LANGUAGESELECTION stays as it was.
  Globals() = TSetupGlobals();
  Languages() = TLanguages();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Languages().Current, 1);
  EXPECT_EQ(Globals().State.LanguageSelection, u"English");
  EXPECT_FALSE(Globals().State.LanguageChosen);
}

TEST_F(Startup, UnknownLanguageStopsNamingTheOnesTheSetupHas) {
  Build({{"LANGUAGE-German", 0, LanguageImage("Deutsch", "0407;")},
         {"LANGUAGE-English", 0, LanguageImage("English", "0409;")}});
  EXPECT_EQ(Run({"-silent", "-lang=Klingon"}), kExitStopped);
  ASSERT_EQ(host_.Boxes.size(), 1u);
  EXPECT_EQ(host_.Boxes[0].Text, "Error: Unknown language \"Klingon\".\rThis setup has: German, English");
  EXPECT_EQ(platform_.Calls.back(), "free wizard");
  EXPECT_EQ(std::count(platform_.Calls.begin(), platform_.Calls.end(), "hand over silent"), 0);
}

TEST_F(Startup, LogNamesTheRunsFactsAndEndsWithTheExitCode) {
  Build({{"LANGUAGE-German", 0, LanguageImage("Deutsch", "0407;")}});
  const std::string log = ScratchPath("setup run.log");
  EXPECT_EQ(Run({"-silent", "-log=" + log, "-dir=D:\\Spiele"}), 0);
  SetRunLog(nullptr);
  const TBytes bytes = testing::ReadFile(log);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            "Setup: " + platform_.ExePath + "\r\nCommand line: -silent \"-log=" + log +
                "\" -dir=D:\\Spiele\r\nLanguage: German\r\nInstall folder: D:\\Spiele (from the command line)\r\n"
                "Exit code: 0\r\n");

  // A log that cannot be made stops the run before anything is done.
  Globals() = TSetupGlobals();
  Languages() = TLanguages();
  platform_.Calls.clear();
  const std::string nowhere = ScratchPath("no-such-folder") + "/run.log";
  EXPECT_EQ(Run({"-silent", "-log=" + nowhere}), kExitStopped);
  ASSERT_EQ(host_.Boxes.size(), 1u);
  EXPECT_EQ(host_.Boxes[0].Text, "Error: The log file cannot be created.\rFilename: " + nowhere);
  EXPECT_EQ(platform_.Calls, std::vector<std::string>{"free wizard"});
}

// A 64-bit program's setup: refused on 32-bit Windows before anything is done, and on 64-bit
// Windows it asks for the native view and takes the native program files folder.
TEST_F(Startup, SixtyFourBitSetupNeedsSixtyFourBitWindowsAndTakesTheNativeView) {
  info_.SetSetting(kSettingArchitecture, "x64");
  info_.InstallDir = "$PROGRAMFILES\\Demo";
  Build();
  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(host_.Boxes.size(), 1u);
  EXPECT_EQ(host_.Boxes[0].Text, kMsgNeeds64BitWindows);
  EXPECT_EQ(std::count(platform_.Calls.begin(), platform_.Calls.end(), "native view"), 0);
  EXPECT_EQ(std::count(platform_.Calls.begin(), platform_.Calls.end(), "hand over"), 0);

  host_.Boxes.clear();
  platform_.Calls.clear();
  platform_.Windows64 = true;
  platform_.Folders[kCsidlProgramFiles] = u"C:\\Program Files (x86)";
  platform_.NativeProgramFiles = u"C:\\Program Files";
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(host_.Boxes.empty());
  EXPECT_EQ(std::count(platform_.Calls.begin(), platform_.Calls.end(), "native view"), 1);
  EXPECT_EQ(Globals().State.ProgramFilesPath, u"C:\\Program Files\\");
  EXPECT_EQ(Globals().State.ProgramFiles64Path, u"C:\\Program Files\\");
  EXPECT_EQ(Expanded(Globals().SetupInfo.InstallDir), "C:\\Program Files\\Demo");
}

TEST_F(Startup, UnmarkedSetupKeepsTheRedirectedViewOnSixtyFourBitWindows) {
  platform_.Windows64 = true;
  platform_.Folders[kCsidlProgramFiles] = u"C:\\Program Files (x86)";
  platform_.NativeProgramFiles = u"C:\\Program Files";
  Build();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(std::count(platform_.Calls.begin(), platform_.Calls.end(), "native view"), 0);
  EXPECT_EQ(Globals().State.ProgramFilesPath, u"C:\\Program Files (x86)\\");
  EXPECT_EQ(Globals().State.ProgramFiles64Path, u"C:\\Program Files\\");
  EXPECT_EQ(ExpandPathVariables(u"$PROGRAMFILES64\\Tool|$PROGRAMFILES\\Tool"),
            u"C:\\Program Files\\Tool|C:\\Program Files (x86)\\Tool");
}

// The uninstaller carries the setting in its record and works in the same view.
TEST_F(Startup, SixtyFourBitUninstallerTakesTheNativeViewToo) {
  info_.Mode = 1;
  info_.UninstallPrefix = "demo_";
  info_.SetSetting(kSettingArchitecture, "X64");
  Build({}, "demo_Uninstall.exe", false);
  platform_.ExistingFiles.insert("C:\\Games\\Demo\\demo_install.log");
  platform_.Windows64 = true;
  EXPECT_EQ(Run(), 0);
  const auto native = std::find(platform_.Calls.begin(), platform_.Calls.end(), "native view");
  const auto log = std::find(platform_.Calls.begin(), platform_.Calls.end(), "load log C:\\Games\\Demo demo_");
  ASSERT_NE(native, platform_.Calls.end());
  EXPECT_LT(native, log);  // before the install log is read
}

TEST_F(Startup, PlayersFoldersForTheNewVariables) {
  platform_.Folders = {{kCsidlLocalAppData, u"C:\\Users\\Ann\\AppData\\Local"},
                       {kCsidlPersonal, u"C:\\Users\\Ann\\Documents"},
                       {kCsidlCommonDesktop, u"C:\\Users\\Public\\Desktop"},
                       {kCsidlProfile, u"C:\\Users\\Ann"}};
  platform_.SavedGames = u"D:\\Saves";
  Build();
  EXPECT_EQ(Run(), 0);
  const TSetupState& s = Globals().State;
  EXPECT_EQ(s.LocalAppDataPath, u"C:\\Users\\Ann\\AppData\\Local\\");
  EXPECT_EQ(s.DocumentsPath, u"C:\\Users\\Ann\\Documents\\");
  EXPECT_EQ(s.CommonDesktopPath, u"C:\\Users\\Public\\Desktop\\");
  EXPECT_EQ(s.SavedGamesPath, u"D:\\Saves\\");
  // On 32-bit Windows the 64-bit program files folder is the only one there is.
  EXPECT_EQ(s.ProgramFiles64Path, u"C:\\Program Files\\");

  // Without the known folder: the profile's "Saved Games".
  platform_.SavedGames.clear();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Globals().State.SavedGamesPath, u"C:\\Users\\Ann\\Saved Games\\");
  // Neither: empty, not a bare separator.
  platform_.Folders.erase(kCsidlProfile);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Globals().State.SavedGamesPath, u"");
}

}  // namespace
}  // namespace setup

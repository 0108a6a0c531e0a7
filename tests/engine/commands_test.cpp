// The script commands and the interpreter against the fake system.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "core/languages.h"
#include "core/pak.h"
#include "core/pe_image.h"
#include "core/setup_state.h"
#include "engine/commands.h"
#include "engine/file_commands.h"
#include "engine/interpreter.h"
#include "engine/shell_commands.h"
#include "engine/status_channel.h"
#include "engine/uninstall_list.h"
#include "engine/uninstaller.h"
#include "engine_state.h"
#include "fake_system.h"
#include "pe_fixtures.h"
#include "test_host.h"

namespace setup {
namespace {


class Engine : public ::testing::Test {
 protected:
  void SetUp() override { testing::ResetEngineState(true, &finish_text_); }
  void TearDown() override { testing::ClearEngineState(); }

  // The package the setup runs from: entries (name, group, bytes).
  void Package(const std::vector<std::tuple<std::string, uint16_t, std::string>>& entries) {
    testing::UsePackage("engine-package.bin", entries);
  }

  // Bytes of several pieces that deflate cannot make much of.
  static std::string ManyPieces() {
    std::string bytes(3 * kPieceSize + 17, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 5);
    return bytes;
  }
  // Changes a byte near the end of an entry's stored bytes, as if the package changed after
  // start-up verified it, and reopens the package.
  void DamageEntry(int index) {
    const TPakEntry e = Globals().Package->Directory()[static_cast<size_t>(index)];
    const std::string path = testing::ScratchPath("engine-package.bin");
    TBytes bytes = testing::ReadFile(path);
    bytes[e.Offset + e.StoredLength() - 3] ^= 0x55;
    testing::WriteFile(path, bytes);
    Globals().Package = std::make_unique<TPak>(path, pmRead);
  }

  // Compiled lines from (command, params) pairs; positions are line indices.
  void Script(const std::vector<std::pair<int, std::vector<std::string>>>& lines) { testing::UseScript(lines); }

  std::string Read(const std::string& path) {
    const TBytes bytes = testing::ReadFile(system_.Map(path).string());
    return std::string(bytes.begin(), bytes.end());
  }
  // A file the player already has, its folders made as needed.
  void Put(const std::string& path, const std::string& text) { testing::PutFile(system_, path, text); }
  // The names in the install folder, sorted.
  std::vector<std::string> InstallFolderNames() {
    std::vector<std::string> names;
    for (const TFolderItem& item : system_.ListFolder("C:\\Games\\Demo")) names.push_back(item.Name);
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TFakeSystem system_;
  testing::TRecordingHost host_;
  std::u16string finish_text_;
};

constexpr int kGoto = CommandNumberOf("goto"), kIfFileExists = CommandNumberOf("iffileexists"),
              kFile = CommandNumberOf("file"), kDelete = CommandNumberOf("delete"),
              kWriteRegStr = CommandNumberOf("writeregstr"), kRmDir = CommandNumberOf("rmdir"),
              kCreateDirectory = CommandNumberOf("createdirectory"),
              kCreateShortcut = CommandNumberOf("createshortcut"), kMessage = CommandNumberOf("message"),
              kMessageBox = CommandNumberOf("messagebox"), kCopyFile = CommandNumberOf("copyfile"),
              kFailure = CommandNumberOf("failure"), kWriteRegStrUrl = CommandNumberOf("writeregstr_url"),
              kRename = CommandNumberOf("rename"), kExecute = CommandNumberOf("execute");

TEST(Commands, NumbersReachTheTableInOrder) {
  TCommandList list;
  RegisterCommands(list);
  ASSERT_EQ(list.Count(), 40u);
  for (int n = 1; n <= 40; ++n) {
    TCommandClass* c = list.ByNumber(n);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(&c->Info, &kCommandTable[n - 1]);
    EXPECT_EQ(c->GroupKind(), kCommandTable[n - 1].GroupKind);
  }
  EXPECT_EQ(list.ByNumber(0), nullptr);
  EXPECT_EQ(list.ByNumber(-1), nullptr);
  EXPECT_EQ(list.ByNumber(41), nullptr);
  EXPECT_STREQ(list.ByNumber(7)->Info.Keyword, "file");
  EXPECT_EQ(list.ByNumber(7)->GroupKind(), kGroupFiles);
  EXPECT_EQ(list.ByNumber(11)->GroupKind(), kGroupArchive);
  EXPECT_EQ(list.ByNumber(30)->GroupKind(), kGroupArchive);
  EXPECT_STREQ(list.ByNumber(32)->Info.ClassName, "TExecuteCommand");
  EXPECT_EQ(CommandNumber("WriteRegStr_URL"), 29);
  EXPECT_EQ(CommandNumber("nosuch"), 0);
  // The settings added later come after the first 32 rows, which never move.
  EXPECT_EQ(CommandNumber("publisher"), 33);
  EXPECT_EQ(CommandNumber("abouturl"), 37);
  EXPECT_EQ(CommandNumber("architecture"), 38);
  EXPECT_EQ(CommandNumber("installmode"), 39);
  EXPECT_EQ(CommandNumber("patch"), 40);
  EXPECT_EQ(list.ByNumber(40)->GroupKind(), kGroupPatch);
  int fills = 0;
  for (const TCommandInfo& info : kCommandTable) fills += info.FillsSetupInfo;
  EXPECT_EQ(fills, 16);
}

TEST_F(Engine, FileExtractsTheGroupWithFoldersLogged) {
  Package({{"SetupInfo", 0, "x"}, {"readme.txt", 1, "read me"}, {"data\\levels\\one.lvl", 1, std::string(5000, 'l')},
           {"empty.txt", 1, ""}, {"other.txt", 2, "not this one"}});
  Script({{kFile, {"files", "1"}}});
  RunScript();
  EXPECT_EQ(Read("C:\\Games\\Demo\\readme.txt"), "read me");
  EXPECT_EQ(Read("C:\\Games\\Demo\\data\\levels\\one.lvl"), std::string(5000, 'l'));
  EXPECT_EQ(Read("C:\\Games\\Demo\\empty.txt"), "");
  EXPECT_FALSE(system_.FileExists("C:\\Games\\Demo\\other.txt"));
  const TUninstallList& log = UninstallList();
  EXPECT_EQ(log.FileList, (std::vector<std::string>{"$INSTDIR\\readme.txt", "$INSTDIR\\data\\levels\\one.lvl",
                                                    "$INSTDIR\\empty.txt"}));
  EXPECT_EQ(log.FolderList, (std::vector<std::string>{"C:\\Games\\", "C:\\Games\\Demo", "C:\\Games\\Demo\\data\\",
                                                      "C:\\Games\\Demo\\data\\levels"}));
  std::u16string status;
  EXPECT_TRUE(StatusChannel().TakeStatusText(status));
  EXPECT_EQ(status, u"Extracting ");  // the walk's last look found nothing
  uint32_t progress = 0;
  EXPECT_TRUE(StatusChannel().TakeProgress(progress));
  EXPECT_GE(progress, 3u);
}

TEST_F(Engine, FileWritesEntriesOfManyPiecesAndEmptiesOneChangedSinceVerification) {
  const std::string big = ManyPieces();
  Package({{"SetupInfo", 0, "x"}, {"big.dat", 1, big}, {"changed.dat", 1, big}, {"small.txt", 1, "small"}});
  // The package's bytes of changed.dat change after start-up verified them: that file is left
  // empty, not half written, and the next entry still installs.
  DamageEntry(2);
  Script({{kFile, {"files", "1"}}});
  RunScript();
  EXPECT_TRUE(Read("C:\\Games\\Demo\\big.dat") == big);
  EXPECT_EQ(Read("C:\\Games\\Demo\\changed.dat").size(), 0u);
  EXPECT_EQ(Read("C:\\Games\\Demo\\small.txt"), "small");
}

// A group of many small files is written by the writer threads while the next entries are
// read: every file whole, a name that comes again ends with its later entry, and the install
// log and the folders follow the group's order all the same.
TEST_F(Engine, ManySmallFilesAreWrittenMeanwhileInTheGroupsOrder) {
  std::vector<std::tuple<std::string, uint16_t, std::string>> entries = {{"SetupInfo", 0, "x"}};
  auto name = [](int i) { return "f" + std::to_string(i % 6) + "\\file" + std::to_string(i) + ".txt"; };
  auto content = [](int i) { return std::string(static_cast<size_t>(i), static_cast<char>('a' + i % 26)); };
  for (int i = 0; i < 600; ++i) entries.emplace_back(name(i), 1, content(i));
  entries.emplace_back(name(7), 1, "again");
  Package(entries);
  Script({{kFile, {"files", "1"}}});
  RunScript();
  for (int i = 0; i < 600; ++i) {
    if (i != 7) {
      ASSERT_EQ(Read("C:\\Games\\Demo\\" + name(i)), content(i)) << i;
    }
  }
  EXPECT_EQ(Read("C:\\Games\\Demo\\" + name(7)), "again");
  ASSERT_EQ(system_.Replacements.size(), 1u);  // the later entry replaced the earlier one's file
  const TUninstallList& log = UninstallList();
  ASSERT_EQ(log.FileList.size(), 600u);
  for (int i = 0; i < 600; ++i) ASSERT_EQ(log.FileList[static_cast<size_t>(i)], "$INSTDIR\\" + name(i));
  ASSERT_GE(log.FolderList.size(), 6u);
  const std::vector<std::string> folders(log.FolderList.end() - 6, log.FolderList.end());
  EXPECT_EQ(folders, (std::vector<std::string>{"C:\\Games\\Demo\\f0", "C:\\Games\\Demo\\f1", "C:\\Games\\Demo\\f2",
                                               "C:\\Games\\Demo\\f3", "C:\\Games\\Demo\\f4", "C:\\Games\\Demo\\f5"}));
}

// The folders of a group are asked about once, not for every file; a folder taken away between
// two commands is made (and recorded) again when a file needs it.
TEST_F(Engine, FoldersKnownToExistAreNotAskedAboutAgain) {
  std::vector<std::tuple<std::string, uint16_t, std::string>> entries = {{"SetupInfo", 0, "x"}};
  for (int i = 0; i < 300; ++i)
    entries.emplace_back("maps\\level" + std::to_string(i % 3) + "\\m" + std::to_string(i), 1, "m");
  entries.emplace_back("maps\\level0\\late", 2, "late");
  Package(entries);
  Script({{kFile, {"files", "1"}}});
  RunScript();
  // C:\Games, C:\Games\Demo, maps and its three folders, each once (300 files used to ask
  // 1,500 times).
  EXPECT_EQ(system_.FolderChecks, 6);
  ASSERT_EQ(Read("C:\\Games\\Demo\\maps\\level2\\m299"), "m");

  std::filesystem::remove_all(system_.Map("C:\\Games\\Demo\\maps"));  // by the player, say
  UninstallList().FolderList.clear();
  Interpreter().CurrentLine = -1;
  Script({{kFile, {"files", "2"}}});
  RunLines();
  EXPECT_EQ(Read("C:\\Games\\Demo\\maps\\level0\\late"), "late");
  EXPECT_EQ(UninstallList().FolderList,
            (std::vector<std::string>{"C:\\Games\\Demo\\maps\\", "C:\\Games\\Demo\\maps\\level0"}));
}

// An existing file is written beside itself and replaced in one step, so it stays whole until
// the new content is complete; a leftover of a killed run is overwritten. New files are written
// directly. The install log names the targets only.
TEST_F(Engine, FileReplacesExistingFilesThroughATemporaryFileAndWritesNewOnesDirectly) {
  Package({{"SetupInfo", 0, "x"}, {"readme.txt", 1, "new"}, {"fresh.txt", 1, "fresh"}, {"empty.txt", 1, ""}});
  Put("C:\\Games\\Demo\\readme.txt", "old and longer");
  Put("C:\\Games\\Demo\\readme.txt.setup-new", "left by a killed run, longer than the entry");
  Put("C:\\Games\\Demo\\empty.txt", "old");
  Script({{kFile, {"files", "1"}}});
  RunScript();
  EXPECT_EQ(Read("C:\\Games\\Demo\\readme.txt"), "new");
  EXPECT_EQ(Read("C:\\Games\\Demo\\fresh.txt"), "fresh");
  EXPECT_EQ(Read("C:\\Games\\Demo\\empty.txt"), "");
  ASSERT_EQ(system_.Replacements.size(), 2u);  // in the order of their names
  EXPECT_EQ(system_.Replacements[0].To, "C:\\Games\\Demo\\empty.txt");
  EXPECT_EQ(system_.Replacements[1].From, "C:\\Games\\Demo\\readme.txt.setup-new");
  EXPECT_EQ(system_.Replacements[1].To, "C:\\Games\\Demo\\readme.txt");
  EXPECT_EQ(system_.Replacements[1].OldContent, "old and longer");
  EXPECT_EQ(InstallFolderNames(), (std::vector<std::string>{"empty.txt", "fresh.txt", "readme.txt"}));
  EXPECT_EQ(UninstallList().FileList,
            (std::vector<std::string>{"$INSTDIR\\readme.txt", "$INSTDIR\\fresh.txt", "$INSTDIR\\empty.txt"}));
}

// A file held open, one whose replacement the system refuses and one whose entry changed since
// verification all keep their old content, and no temporary file stays behind.
TEST_F(Engine, FileKeepsOldFilesItCannotReplaceAndLeavesNoTemporaryFile) {
  Package({{"SetupInfo", 0, "x"}, {"locked.txt", 1, "new"}, {"busy.txt", 1, "new"}, {"changed.dat", 1, ManyPieces()}});
  DamageEntry(3);
  const std::vector<std::string> names = {"busy.txt", "changed.dat", "locked.txt"};
  for (const std::string& name : names) Put("C:\\Games\\Demo\\" + name, "old");
  system_.Locked.insert("C:\\Games\\Demo\\locked.txt");
  system_.RefuseReplace = true;
  Script({{kFile, {"files", "1"}}});
  RunScript();
  for (const std::string& name : names) EXPECT_EQ(Read("C:\\Games\\Demo\\" + name), "old") << name;
  ASSERT_EQ(system_.Replacements.size(), 1u);  // neither the held file nor the failed entry got that far
  EXPECT_EQ(system_.Replacements[0].To, "C:\\Games\\Demo\\busy.txt");
  EXPECT_EQ(InstallFolderNames(), names);
  EXPECT_EQ(UninstallList().FileList.size(), 3u);
}

// Large entries are copied in chunks through the same replacement; a package that ends early,
// or bytes that fail the entry's CRC, leave a replaced file as it was.
TEST_F(Engine, LargeEntriesReplaceExistingFilesTheSameWay) {
  Package({{"SetupInfo", 0, "x"}, {"movie.bin", 1, "new movie"}});
  ASSERT_EQ(Globals().Package->Directory()[1].PackedSize, 0u);  // stored plain, as large entries are
  const std::string path = "C:\\Games\\Demo\\movie.bin";
  Put(path, "old");
  StreamLargeEntry(path, "movie.bin", 9, 1);
  EXPECT_EQ(Read(path), "new movie");
  ASSERT_EQ(system_.Replacements.size(), 1u);
  EXPECT_EQ(system_.Replacements[0].OldContent, "old");
  StreamLargeEntry(path, "movie.bin", 1 << 20, 1);  // more than the package holds
  EXPECT_EQ(Read(path), "new movie");
  EXPECT_EQ(system_.Replacements.size(), 1u);
  EXPECT_EQ(InstallFolderNames(), std::vector<std::string>{"movie.bin"});
  // Bytes that no longer match the entry's CRC: the replaced file stays, a new one is empty.
  Globals().Package->Directory()[1].Crc ^= 1;
  Put(path, "old");
  StreamLargeEntry(path, "movie.bin", 9, 1);
  EXPECT_EQ(Read(path), "old");
  StreamLargeEntry("C:\\Games\\Demo\\fresh.bin", "movie.bin", 9, 1);
  EXPECT_EQ(Read("C:\\Games\\Demo\\fresh.bin"), "");
  EXPECT_EQ(system_.Replacements.size(), 1u);
}

TEST_F(Engine, FileFormsDestinationsAndConditions) {
  Package({{"a.txt", 1, "a"}, {"b.txt", 2, "b"}, {"c.txt", 3, "c"}, {"d.txt", 4, "d"}, {"e.txt", 5, "e"}});
  system_.Registry[testing::TFakeSystem::KeyId(1, "Software\\Demo")]["mode"] = {"full", true};
  Script({{kFile, {"s", "D:\\Other", "1"}},
          {kFile, {"s", "sub", "2"}},
          {kFile, {"s", "cond", "HKCU", "Software\\Demo", "Mode", "full", "True", "3"}},
          {kFile, {"s", "negated", "hkcu", "Software\\Demo", "Mode", "full", "False", "4"}},
          {kFile, {"s", "x", "y", "5"}}});
  system_.CreateFolder("D:");
  std::filesystem::create_directories(system_.Map("D:\\"));
  uint32_t before = 0, after = 0;
  StatusChannel().TakeProgress(before);
  RunLines();
  // Groups the run does not write take their steps too: the gauge ends full.
  ASSERT_TRUE(StatusChannel().TakeProgress(after));
  EXPECT_EQ(after - before, 5u);
  EXPECT_EQ(Read("D:\\Other\\a.txt"), "a");
  EXPECT_EQ(Read("C:\\Games\\Demo\\sub\\b.txt"), "b");
  EXPECT_EQ(Read("C:\\Games\\Demo\\cond\\c.txt"), "c");
  EXPECT_FALSE(system_.FileExists("C:\\Games\\Demo\\negated\\d.txt"));  // "False" negates a true comparison
  ASSERT_EQ(host_.Boxes.size(), 1u);
  EXPECT_EQ(host_.Boxes[0].Text, "TFileCommand.SFXProcess - Param Count Invalid!!!");
  EXPECT_EQ(ResolveTargetFolder("C:\\"), "C:\\Games\\Demo\\C:\\");  // a bare root counts as relative
}

TEST_F(Engine, ShortLinesShowTheCountBoxAndRunNothing) {
  // Every command gets a line without parameters and one with one fewer than its compiled lines
  // carry. Those with a run operation refuse both with their box; the others pass like labels.
  int refused = 0;
  for (int n = 1; n <= kCommandCount; ++n) {
    const TCommandInfo& info = kCommandTable[n - 1];
    SCOPED_TRACE(info.Keyword);
    const size_t least = CompiledMinParams(info);
    for (size_t count : {size_t{0}, least - 1}) {
      if (count >= least) continue;
      host_.Boxes.clear();
      Interpreter().CurrentLine = -1;
      Script({{n, std::vector<std::string>(count, "1")}, {kMessage, {"next"}}});
      RunLines();
      std::u16string status;
      StatusChannel().TakeStatusText(status);
      EXPECT_EQ(status, u"next");  // no jump, no stop: the script went on
      if (host_.Boxes.empty()) continue;
      ASSERT_EQ(host_.Boxes.size(), 1u);
      EXPECT_EQ(host_.Boxes[0].Text, std::string(info.ClassName) + ".SFXProcess - Param Count Invalid!!!");
      EXPECT_EQ(host_.Boxes[0].Caption, "Error");
      ++refused;
    }
  }
  EXPECT_EQ(refused, 2 * 21);  // every command with a run operation that reads a parameter
  EXPECT_TRUE(system_.Registry.empty() && system_.Links.empty() && system_.Executed.empty());
  EXPECT_TRUE(UninstallList().FileList.empty() && UninstallList().FolderList.empty());
  EXPECT_FALSE(Interpreter().ScriptStopped);
}

TEST_F(Engine, CopyRenameDeleteAndFolders) {
  std::filesystem::create_directories(system_.Map("C:\\src"));
  testing::WriteFile(system_.Map("C:\\src\\a.cfg").string(), {'1', '2'});
  Script({{kCopyFile, {"C:\\src\\a.cfg", "$INSTDIR\\cfg\\a.cfg"}},
          {kRename, {"$INSTDIR\\cfg\\a.cfg", "$INSTDIR\\cfg\\b.cfg"}},
          {kDelete, {"C:\\src\\a.cfg"}},
          {kCreateDirectory, {"$INSTDIR\\saves"}},
          {kCreateDirectory, {"$INSTDIR\\saves"}}});
  RunLines();
  EXPECT_EQ(Read("C:\\Games\\Demo\\cfg\\b.cfg"), "12");
  EXPECT_FALSE(system_.FileExists("C:\\src\\a.cfg"));
  EXPECT_EQ(UninstallList().FileList, std::vector<std::string>{"$INSTDIR\\cfg\\a.cfg"});
  // The existing folder is logged once more by the second line.
  const auto& folders = UninstallList().FolderList;
  EXPECT_EQ(std::count(folders.begin(), folders.end(), "C:\\Games\\Demo\\saves"), 3);
}

TEST_F(Engine, RmDirRemovesAWholeTree) {
  for (const char* f : {"C:\\Games\\Demo\\cache\\a.bin", "C:\\Games\\Demo\\cache\\deep\\er\\b.bin"}) {
    std::filesystem::create_directories(system_.Map(f).parent_path());
    testing::WriteFile(system_.Map(f).string(), {'x'});
  }
  Script({{kRmDir, {"$INSTDIR\\cache", "1"}}, {kRmDir, {"$INSTDIR\\never-there", "0"}}});
  RunLines();
  EXPECT_FALSE(system_.FolderExists("C:\\Games\\Demo\\cache"));
  EXPECT_TRUE(system_.FolderExists("C:\\Games\\Demo"));
}

TEST_F(Engine, JumpsFollowTheLineRules) {
  std::filesystem::create_directories(system_.Map("C:\\Games\\Demo\\folder.txt"));
  // 0 label, 1 goto 4, 2 message (skipped), 3 label, 4 label, 5 iffileexists folder -> 7/8,
  // 6 message, 7 message "exists", 8 message "missing", 9 goto last, 10 message (skipped), 11 label
  Script({{0, {"top"}},
          {kGoto, {"4"}},
          {kMessage, {"skipped"}},
          {0, {"a"}},
          {0, {"b"}},
          {kIfFileExists, {"$INSTDIR\\folder.txt", "6", "7"}},
          {kMessage, {"not run"}},
          {kMessage, {"exists"}},
          {kMessage, {"missing"}},
          {kGoto, {"11"}},
          {kMessage, {"after the jump"}},
          {0, {"end"}}});
  RunScript();
  std::u16string status;
  StatusChannel().TakeStatusText(status);
  EXPECT_EQ(status, u"missing");  // a folder is not a file: the second target, then on from there
  EXPECT_EQ(Interpreter().CurrentLine, 12);
  EXPECT_TRUE(system_.FolderExists("C:\\Games\\Demo"));  // the closing steps ran
}

TEST_F(Engine, IfFileExistsWithBothTargetsZeroGoesOn) {
  Script({{kIfFileExists, {"C:\\nothing", "-1", "-1"}}, {kMessage, {"next"}}});
  RunLines();
  std::u16string status;
  StatusChannel().TakeStatusText(status);
  EXPECT_EQ(status, u"next");
}

TEST_F(Engine, MessageBoxNeverJumpsToLineZero) {
  Script({{0, {"first"}}, {kMessageBox, {"Go?", "Demo", "0", "3"}}, {kMessage, {"ok path"}}, {0, {"cancel"}},
          {kMessage, {"after cancel label"}}});
  host_.Answer = kIdOk;
  RunLines();
  std::u16string status;
  StatusChannel().TakeStatusText(status);
  EXPECT_EQ(status, u"after cancel label");  // OK target 0 is no jump: everything after runs
  ASSERT_EQ(host_.Boxes.size(), 1u);

  Interpreter().CurrentLine = -1;
  host_.Answer = kIdCancel;
  StatusChannel().SetStatusText(u"");
  Script({{kMessageBox, {"Go?", "Demo", "-1", "3"}}, {kMessage, {"skipped"}}, {kMessage, {"skipped too"}},
          {0, {"cancel"}}});
  RunLines();
  StatusChannel().TakeStatusText(status);
  EXPECT_EQ(status, u"");  // cancel ran the label line, nothing after it
}

TEST_F(Engine, FailureStopsTheScriptButNotTheClosingSteps) {
  Globals().SetupInfo.HasUninstaller = 1;
  Globals().SetupInfo.UninstallPrefix = "demo_";
  Package({{"SetupInfo", 0, "x"}});
  Script({{kCreateDirectory, {"$INSTDIR\\before"}}, {kFailure, {}}, {kCreateDirectory, {"$INSTDIR\\after"}}});
  RunScript();
  EXPECT_TRUE(Interpreter().ScriptStopped);
  EXPECT_EQ(finish_text_, u"It failed");
  EXPECT_TRUE(system_.FolderExists("C:\\Games\\Demo\\before"));
  EXPECT_FALSE(system_.FolderExists("C:\\Games\\Demo\\after"));
  EXPECT_TRUE(system_.FileExists("C:\\Games\\Demo\\demo_install.log"));
}

TEST_F(Engine, RegistryValuesAndUrlProtocols) {
  Script({{kWriteRegStr, {"hkcu", "Software\\Demo", "Path", "$INSTDIR"}},
          {kWriteRegStr, {"HKCU", "software\\demo", "path", "$instdir"}},
          {kWriteRegStr, {"HKLM", "Software\\Demo", "", "default"}},
          {kWriteRegStrUrl, {"demo", "$INSTDIR\\demo.exe,0", "$INSTDIR\\demo.exe", "A", "%1"}}});
  RunLines();
  std::string value;
  ASSERT_TRUE(system_.RegReadString(1, "Software\\Demo", "Path", false, value));
  EXPECT_EQ(value, "C:\\Games\\Demo");
  ASSERT_TRUE(system_.RegReadString(0, "Software\\Demo", "", false, value));
  EXPECT_EQ(value, "default");
  ASSERT_TRUE(system_.RegReadString(2, "demo", "", false, value));
  EXPECT_EQ(value, "URL:demo Protocol");
  ASSERT_TRUE(system_.RegReadString(2, "demo\\shell\\open\\command\\", "", false, value));
  EXPECT_EQ(value, "\"C:\\Games\\Demo\\demo.exe\" \"A\" \"%1\"");
  EXPECT_EQ(UninstallList().RegistryList,
            (std::vector<std::string>{"\"hkcu\" \"Software\\Demo\" \"Path\" \"$INSTDIR\"",
                                      "\"HKLM\" \"Software\\Demo\" \"\" \"default\"", "\"HKCR\" \"demo\" \"\" \"\"",
                                      "\"HKCR\" \"demo\" \"URL Protocol\" \"\"",
                                      "\"HKCR\" \"demo\\DefaultIcon\\\" \"\" \"\"",
                                      "\"HKCR\" \"demo\\shell\\open\\command\\\" \"\" \"\""}));
  system_.RefuseWrites = true;
  Script({{kWriteRegStrUrl, {"demo", "i", "p"}}});
  Interpreter().CurrentLine = -1;
  EXPECT_THROW(RunLines(), ESetupError);
}

TEST_F(Engine, ShortcutsProgramsAndMessages) {
  Script({{kCreateShortcut, {"C:\\Desk\\Demo.lnk", "$INSTDIR\\demo.exe", "-play"}},
          {kCreateShortcut, {"C:\\Desk\\Icon.lnk", "$INSTDIR\\demo.exe", "", "$INSTDIR\\demo.ico"}},
          {kExecute, {"$INSTDIR\\tool.exe", "/quiet"}},
          {kExecute, {"notepad.exe"}},
          {kMessage, {"<LANG18> <LANG99>"}}});
  RunLines();
  ASSERT_EQ(system_.Links.size(), 2u);
  EXPECT_EQ(system_.Links[0], (std::vector<std::string>{"C:\\Desk\\Demo.lnk", "C:\\Games\\Demo\\demo.exe", "-play",
                                                        "C:\\Games\\Demo", "C:\\Games\\Demo\\demo.exe"}));
  EXPECT_EQ(system_.Links[1][4], "C:\\Games\\Demo\\demo.ico");
  EXPECT_TRUE(system_.FolderExists("C:\\Desk"));
  EXPECT_EQ(UninstallList().FileList, (std::vector<std::string>{"C:\\Desk\\Demo.lnk", "C:\\Desk\\Icon.lnk"}));
  EXPECT_EQ(system_.Executed, (std::vector<std::string>{"C:\\Games\\Demo\\tool.exe|/quiet", "notepad.exe"}));
  std::u16string status;
  StatusChannel().TakeStatusText(status);
  EXPECT_EQ(status, u"Extracting <%FILENAME%> NOT FOUND 99");
}

TEST_F(Engine, StatusIsDroppedWithoutItsControls) {
  std::u16string status;
  uint32_t count = 0;
  StatusChannel().TakeStatusText(status);  // whatever earlier runs left
  StatusChannel().TakeProgress(count);
  StatusChannel().HasStatusLabel = false;
  StatusChannel().HasGauge = false;
  StatusChannel().SetStatusText(u"lost");
  StatusChannel().StepProgress(true);
  EXPECT_FALSE(StatusChannel().TakeStatusText(status));
  EXPECT_FALSE(StatusChannel().TakeProgress(count));
}

TEST(FoldersToRemove, EachFolderOnceDeepestFirst) {
  // As an install logs them: parents first, a folder of the script logged again later in
  // another spelling, a root that must keep its backslash.
  const std::vector<std::string> logged = {"C:\\Games\\",
                                           "C:\\Games\\Demo",
                                           "C:\\Games\\Demo\\data\\",
                                           "C:\\Games\\Demo\\data\\maps",
                                           "C:\\Games\\Demo\\saves",
                                           "c:\\games\\demo\\DATA",
                                           "D:\\"};
  EXPECT_EQ(FoldersToRemove(logged),
            (std::vector<std::string>{"C:\\Games\\Demo\\data\\maps", "c:\\games\\demo\\DATA", "C:\\Games\\Demo\\saves",
                                      "C:\\Games\\Demo", "C:\\Games\\", "D:\\"}));
  EXPECT_TRUE(FoldersToRemove({}).empty());
}

TEST_F(Engine, UninstallRemovalsInTheirOrder) {
  std::filesystem::create_directories(system_.Map("C:\\Games\\Demo\\A\\B"));
  testing::WriteFile(system_.Map("C:\\Games\\Demo\\A\\B\\f.txt").string(), {'x'});
  system_.RegWriteString(1, "Software\\My Demo", "Path", "x");
  system_.RegWriteString(0, std::string(kUninstallRegistryKey) + "Demo", "DisplayName", "Demo");
  Globals().SetupInfo.ShortName = "Demo";
  RemoveLoggedFile("$INSTDIR\\A\\B\\f.txt");
  for (const char* folder : {"C:\\Games\\Demo\\A\\B", "C:\\Games\\Demo\\A"}) RemoveLoggedFolder(folder);
  RemoveRegistryEntry("\"HKCU\" \"Software\\My Demo\" \"Path\" \"x\"");
  RemoveUninstallRegistration();
  EXPECT_FALSE(system_.FolderExists("C:\\Games\\Demo\\A"));
  std::string value = "?";
  ASSERT_TRUE(system_.RegReadString(1, "Software\\My Demo", "Path", false, value));
  EXPECT_EQ(value, "");  // the value goes, the key stays
  EXPECT_FALSE(system_.RegKeyExists(0, std::string(kUninstallRegistryKey) + "Demo"));

  // An empty short name never touches the list of uninstall entries itself.
  system_.RegWriteString(0, kUninstallRegistryKey, "Other", "y");
  Globals().SetupInfo.ShortName.clear();
  RemoveUninstallRegistration();
  EXPECT_TRUE(system_.RegKeyExists(0, kUninstallRegistryKey));
}

// The system runs the value as a command line: quoted, with one backslash before the name
// whether or not the install folder ends in one; no uninstaller name, no registration.
TEST_F(Engine, UninstallRegistrationIsTheQuotedUninstallerPath) {
  Package({});
  const std::string key = std::string(kUninstallRegistryKey) + "Demo";
  Globals().SetupInfo.ShortName = "Demo";
  for (const char* folder : {"C:\\Program Files\\Demo", "C:\\Program Files\\Demo\\"}) {
    Globals().SetupInfo.InstallDir = folder;
    Globals().SetupInfo.UninstallExeName = "demo_Uninstall.exe";
    BuildUninstaller();
    std::string value;
    ASSERT_TRUE(system_.RegReadString(0, key, "UninstallString", false, value));
    EXPECT_EQ(value, "\"C:\\Program Files\\Demo\\demo_Uninstall.exe\"") << folder;
  }
  RemoveUninstallRegistration();
  Globals().SetupInfo.UninstallExeName.clear();
  BuildUninstaller();
  EXPECT_FALSE(system_.RegKeyExists(0, key));
}

// Every value of the registration, from the script's settings and the install.
TEST_F(Engine, RegistrationHoldsEveryValueAndTheUninstallRemovesThem) {
  Package({});
  TSetupInfoFile& info = Globals().SetupInfo;
  info.ShortName = "Demo";
  info.InstallDir = "C:\\Games\\Demo\\";
  info.UninstallExeName = "demo_Uninstall.exe";
  info.SetSetting(kSettingPublisher, "Demo Company");
  info.SetSetting(kSettingVersion, "1.2.3");
  info.SetSetting(kSettingDisplayIcon, "$INSTDIR\\game.exe");
  info.SetSetting(kSettingHelpLink, "https://example.com/help");
  info.SetSetting(kSettingAboutUrl, "https://example.com/");
  // 3000 + 2000 bytes that are there, and one logged file that is not: 5 KB.
  Put("C:\\Games\\Demo\\game.exe", std::string(3000, 'g'));
  Put("C:\\Games\\Demo\\data.pak", std::string(2000, 'd'));
  for (const char* file : {"$INSTDIR\\game.exe", "$INSTDIR\\data.pak", "$INSTDIR\\gone.txt"})
    UninstallList().AddFile(file);
  BuildUninstaller();
  const std::string key = testing::TFakeSystem::KeyId(0, std::string(kUninstallRegistryKey) + "Demo");
  const std::map<std::string, std::pair<std::string, bool>> expected = {
      {"displayname", {"Demo", true}},
      {"uninstallstring", {"\"C:\\Games\\Demo\\demo_Uninstall.exe\"", true}},
      {"displayicon", {"C:\\Games\\Demo\\game.exe", true}},
      {"displayversion", {"1.2.3", true}},
      {"publisher", {"Demo Company", true}},
      {"helplink", {"https://example.com/help", true}},
      {"urlinfoabout", {"https://example.com/", true}},
      {"installlocation", {"C:\\Games\\Demo", true}},
      {"estimatedsize", {"5", false}},
      {"nomodify", {"1", false}},
      {"norepair", {"1", false}}};
  std::map<std::string, std::pair<std::string, bool>> written;
  for (const auto& [name, value] : system_.Registry[key]) written[name] = {value.Data, value.IsString};
  EXPECT_EQ(written, expected);

  RemoveUninstallRegistration();
  EXPECT_FALSE(system_.RegKeyExists(0, std::string(kUninstallRegistryKey) + "Demo"));
}

// Without the settings: the uninstaller's own program is the icon, and no empty value is written.
TEST_F(Engine, RegistrationWithoutSettingsShowsTheUninstallersIcon) {
  Package({});
  Globals().SetupInfo.ShortName = "Demo";
  Globals().SetupInfo.UninstallExeName = "demo_Uninstall.exe";
  BuildUninstaller();
  const auto& values = system_.Registry[testing::TFakeSystem::KeyId(0, std::string(kUninstallRegistryKey) + "Demo")];
  EXPECT_EQ(values.at("displayicon").Data, "C:\\Games\\Demo\\demo_Uninstall.exe");
  EXPECT_EQ(values.at("installlocation").Data, "C:\\Games\\Demo");
  EXPECT_EQ(values.at("estimatedsize").Data, "0");
  for (const char* absent : {"displayversion", "publisher", "helplink", "urlinfoabout"}) {
    EXPECT_EQ(values.count(absent), 0u) << absent;
  }
}

// A per-user setup (and its uninstaller, which carries the setting) registers under HKCU, where
// the player may write, and removes that registration; HKLM stays untouched.
TEST_F(Engine, PerUserRegistrationLivesUnderTheCurrentUser) {
  Package({});
  TSetupInfoFile& info = Globals().SetupInfo;
  info.ShortName = "Demo";
  info.UninstallExeName = "demo_Uninstall.exe";
  info.SetSetting(kSettingInstallMode, "user");
  const std::string key = std::string(kUninstallRegistryKey) + "Demo";
  EXPECT_EQ(RegistrationRoot(), kRegistryRootCurrentUser);
  BuildUninstaller();
  EXPECT_FALSE(system_.RegKeyExists(kRegistryRootLocalMachine, key));
  std::string value;
  ASSERT_TRUE(system_.RegReadString(kRegistryRootCurrentUser, key, "UninstallString", false, value));
  EXPECT_EQ(value, "\"C:\\Games\\Demo\\demo_Uninstall.exe\"");
  EXPECT_EQ(system_.Registry[testing::TFakeSystem::KeyId(kRegistryRootCurrentUser, key)].count("estimatedsize"), 1u);

  // An administrator's registration of the same name is not the per-user uninstaller's to remove.
  system_.RegWriteString(kRegistryRootLocalMachine, key, "DisplayName", "Demo");
  RemoveUninstallRegistration();
  EXPECT_FALSE(system_.RegKeyExists(kRegistryRootCurrentUser, key));
  EXPECT_TRUE(system_.RegKeyExists(kRegistryRootLocalMachine, key));

  info.SetSetting(kSettingInstallMode, "");
  EXPECT_EQ(RegistrationRoot(), kRegistryRootLocalMachine);
}

// The keys a write creates are logged, parents first; the uninstall removes those that are
// empty once the logged values are gone, deepest first, and never a key that was there before.
TEST_F(Engine, CreatedKeysAreLoggedAndRemovedWhenEmpty) {
  system_.RegWriteString(1, "Software\\Existing", "Keep", "mine");
  Script({{kWriteRegStr, {"HKCU", "Software\\Existing\\Sub\\Deep\\", "A", "1"}},
          {kWriteRegStr, {"HKCU", "Software\\Existing", "B", "2"}},
          {kWriteRegStr, {"HKCU", "software\\new co\\game", "C", "3"}},
          {kWriteRegStr, {"HKCU", "Software\\New Co\\Game", "D", "4"}},
          {kWriteRegStr, {"HKLM", "Software\\New Co\\Game\\Saves", "E", "5"}}});
  RunLines();
  EXPECT_EQ(
      UninstallList().CreatedKeyList,
      (std::vector<std::string>{"\"HKCU\" \"Software\\Existing\\Sub\"", "\"HKCU\" \"Software\\Existing\\Sub\\Deep\"",
                                "\"HKCU\" \"software\\new co\"", "\"HKCU\" \"software\\new co\\game\"",
                                "\"HKLM\" \"Software\"", "\"HKLM\" \"Software\\New Co\"",
                                "\"HKLM\" \"Software\\New Co\\Game\"", "\"HKLM\" \"Software\\New Co\\Game\\Saves\""}));
  // The game wrote a value of its own below a created key after the install.
  system_.RegWriteString(0, "Software\\New Co\\Game", "Player", "one");
  for (const std::string& line : UninstallList().RegistryList) RemoveRegistryEntry(line);
  RemoveCreatedKeys(UninstallList().CreatedKeyList);
  EXPECT_EQ(system_.DeletedKeys,
            (std::vector<std::string>{"1|software\\existing\\sub\\deep", "0|software\\new co\\game\\saves",
                                      "1|software\\existing\\sub", "1|software\\new co\\game", "1|software\\new co"}));
  std::string value;
  ASSERT_TRUE(system_.RegReadString(1, "Software\\Existing", "Keep", false, value));
  EXPECT_EQ(value, "mine");
  EXPECT_TRUE(system_.RegKeyExists(0, "Software\\New Co\\Game"));  // still holds the game's value
  EXPECT_TRUE(system_.RegKeyExists(0, "Software"));
}

TEST(CreatedKeysToRemove, EachKeyOnceDeepestFirst) {
  EXPECT_EQ(
      CreatedKeysToRemove({"\"HKCU\" \"A\"", "\"HKCU\" \"A\\B\\\"", "\"HKLM\" \"A\\B\"", "\"hkcu\" \"a\\b\"",
                           "\"HKCU\" \"\"", "\"HKCU\" \"A\\B\\C\""}),
      (std::vector<std::string>{"\"HKCU\" \"A\\B\\C\"", "\"HKCU\" \"A\\B\\\"", "\"HKLM\" \"A\\B\"", "\"HKCU\" \"A\""}));
}

TEST_F(Engine, LogCommandsSaveAndTakeUpAnOlderLog) {
  std::filesystem::create_directories(system_.Map("C:\\Old"));
  UninstallList().AddFolder("C:\\Old\\kept");
  Script({{CommandNumberOf("uninstalllogsave"), {"C:\\Old", "old_"}},
          {kCreateDirectory, {"C:\\New"}},
          {CommandNumberOf("uninstalllogload"), {"C:\\Old", "old_"}}});
  RunLines();
  EXPECT_TRUE(system_.FileExists("C:\\Old\\old_install.log"));
  // Loading replaced the lists with the saved ones: the folder made after the save is gone.
  EXPECT_EQ(UninstallList().FolderList, std::vector<std::string>{"C:\\Old\\kept"});
}

TEST_F(Engine, UninstallerOfASignedSetupStartsWithTheUnsignedExecutablePart) {
  const TBytes stub = testing::FixtureExecutable();
  const std::string setup = system_.Map(system_.ExePath).string();
  std::filesystem::create_directories(system_.Map(system_.ExePath).parent_path());
  testing::WriteFile(setup, stub);
  {
    TPak pak(setup, pmAppend);
    pak.StoreFromMemory(pak.AddEntry("SetupInfo", "", 0), reinterpret_cast<const uint8_t*>("x"), 1);
    pak.WriteDirectory();
  }
  testing::WriteFile(setup, testing::FixtureSigned(testing::ReadFile(setup), 5));
  Globals().Package = std::make_unique<TPak>(setup, pmRead);
  ASSERT_EQ(Globals().Package->Directory().size(), 1u);
  Globals().SetupInfo.ShortName = "Demo";
  Globals().SetupInfo.UninstallExeName = "demo_Uninstall.exe";

  // The package writer opens its file by the real name, so only the executable part reaches the
  // fake install folder here; the whole uninstaller is checked under Wine.
  BuildUninstaller();
  TBytes expected = stub;
  ASSERT_TRUE(ClearPeSignature(expected.data(), expected.size()));
  EXPECT_EQ(testing::ReadFile(system_.Map("C:\\Games\\Demo\\demo_Uninstall.exe").string()), expected);
}

// The uninstaller's package says its texts are UTF-8 when they are not ASCII: an ASCII setup
// installed into a folder of Cyrillic letters, or one with an entry of another script.
TEST_F(Engine, UninstallerOfAnAsciiSetupInAUnicodeFolderSaysItsTextsAreUtf8) {
  const std::string setup = system_.Map(system_.ExePath).string();
  std::filesystem::create_directories(system_.Map(system_.ExePath).parent_path());
  auto build = [&](const std::string& folder, const std::string& entry) {
    testing::WriteFile(setup, testing::FixtureExecutable());
    {
      TPak pak(setup, pmAppend);
      for (const std::string& name : {std::string("SetupInfo"), entry}) {
        pak.StoreFromMemory(pak.AddEntry(name, "", 0), reinterpret_cast<const uint8_t*>("x"), 1);
      }
      pak.WriteDirectory();
    }
    Globals().Package = std::make_unique<TPak>(setup, pmRead);
    // A folder of this machine stands for the install folder: the package writer opens its file
    // by the real name.
    const std::filesystem::path install = testing::ScratchFolder() / folder;
    std::filesystem::create_directories(install);
    Globals().SetupInfo.ShortName = "Demo";
    Globals().SetupInfo.UninstallExeName = "demo_Uninstall.exe";
    Globals().SetupInfo.InstallDir = install.string();
    Globals().SetupInfo.Mode = 0;
    BuildUninstaller();
    return std::make_unique<TPak>(install.string() + "\\demo_Uninstall.exe", pmRead);
  };
  auto record = [](TPak& pak) {
    TSetupInfoFile info;
    const TBytes bytes = pak.FindByName("SetupInfo", 0);
    info.LoadFromBuffer(bytes.data(), bytes.size());
    return info;
  };

  auto ascii = build("Demo", "UNINSTALL_Pages.txt");
  EXPECT_EQ(ascii->Trailer().Version, kPakVersion1);
  EXPECT_FALSE(ascii->TextsUtf8());
  EXPECT_EQ(ascii->Directory()[0].Name, "Pages.txt");

  auto folder = build("Игры", "UNINSTALL_Pages.txt");
  EXPECT_TRUE(folder->TextsUtf8());
  EXPECT_EQ(record(*folder).InstallDir, (testing::ScratchFolder() / "Игры").string());
  EXPECT_EQ(record(*folder).Mode, 1);

  auto entry = build("Demo2", "UNINSTALL_Страница.txt");
  EXPECT_TRUE(entry->TextsUtf8());
  EXPECT_EQ(entry->Directory()[0].Name, "Страница.txt");
}

// The uninstaller speaks the language the player chose: its record names the table, which goes
// along when the uninstall languages lack it.
TEST_F(Engine, UninstallerKeepsTheLanguageThePlayerChose) {
  auto image = [](const std::string& text) {
    TBytes bytes = {0xFF, 0xFE};
    for (char c : text) bytes.insert(bytes.end(), {static_cast<uint8_t>(c), 0});
    return std::string(bytes.begin(), bytes.end());
  };
  const std::string english = image("English\r\n0409;\r\n26 Uninstall\r\n");
  const std::string german = image("Deutsch\r\n0407;\r\n26 Deinstallieren\r\n");
  const std::string setup = system_.Map(system_.ExePath).string();
  std::filesystem::create_directories(system_.Map(system_.ExePath).parent_path());
  auto build = [&](int chosen, const std::string& folder) {
    testing::WriteFile(setup, testing::FixtureExecutable());
    {
      TPak pak(setup, pmAppend);
      for (const auto& [name, bytes] :
           std::vector<std::pair<std::string, std::string>>{{"SetupInfo", "x"},
                                                            {"LANGUAGE-English", english},
                                                            {"LANGUAGE-German", german},
                                                            {"UNINSTALL_LANGUAGE-English", english},
                                                            {"UNINSTALL_Pages.txt", "[Pages]"}}) {
        pak.StoreFromMemory(pak.AddEntry(name, "", 0), reinterpret_cast<const uint8_t*>(bytes.data()),
                            static_cast<uint32_t>(bytes.size()));
      }
      pak.WriteDirectory();
    }
    Globals().Package = std::make_unique<TPak>(setup, pmRead);
    Languages() = TLanguages();
    Languages().AddLanguage(reinterpret_cast<const uint8_t*>(english.data()), english.size());
    Languages().AddLanguage(reinterpret_cast<const uint8_t*>(german.data()), german.size());
    Languages().Current = chosen;
    const std::filesystem::path install = testing::ScratchFolder() / folder;
    std::filesystem::create_directories(install);
    Globals().SetupInfo = TSetupInfoFile();
    Globals().SetupInfo.ShortName = "Demo";
    Globals().SetupInfo.UninstallExeName = "demo_Uninstall.exe";
    Globals().SetupInfo.InstallDir = install.string();
    BuildUninstaller();
    TPak pak(install.string() + "\\demo_Uninstall.exe", pmRead);
    std::vector<std::string> names;
    for (const TPakEntry& e : pak.Directory()) names.push_back(e.Name);
    const TBytes bytes = pak.FindByName("SetupInfo", 0);
    TSetupInfoFile record;
    record.LoadFromBuffer(bytes.data(), bytes.size());
    return std::make_pair(names, record.Setting(kSettingLanguage));
  };
  EXPECT_EQ(build(1, "German"),
            std::make_pair(std::vector<std::string>{"LANGUAGE-English", "Pages.txt", "LANGUAGE-German", "SetupInfo"},
                           std::string("Deutsch")));
  EXPECT_EQ(build(0, "English"), std::make_pair(std::vector<std::string>{"LANGUAGE-English", "Pages.txt", "SetupInfo"},
                                                std::string("English")));

  // At start the uninstaller makes the named table current; an unknown name changes nothing.
  Languages().Current = 0;
  EXPECT_TRUE(SelectLanguageNamed("Deutsch"));
  EXPECT_EQ(Languages().Current, 1);
  EXPECT_FALSE(SelectLanguageNamed("Klingon"));
  EXPECT_FALSE(SelectLanguageNamed(""));
  EXPECT_EQ(Languages().Current, 1);
}

TEST_F(Engine, FinaliserIsWrittenAndStartedWithTheQuotedPath) {
  Package({{"SetupInfo", 0, "x"}});
  LaunchFinaliser();
  EXPECT_TRUE(system_.Opened.empty());  // a package without one starts nothing
  Package({{"SetupInfo", 0, "x"}, {"FINALISE.EXE", 0, "MZ finaliser"}});
  LaunchFinaliser();
  EXPECT_EQ(Read("T:\\FINALISE.exe"), "MZ finaliser");
  EXPECT_EQ(system_.Opened, std::vector<std::string>{"T:\\FINALISE.exe|\"C:\\Setup\\setup.exe\""});
}

TEST(SplitQuotedToken, BlanksInsideQuotesStay) {
  EXPECT_EQ(SplitQuotedToken("  \"HKLM\" \"a b\" \"\" \"v\" "), (std::pair<std::string, std::string>{"HKLM", " \"a b\" \"\" \"v\""}));
  EXPECT_EQ(SplitQuotedToken("\"a b\" rest"), (std::pair<std::string, std::string>{"a b", " rest"}));
  EXPECT_EQ(SplitQuotedToken("single"), (std::pair<std::string, std::string>{"single", ""}));
  EXPECT_EQ(SplitQuotedToken("\"\""), (std::pair<std::string, std::string>{"", ""}));
}

}  // namespace
}  // namespace setup

#include "builder/compiler.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <filesystem>
#include <map>

#include "builder/package_writer.h"
#include "builder/script.h"
#include "core/digit_cipher.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "core/sha256.h"
#include "core/text.h"
#include "fake_platform.h"
#include "test_files.h"
#include "test_host.h"

namespace setup::builder {
namespace {

namespace fs = std::filesystem;

TEST(Script, TokensQuotesCommentsAndLabels) {
  const auto lines = ParseScript(
      "\xEF\xBB\xBF; comment\r\n"
      "  # another\n"
      "\n"
      "Name \"Demo Game\"\tx\n"
      "start:\n"
      "writeregstr HKLM \"Software\\My Game\" \"\" \"a \"\"b\"\n"
      "failure\n");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].Number, 4);
  EXPECT_EQ(lines[0].Keyword, "Name");
  EXPECT_EQ(lines[0].Params, (std::vector<std::string>{"Demo Game", "x"}));
  EXPECT_TRUE(lines[1].IsLabel);
  EXPECT_EQ(lines[1].Keyword, "start");
  EXPECT_EQ(lines[2].Params, (std::vector<std::string>{"HKLM", "Software\\My Game", "", "a b"}));
  EXPECT_TRUE(lines[3].Params.empty());
  try {
    ParseScript("name ok\nname \"open\n");
    FAIL();
  } catch (const TBuildError& e) {
    EXPECT_EQ(e.Line, 2);
  }
}

// A script folder with sources, a languages folder and a layouts folder.
class Compiler : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testing::ScratchFolder() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(root_);
    for (const char* f : {"script/files/a.txt", "script/files/sub/b.txt", "script/more/c.txt", "script/changes.rtf",
                          "languages/English.wri", "layout/default/Pages.txt", "layout/default/icon.ico",
                          "layout/default-uninstall/Pages.txt", "layout/default-uninstall/icon.ico"}) {
      fs::create_directories((root_ / f).parent_path());
      testing::WriteFile((root_ / f).string(), testing::TextBytes(100 + std::string(f).size()));
    }
  }

  TCompiler Compile(const std::string& text, const std::string& finaliser = "") {
    TCompiler c({(root_ / "script").string(), (root_ / "languages").string(), (root_ / "layout").string(), finaliser});
    c.Compile(ParseScript(text));
    return c;
  }

  // The script line of the error a script gives.
  std::pair<int, std::string> ErrorOf(const std::string& text) {
    try {
      Compile(text);
    } catch (const TBuildError& e) {
      return {e.Line, e.what()};
    }
    return {0, "no error"};
  }

  fs::path root_;
};

TEST_F(Compiler, SettingCommandsFillTheRecordAndStayInert) {
  const TCompiler c = Compile(
      "name \"Demo Game\"\n"
      "shortname Demo\n"
      "outfile demo_setup.exe\n"
      "installdir $PROGRAMFILES\\Demo\n"
      "prefix demo\n"
      "changelog changes.rtf\n"
      "pages default\n"
      "uninstallpages default-uninstall\n"
      "installdirregkey hkcu Software\\Demo Path\n"
      "installdirregkey HKLM a 2\n"
      "installdirregkey HKU b 3\n"
      "installdirregkey HKCC c 4\n"
      "installdirregkey HKCR d 5\n"
      "installdirregkey HKLM e 6\n");
  const TSetupInfoFile& i = c.SetupInfo;
  EXPECT_EQ(i.SetupName, "Demo Game");
  EXPECT_EQ(i.ShortName, "Demo");
  EXPECT_EQ(i.SetupExeName, "demo_setup.exe");
  EXPECT_EQ(i.InstallDir, "$PROGRAMFILES\\Demo");
  EXPECT_EQ(i.UninstallPrefix, "demo_");
  EXPECT_EQ(i.UninstallExeName, "demo_Uninstall.exe");
  EXPECT_EQ(i.Changelog, "changes.rtf");
  EXPECT_EQ(i.Pages, "default");
  EXPECT_EQ(i.UninstallPages, "default-uninstall");
  EXPECT_EQ(i.HasUninstaller, 1);
  EXPECT_EQ(i.InstallDirRegKey[0].HKey, 1);
  EXPECT_EQ(i.InstallDirRegKey[0].Key, "Path");
  EXPECT_EQ(i.InstallDirRegKey[3].Path, "c");
  EXPECT_EQ(i.InstallDirRegKey[4].Path, "e");  // the sixth overwrites the fifth
  EXPECT_EQ(i.InstallDirRegKey[4].HKey, 0);
  for (const TCompiledLine& line : c.CompLines.Lines) {
    EXPECT_EQ(line.Command, -1);
    EXPECT_EQ(line.LineIndex, -1);
    EXPECT_TRUE(line.Params.empty());
  }
  std::vector<std::string> names;
  for (const TPackageItem& item : c.PackageItems()) names.push_back(item.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"SetupInfo", "CompiledLines", "changes.rtf", "Pages.txt",
                                             "UNINSTALL_ICON.ICO", "UNINSTALL_Pages.txt"}));
}

// The settings added later fill named settings of the record, in the order first given, and
// stay inert lines; a script without them writes a record without the settings list.
TEST_F(Compiler, LaterSettingsFillNamedSettings) {
  const TCompiler c = Compile(
      "name Demo\n"
      "version 1.0\n"
      "publisher \"Demo Company\"\n"
      "displayicon $INSTDIR\\demo.exe\n"
      "helplink https://example.com/help\n"
      "abouturl https://example.com/\n"
      "version 1.1\n");
  EXPECT_EQ(c.SetupInfo.Settings, (std::vector<TSetupSetting>{{kSettingVersion, "1.1"},
                                                              {kSettingPublisher, "Demo Company"},
                                                              {kSettingDisplayIcon, "$INSTDIR\\demo.exe"},
                                                              {kSettingHelpLink, "https://example.com/help"},
                                                              {kSettingAboutUrl, "https://example.com/"}}));
  for (const TCompiledLine& line : c.CompLines.Lines) EXPECT_EQ(line.Command, -1);
  EXPECT_TRUE(Compile("name Demo\n").SetupInfo.Settings.empty());
  EXPECT_EQ(ErrorOf("publisher\n"),
            (std::pair<int, std::string>{1, "'publisher' needs at least 1 parameter(s), got 0"}));
}

// Architecture and install mode take one of two words; the usual word leaves no setting, so
// such a setup is the one the script without the line gives.
TEST_F(Compiler, ArchitectureAndInstallModeTakeOneOfTwoWords) {
  TCompiler c = Compile("name Demo\narchitecture X64\ninstallmode User\n");
  EXPECT_TRUE(c.SetupInfo.Native64());
  EXPECT_TRUE(c.SetupInfo.PerUser());
  EXPECT_EQ(c.SetupInfo.Settings,
            (std::vector<TSetupSetting>{{kSettingArchitecture, "x64"}, {kSettingInstallMode, "user"}}));
  for (const TCompiledLine& line : c.CompLines.Lines) EXPECT_EQ(line.Command, -1);

  const std::string plain = Compile("name Demo\ninstalldir $PROGRAMFILES\\Demo\n").SetupInfo.Serialize();
  EXPECT_EQ(
      Compile("name Demo\narchitecture x86\ninstallmode admin\ninstalldir $PROGRAMFILES\\Demo\n").SetupInfo.Serialize(),
      plain);
  EXPECT_EQ(Compile("architecture x64\narchitecture x86\n").SetupInfo.Settings.size(), 0u);

  EXPECT_EQ(ErrorOf("name Demo\narchitecture arm64\n"),
            (std::pair<int, std::string>{2, "'architecture' is x86 or x64, not 'arm64'"}));
  EXPECT_EQ(ErrorOf("installmode everyone\n"),
            (std::pair<int, std::string>{1, "'installmode' is admin or user, not 'everyone'"}));
}

// A per-user setup installs below the player's own programs folder: one in program files, or
// none, is moved there (and the builder says so); any other folder stays.
TEST_F(Compiler, PerUserSetupsInstallInThePlayersProgramsFolder) {
  auto dir = [&](const std::string& script) { return Compile("name \"Demo Game\"\n" + script).SetupInfo.InstallDir; };
  EXPECT_EQ(dir("installdir \"$PROGRAMFILES\\Demo Game\"\ninstallmode user\n"), "$LOCALAPPDATA\\Programs\\Demo Game");
  EXPECT_EQ(dir("installmode user\ninstalldir \"$programfiles64\\Demo\"\n"), "$LOCALAPPDATA\\Programs\\Demo");
  EXPECT_EQ(dir("installmode user\nshortname Demo\n"), "$LOCALAPPDATA\\Programs\\Demo");
  EXPECT_EQ(dir("installmode user\ninstalldir D:\\Games\\Demo\n"), "D:\\Games\\Demo");
  EXPECT_EQ(dir("installmode user\ninstalldir $APPDATA\\Demo\n"), "$APPDATA\\Demo");
  // An update that only finds an earlier installation keeps finding it so.
  EXPECT_EQ(dir("installmode user\ninstalldirregkey HKCU Software\\Demo Path\n"), "");
  EXPECT_EQ(dir("installdir $PROGRAMFILES\\Demo\n"), "$PROGRAMFILES\\Demo");  // an administrator setup

  const TCompiler c = Compile("name Demo\ninstallmode user\ninstalldir $PROGRAMFILES\\Demo\n");
  ASSERT_EQ(c.Notes.size(), 1u);
  EXPECT_EQ(c.Notes[0].Line, 2);
  EXPECT_EQ(c.Notes[0].Text, "installmode user: the install folder is $LOCALAPPDATA\\Programs\\Demo");
}

// The prefix begins the uninstaller's and the install log's file names.
TEST_F(Compiler, APrefixThatCannotBeAFileNameIsRefused) {
  for (const char* bad : {"a\\b", "a/b", "c:", "a*", "a?", "x\x01y", "<a>", "a|b", "tab\tx", "dot.", "blank "}) {
    const std::string script = std::string("name x\nprefix \"") + bad + "\"\n";
    const auto [line, message] = ErrorOf(script);
    EXPECT_EQ(line, 2) << bad;
    EXPECT_NE(message.find("cannot begin a file name"), std::string::npos) << message;
  }
  for (const char* good : {"demo", "My Game 2",
                           "sp\xC3\xA9"
                           "cial",
                           "a.b", ""}) {
    EXPECT_EQ(ErrorOf(std::string("name x\nprefix \"") + good + "\"\n").second, "no error") << good;
  }
}

TEST(LayoutText, LineFeedsBecomeCrLfAndOnlyTextIsTouched) {
  EXPECT_EQ(WithCrLfLineEnds("[Page]\nTop=10\r\nLeft=5\n\nx"), "[Page]\r\nTop=10\r\nLeft=5\r\n\r\nx");
  EXPECT_EQ(WithCrLfLineEnds("\n"), "\r\n");
  EXPECT_EQ(WithCrLfLineEnds("a\rb\r\n"), "a\rb\r\n");
  EXPECT_TRUE(
      IsLayoutText("[Page]\n\tCaption=Gr\xC3\xBC\xC3\x9F"
                   "e\r\n"));
  EXPECT_FALSE(IsLayoutText(std::string("\x89PNG\r\n\x1A\n", 8)));
  EXPECT_FALSE(IsLayoutText(std::string("MZ\x90\0", 4)));
  EXPECT_FALSE(IsLayoutText(std::string("\xFF\xFE[\0", 4)));  // UTF-16 keeps its bytes
}

// A layout saved with line feeds only goes in with CR LF; pictures and CR LF files as they are.
TEST_F(Compiler, LayoutTextFilesArePackedWithCrLf) {
  const fs::path layout = root_ / "layout" / "unix";
  fs::create_directories(layout);
  const std::string page = "[WelcomeTitle]\nType=Label\nTop=10\n";
  const std::string crlf = "[Pages]\r\nwelcome.txt\r\n";
  const std::string picture("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);
  testing::WriteFile((layout / "welcome.txt").string(), TBytes(page.begin(), page.end()));
  testing::WriteFile((layout / "Pages.txt").string(), TBytes(crlf.begin(), crlf.end()));
  testing::WriteFile((layout / "side.png").string(), TBytes(picture.begin(), picture.end()));
  const TCompiler c = Compile("name x\npages unix\n");
  std::map<std::string, TPackageItem> items;
  for (const TPackageItem& item : c.PackageItems()) items[item.Name] = item;
  EXPECT_EQ(items["welcome.txt"].Bytes, "[WelcomeTitle]\r\nType=Label\r\nTop=10\r\n");
  EXPECT_TRUE(items["welcome.txt"].SourcePath.empty());
  EXPECT_EQ(items["Pages.txt"].SourcePath, (layout / "Pages.txt").string());
  EXPECT_EQ(items["side.png"].SourcePath, (layout / "side.png").string());
  EXPECT_TRUE(c.Notes.empty());
}

TEST_F(Compiler, LabelsResolveToTheLastLineOfTheirName) {
  const TCompiler c = Compile(
      "again:\n"
      "goto END\n"
      "iffileexists x.txt again 0\n"
      "messagebox \"Go on?\" Demo 0 again\n"
      "goto 7\n"
      "end:\n"
      "End:\n");
  const auto& l = c.CompLines.Lines;
  EXPECT_EQ(l[0].Command, 0);
  EXPECT_EQ(l[0].Params, std::vector<std::string>{"again"});
  EXPECT_EQ(l[1].Params[0], "6");
  EXPECT_EQ(l[2].Params, (std::vector<std::string>{"x.txt", "0", "-1"}));
  EXPECT_EQ(l[3].Params, (std::vector<std::string>{"Go on?", "Demo", "-1", "0"}));
  EXPECT_EQ(l[4].Params[0], "7");  // a number stands for a line position
  EXPECT_EQ(l[4].LineIndex, 4);
  EXPECT_EQ(ErrorOf("goto nowhere\n"), (std::pair<int, std::string>{1, "Label not found - nowhere"}));
}

TEST_F(Compiler, GroupOwnersGetNumbersInLineOrder) {
  // file, kzpupdate, file: groups 1, 2 and 3, the kzpupdate group holding stored archive entries.
  TCompiler c = Compile(
      "outfile demo_setup.exe\n"
      "installdir C:\\Demo\n"
      "file files\n"
      "kzpupdate more secret game.kzp\n"
      "file more\\c.txt sub\n");
  const auto& l = c.CompLines.Lines;
  EXPECT_EQ(l[2].Params, (std::vector<std::string>{"files", "1"}));
  EXPECT_EQ(l[3].Params.back(), "2");
  EXPECT_EQ(l[4].Params, (std::vector<std::string>{"more\\c.txt", "sub", "3"}));
  EXPECT_EQ(l[4].ParamCount, 3);
  EXPECT_EQ(DecipherDigits(kCommandKey, l[3].Params[1]), "secret");
  EXPECT_NE(l[3].Params[1], "secret");

  // The runtime's start-up sees the same groups.
  const std::string setup_path = (root_ / "script" / "demo_setup.exe").string();
  TWriteOptions options;
  options.Output = setup_path;
  WriteSetup(options, c.PackageItems());
  Globals() = TSetupGlobals();
  testing::TRecordingHost host;
  testing::TFakePlatform platform;
  platform.ExePath = setup_path;
  EXPECT_EQ(RunSetup(platform, {}), 0);
  EXPECT_EQ(Globals().State.ArchiveGroups, std::vector<uint8_t>({0, 0, 1, 0}));
  TPak pak(setup_path, pmRead);
  EXPECT_EQ(pak.CountInGroup(1), 2);
  EXPECT_EQ(pak.CountInGroup(2), 1);
  EXPECT_EQ(pak.CountInGroup(3), 1);
  EXPECT_EQ(pak.FindByName("sub\\b.txt", 1).size(), 122u);  // 100 + the length of its path
  Globals() = TSetupGlobals();
}

TEST_F(Compiler, ArchivePasswordsAndAccessCodesAreEnciphered) {
  const TCompiler c = Compile("kzpofficial game.kzp \"the code\" TRUE\nduplicateentry game.kzp a b\n");
  EXPECT_EQ(DecipherDigits(kCommandKey, c.CompLines.Lines[0].Params[1]), "the code");
  EXPECT_EQ(c.CompLines.Lines[1].Params, (std::vector<std::string>{"game.kzp", "a", "b"}));
  EXPECT_EQ(ErrorOf("kzpupdate more " + std::string(42, 'p') + " game.kzp\n").first, 1);
  EXPECT_EQ(ErrorOf("kzpupdate more " + std::string(41, 'p') + " game.kzp\n").second, "no error");
}

TEST_F(Compiler, LanguagesComeFirstInGroupZero) {
  const TCompiler c = Compile("changelog changes.rtf\nlanguage English\nuninstalllanguage English\n");
  const auto items = c.PackageItems();
  EXPECT_EQ(items[2].Name, "LANGUAGE-English");
  EXPECT_EQ(items[3].Name, "UNINSTALL_LANGUAGE-English");
  EXPECT_EQ(items[4].Name, "changes.rtf");
  EXPECT_EQ(c.CompLines.Lines[1].Command, 18);  // kept as a line of its own, inert at run time
}

TEST_F(Compiler, BadScriptsNameTheirLine) {
  EXPECT_EQ(ErrorOf("name x\nfrobnicate a\n"), (std::pair<int, std::string>{2, "unknown command 'frobnicate'"}));
  EXPECT_EQ(ErrorOf("\n\nwriteregstr HKLM a b\n"),
            (std::pair<int, std::string>{3, "'writeregstr' needs at least 4 parameter(s), got 3"}));
  EXPECT_EQ(ErrorOf("file nothing-here\n").first, 1);
  // The setup would read a root name it does not know as HKLM.
  EXPECT_EQ(ErrorOf("name x\nwriteregstr HKEY_CURRENT_USER a b c\n"),
            (std::pair<int, std::string>{
                2, "unknown registry root 'HKEY_CURRENT_USER' (write HKLM, HKCU, HKCR, HKU or HKCC)"}));
  EXPECT_EQ(ErrorOf("installdirregkey HKLN a b\n").first, 1);
  EXPECT_EQ(ErrorOf("file files x HKCUU k v e 1\n").first, 1);
  EXPECT_EQ(ErrorOf("writeregstr hkcu a b c\ninstalldirregkey Hkcc a b\nfile files x hku k v e 1\n").second,
            "no error");
  EXPECT_EQ(ErrorOf("name x\nlanguage Klingon\n").first, 2);
  EXPECT_EQ(ErrorOf("pages missing-layout\n").first, 1);
  EXPECT_EQ(ErrorOf("changelog nope.rtf\n").first, 1);
  // The uninstaller is named after the prefix.
  EXPECT_EQ(ErrorOf("name x\nuninstallpages default-uninstall\n"),
            (std::pair<int, std::string>{2, "'uninstallpages' needs a 'prefix' to name the uninstaller"}));
  // An archive password is stored in Windows-1252; every other text in UTF-8.
  EXPECT_EQ(ErrorOf("name x\nkzpofficial game.kzp \"\xE2\x9C\x93 code\" TRUE\n"),
            (std::pair<int, std::string>{
                2, "archive password \"\xE2\x9C\x93 code\" has a character that Windows-1252 does not have"}));
  EXPECT_EQ(ErrorOf("name \"\xE2\x9C\x93 check\"\nkzpofficial game.kzp \"Caf\xC3\xA9 \xE2\x82\xAC\" TRUE\n").second,
            "no error");
  // Errors quote what the script says, as it says it.
  EXPECT_EQ(ErrorOf("goto нигде\n"), (std::pair<int, std::string>{1, "Label not found - нигде"}));
  EXPECT_EQ(ErrorOf("ゲーム x\n"), (std::pair<int, std::string>{1, "unknown command 'ゲーム'"}));
}

TEST_F(Compiler, OutputIsTheSameForAnyThreadCountAndPlainZlibReadsIt) {
  std::map<std::string, TBytes> sources;
  auto add = [&](const std::string& folder, const std::string& name, TBytes bytes) {
    testing::WriteFile((root_ / "script" / folder / name).string(), bytes);
    sources[name] = std::move(bytes);
  };
  for (int i = 0; i < 40; ++i) {
    add("files", "gen" + std::to_string(i) + ".bin",
        i % 3 ? testing::TextBytes(20000 + i) : testing::NoiseBytes(5000 + i, i));
  }
  TBytes varied = testing::TextBytes(3300000);
  for (size_t i = 0; i < varied.size(); i += 7) varied[i] = static_cast<uint8_t>(i / 7919);
  add("more", "big.txt", varied);
  add("more", "big.bin", testing::NoiseBytes(2200000, 9));
  const TCompiler c = Compile("outfile x.exe\nfile files\nfile more\n");
  auto write = [&](int threads, int level) {
    TWriteOptions options;
    options.Output = (root_ / ("out" + std::to_string(threads) + "-" + std::to_string(level) + ".bin")).string();
    options.Threads = threads;
    options.Level = level;
    WriteSetup(options, c.PackageItems());
    return options.Output;
  };
  const TBytes one = testing::ReadFile(write(1, 9));
  EXPECT_EQ(testing::ReadFile(write(2, 9)), one);
  EXPECT_EQ(testing::ReadFile(write(5, 9)), one);

  // Every stream, at the fastest, default and smallest level, is an ordinary zlib stream: zlib's
  // own inflate gives the file back. Noise stays plain. A higher level is not larger.
  uint64_t previous_total = 0;
  for (int level : {12, 9, 1}) {
    TPak pak(write(2, level), pmRead);
    uint64_t total = 0;
    for (size_t i = 0; i < pak.Directory().size(); ++i) {
      const TPakEntry& e = pak.Directory()[i];
      if (!sources.count(e.Name)) continue;
      SCOPED_TRACE(e.Name + " at level " + std::to_string(level));
      const TBytes stored = pak.ReadStored(static_cast<int>(i));
      total += stored.size();
      if (e.PackedSize == 0) {
        EXPECT_EQ(stored, sources[e.Name]);
        continue;
      }
      TBytes inflated(e.Size);
      uLongf length = e.Size;
      ASSERT_EQ(uncompress(inflated.data(), &length, stored.data(), static_cast<uLong>(stored.size())), Z_OK);
      EXPECT_EQ(length, e.Size);
      EXPECT_EQ(inflated, sources[e.Name]);
    }
    const int noise = pak.IndexOfName("big.bin", 2);
    ASSERT_GE(noise, 0);
    EXPECT_EQ(pak.Directory()[noise].PackedSize, 0u);
    EXPECT_LE(previous_total, total) << "level " << level;
    previous_total = total;
  }
}

// An uninstall layout without the finishing program gets the shipped one, and the user hears
// of it; the layout's own, in any case of its name, is kept.
TEST_F(Compiler, UninstallLayoutsWithoutTheFinishingProgramGetTheShippedOne) {
  const std::string script = "prefix demo\npages default\nuninstallpages default-uninstall\n";
  const fs::path shipped = root_ / "bin" / "finalise.exe";
  fs::create_directories(shipped.parent_path());
  testing::WriteFile(shipped.string(), testing::TextBytes(10));
  auto finalisers = [](const TCompiler& c) {
    std::vector<std::string> sources;
    for (const TPackageItem& item : c.PackageItems()) {
      if (LowerAscii(item.Name).find("finalise") != std::string::npos) {
        sources.push_back(item.Name + "=" + item.SourcePath);
      }
    }
    return sources;
  };

  const TCompiler added = Compile(script, shipped.string());
  EXPECT_EQ(finalisers(added), std::vector<std::string>{"UNINSTALL_FINALISE.EXE=" + shipped.string()});
  ASSERT_EQ(added.Notes.size(), 1u);
  EXPECT_EQ(added.Notes[0].Line, 3);
  EXPECT_EQ(added.Notes[0].Text, "layout default-uninstall has no FINALISE.EXE: added the shipped " + shipped.string());

  const TCompiler none = Compile(script, (root_ / "nowhere.exe").string());
  EXPECT_TRUE(finalisers(none).empty());
  ASSERT_EQ(none.Notes.size(), 1u);
  EXPECT_NE(none.Notes[0].Text.find("the uninstaller will stay behind"), std::string::npos);

  const fs::path own = root_ / "layout" / "default-uninstall" / "Finalise.exe";
  testing::WriteFile(own.string(), testing::TextBytes(20));
  const TCompiler kept = Compile(script, shipped.string());
  EXPECT_EQ(finalisers(kept), std::vector<std::string>{"UNINSTALL_Finalise.exe=" + own.string()});
  EXPECT_TRUE(kept.Notes.empty());
}

TEST_F(Compiler, FailedWriteLeavesNoFile) {
  const TCompiler c = Compile("file files\n");
  auto items = c.PackageItems();
  items.push_back({"ghost", 1, (root_ / "vanished.bin").string(), ""});
  TWriteOptions options;
  options.Output = (root_ / "never.exe").string();
  EXPECT_THROW(WriteSetup(options, items), TBuildError);
  EXPECT_FALSE(fs::exists(options.Output));
  EXPECT_FALSE(fs::exists(options.Output + ".partial"));
}

}  // namespace
}  // namespace setup::builder

namespace setup::builder {
namespace {

std::string FileSha256(const std::string& path) {
  const TBytes bytes = testing::ReadFile(path);
  auto digest = NewSha256();
  TSha256Digest out{};
  EXPECT_TRUE(digest && digest->Update(bytes.data(), bytes.size()) && digest->Final(out));
  return Sha256Hex(out);
}

// Every kind of stored text in ASCII: the setup is the first version, byte for byte what the
// builder wrote before setups could hold UTF-8 (the digest was taken from that builder at
// level 9, which depends on the deflate library as the builder's shell test says).
TEST_F(Compiler, AnAsciiSetupIsWrittenAsBefore) {
  // Layout files with CR LF line ends, as the shipped ones: the builder packs them as they are
  // (one with line feeds only it would convert, which earlier builders did not).
  for (const char* f : {"layout/default/Pages.txt", "layout/default-uninstall/Pages.txt"}) {
    const TBytes lf = testing::ReadFile((root_ / f).string());
    const std::string crlf = WithCrLfLineEnds(std::string(lf.begin(), lf.end()));
    testing::WriteFile((root_ / f).string(), TBytes(crlf.begin(), crlf.end()));
  }
  const TCompiler c = Compile(
      "name \"Demo Game\"\n"
      "shortname Demo\n"
      "outfile demo_setup.exe\n"
      "installdir $PROGRAMFILES\\Demo\n"
      "installdirregkey HKCU Software\\Demo Path\n"
      "prefix demo\n"
      "changelog changes.rtf\n"
      "pages default\n"
      "uninstallpages default-uninstall\n"
      "language English\n"
      "start:\n"
      "file files\n"
      "kzpupdate more \"z}~ pass\" game.kzp\n"
      "kzpofficial game.kzp \"~code~\" TRUE\n"
      "writeregstr HKLM \"Software\\Demo Game\" Path $INSTDIR\n"
      "createshortcut \"$DESKTOP\\Demo Game.lnk\" $INSTDIR\\demo.exe \"\"\n"
      "messagebox \"Install again?\" \"Demo Game\" start 0\n");
  TWriteOptions options;
  options.Stub = (root_ / "stub.exe").string();
  testing::WriteFile(options.Stub, {'M', 'Z', 1, 2, 3, 4, 5, 6});
  options.Output = (root_ / "ascii_setup.exe").string();
  options.Level = 9;
  WriteSetup(options, c.PackageItems());
  EXPECT_EQ(FileSha256(options.Output), "d2a1bf0d8cff9ed3d4ce5ef00ac48b441e5a5d4acaeba8114e3a12a5480b50e0");
  TPak pak(options.Output, pmRead);
  EXPECT_EQ(pak.Trailer().Version, kPakVersion1);
}

// A UTF-8 script with texts of four scripts, one character outside the Basic Multilingual Plane
// (U+1F3AE), in every kind of stored text: title, folders, file and folder names, registry keys
// and values, shortcut names, messages. The setup says its texts are UTF-8 and stores them as
// they are; start-up takes them so. The archive password alone is stored in Windows-1252.
TEST_F(Compiler, AUtf8ScriptStoresEveryTextAsItIs) {
  const std::string pad = "\xF0\x9F\x8E\xAE";
  for (const std::string& f : std::vector<std::string>{"Игра/данные/карта.dat", "Игра/ゲーム.bin",
                                                       "Игра/Ελληνικά/αρχείο.txt", "Игра/" + pad + ".cfg"}) {
    fs::create_directories((root_ / "script" / f).parent_path());
    testing::WriteFile((root_ / "script" / f).string(), testing::TextBytes(f.size()));
  }
  const std::string title = "Игра ゲーム Ελληνικά " + pad;
  const TCompiler c = Compile(
      "\xEF\xBB\xBF"
      "name \"" +
      title +
      "\"\n"
      "shortname Игра\n"
      "outfile Игра_setup.exe\n"
      "installdir $PROGRAMFILES\\Игры\\ゲーム\n"
      "installdirregkey HKCU Software\\Ελληνικά Διαδρομή\n"
      "prefix игра\n"
      "file Игра\n"
      "kzpupdate Игра \"pässwörd\" игра.kzp\n"
      "writeregstr HKCU \"Software\\Игра\" Путь \"$INSTDIR\\ゲーム\"\n"
      "createshortcut \"$DESKTOP\\Игра " +
      pad +
      ".lnk\" \"$INSTDIR\\ゲーム.bin\" \"\"\n"
      "messagebox \"Установить снова? もう一度?\" Игра 0 0\n");
  const TSetupInfoFile& i = c.SetupInfo;
  EXPECT_EQ(i.SetupName, title);
  EXPECT_EQ(i.ShortName, "Игра");
  EXPECT_EQ(i.SetupExeName, "Игра_setup.exe");
  EXPECT_EQ(i.InstallDir, "$PROGRAMFILES\\Игры\\ゲーム");
  EXPECT_EQ(i.InstallDirRegKey[0].Path, "Software\\Ελληνικά");
  EXPECT_EQ(i.InstallDirRegKey[0].Key, "Διαδρομή");
  EXPECT_EQ(i.UninstallExeName, "игра_Uninstall.exe");
  const auto& l = c.CompLines.Lines;
  EXPECT_EQ(l[6].Params, (std::vector<std::string>{"Игра", "1"}));
  EXPECT_EQ(DecipherDigits(kCommandKey, l[7].Params[1]), "p\xE4ssw\xF6rd");
  EXPECT_EQ(l[7].Params[2], "игра.kzp");
  EXPECT_EQ(l[8].Params, (std::vector<std::string>{"HKCU", "Software\\Игра", "Путь", "$INSTDIR\\ゲーム"}));
  EXPECT_EQ(l[9].Params[0], "$DESKTOP\\Игра " + pad + ".lnk");
  EXPECT_EQ(l[10].Params, (std::vector<std::string>{"Установить снова? もう一度?", "Игра", "-1", "-1"}));

  const std::string setup_path = (root_ / "script" / "Игра_setup.exe").string();
  TWriteOptions options;
  options.Stub = (root_ / "stub.exe").string();
  testing::WriteFile(options.Stub, {'M', 'Z', 1, 2, 3, 4, 5, 6});
  options.Output = setup_path;
  WriteSetup(options, c.PackageItems());
  {
    TPak pak(setup_path, pmRead);
    EXPECT_EQ(pak.Trailer().Version, kPakVersion2);
    EXPECT_TRUE(pak.TextsUtf8());
    std::vector<std::string> names;
    for (const TPakEntry& e : pak.Directory()) {
      if (e.Group != 0) names.push_back(std::to_string(e.Group) + ":" + e.Name);
    }
    // The folder walk's order is the bytes' (Greek before Cyrillic), as on any machine.
    EXPECT_EQ(names, (std::vector<std::string>{"1:ゲーム.bin", "1:" + pad + ".cfg", "1:Ελληνικά\\αρχείο.txt",
                                               "1:данные\\карта.dat", "2:ゲーム.bin", "2:" + pad + ".cfg",
                                               "2:Ελληνικά\\αρχείο.txt", "2:данные\\карта.dat"}));
    EXPECT_GE(pak.IndexOfName("ДАННЫЕ\\КАРТА.DAT", 1), 0);
  }

  Globals() = TSetupGlobals();
  testing::TRecordingHost host;
  testing::TFakePlatform platform;
  platform.ExePath = setup_path;
  EXPECT_EQ(RunSetup(platform, {}), 0);
  EXPECT_TRUE(host.Boxes.empty());
  EXPECT_EQ(Globals().SetupInfo.Serialize(), c.SetupInfo.Serialize());
  EXPECT_EQ(Globals().CompLines.Serialize(), c.CompLines.Serialize());
  Globals() = TSetupGlobals();
}

// A script that is not UTF-8 is an older one in Windows-1252, and builds as it always did: its
// texts reach the setup as the same characters (now in UTF-8), and its password as the same
// bytes. Names on disk that are not UTF-8 were made in Windows-1252 as well, and the script
// finds them by its own spelling.
TEST_F(Compiler, AScriptThatIsNotUtf8IsReadAsWindows1252) {
  const fs::path older = root_ / "script" /
                         "Donn\xE9"
                         "es";
  fs::create_directories(older);
  testing::WriteFile((older / "caf\xE9 \x80.txt").string(), testing::TextBytes(10));
  const TCompiler c = Compile(
      "name \"Caf\xE9 \x80\"\n"
      "outfile demo_setup.exe\n"
      "installdir C:\\Spiele\\M\xFChle\n"
      "file Donn\xE9"
      "es\n"
      "kzpofficial game.kzp \"p\xE4ss\x80\" TRUE\n");
  EXPECT_EQ(c.SetupInfo.SetupName, "Café €");
  EXPECT_EQ(c.SetupInfo.InstallDir, "C:\\Spiele\\Mühle");
  EXPECT_EQ(c.CompLines.Lines[3].Params, (std::vector<std::string>{"Données", "1"}));
  EXPECT_EQ(DecipherDigits(kCommandKey, c.CompLines.Lines[4].Params[1]), "p\xE4ss\x80");
  const auto items = c.PackageItems();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[2].Name, "café €.txt");
  EXPECT_EQ(items[2].SourcePath, (older / "caf\xE9 \x80.txt").string());
  EXPECT_TRUE(items[0].RecordNotAscii);
  EXPECT_TRUE(items[1].RecordNotAscii);
}

}  // namespace
}  // namespace setup::builder

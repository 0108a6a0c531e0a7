#include "core/setup_state.h"

#include <gtest/gtest.h>

#include "core/text.h"

#include "test_host.h"

namespace setup {
namespace {

TPathValues SampleValues(const TEnvironmentTable* env) {
  TPathValues v;
  v.InstallDir = u"C:\\Program Files\\Demo";
  v.ProgramsMenuPath = u"C:\\Users\\Ann\\Start Menu\\Programs\\";
  v.ProgramFilesPath = u"C:\\Program Files\\";
  v.AppDataPath = u"C:\\Users\\Ann\\AppData\\Roaming\\";
  v.DesktopPath = u"C:\\Users\\Ann\\Desktop\\";
  v.CdDrivePath = u"D:\\";
  v.LanguageSelection = u"English";
  v.Environment = env;
  return v;
}

TEST(PathVariables, ExpandEveryVariableInAnyCase) {
  const TPathValues v = SampleValues(nullptr);
  EXPECT_EQ(ExpandPathVariables(u"$instdir\\bin", v), u"C:\\Program Files\\Demo\\bin");
  EXPECT_EQ(ExpandPathVariables(u"$INSTALLDIR\\x", v), u"C:\\Program Files\\Demo\\x");
  EXPECT_EQ(ExpandPathVariables(u"$PROGRAMFILES\\Tool", v), u"C:\\Program Files\\Tool");
  EXPECT_EQ(ExpandPathVariables(u"$SMPROGRAMS\\Demo", v), u"C:\\Users\\Ann\\Start Menu\\Programs\\Demo");
  EXPECT_EQ(ExpandPathVariables(u"$APPDATA\\Demo", v), u"C:\\Users\\Ann\\AppData\\Roaming\\Demo");
  EXPECT_EQ(ExpandPathVariables(u"$DESKTOP\\Demo.lnk", v), u"C:\\Users\\Ann\\Desktop\\Demo.lnk");
  EXPECT_EQ(ExpandPathVariables(u"$CDDRIVE\\setup", v), u"D:\\setup");
  EXPECT_EQ(ExpandPathVariables(u"lang-$LANGUAGESELECTION.txt", v), u"lang-English.txt");
}

TEST(PathVariables, EnvironmentReferencesOnlyWhenPercentAppears) {
  const TEnvironmentTable env = {{u"TEMP", u"C:\\Temp"}, {u"GAME", u"%TEMP%\\game"}};
  const TPathValues v = SampleValues(&env);
  EXPECT_EQ(ExpandPathVariables(u"%temp%\\x", v), u"C:\\Temp\\x");
  EXPECT_EQ(ExpandPathVariables(u"%UNKNOWN%\\x", v), u"%UNKNOWN%\\x");
  // Pairs apply in table order: a value holding an earlier name stays as it is.
  EXPECT_EQ(ExpandEnvironmentReferences(u"%GAME%", env), u"%TEMP%\\game");
  EXPECT_EQ(ExpandEnvironmentReferences(u"TEMP", env), u"TEMP");
}

TEST(PathVariables, ContractionRoundTrips) {
  const TPathValues v = SampleValues(nullptr);
  for (const std::u16string path : {u"C:\\Program Files\\Demo\\data\\a.pak", u"C:\\Program Files\\Other\\b.txt",
                                    u"C:\\Users\\Ann\\Desktop\\Demo.lnk", u"C:\\Users\\Ann\\AppData\\Roaming\\x",
                                    u"E:\\elsewhere\\c.txt"}) {
    EXPECT_EQ(ExpandPathVariables(ContractPathVariables(path, v), v), path);
  }
  EXPECT_EQ(ContractPathVariables(u"C:\\Program Files\\Demo\\data", v), u"$INSTDIR\\data");
  EXPECT_EQ(ContractPathVariables(u"C:\\Users\\Ann\\Desktop\\Demo.lnk", v), u"$DESKTOPDemo.lnk");
  TPathValues empty;
  EXPECT_EQ(ContractPathVariables(u"C:\\x", empty), u"C:\\x");
}

// The narrow contraction an install uses for every file gives what the wide one gives.
TEST(PathVariables, NarrowContractionGivesTheWideResult) {
  const TEnvironmentTable env = {{u"TEMP", u"C:\\Temp"}, {u"GAME", u"Demo"}};
  const TPathValues v = SampleValues(&env);
  const TPathContractor contractor(v);
  auto narrow = [](std::u16string_view text) { return WideToUtf8(text); };
  for (const std::u16string path :
       {u"C:\\Program Files\\Demo\\data\\a.pak", u"c:\\program files\\DEMO\\b.txt", u"C:\\Program Files\\Other\\b.txt",
        u"C:\\Users\\Ann\\Desktop\\Demo.lnk", u"C:\\Users\\Ann\\AppData\\Roaming\\x",
        u"C:\\Users\\Ann\\Start Menu\\Programs\\Demo\\Play.lnk", u"E:\\elsewhere\\%GAME%\\c.txt", u"E:\\100%\\d.txt",
        u"", u"C:"}) {
    EXPECT_EQ(contractor.Contract(narrow(path)), narrow(ContractPathVariables(path, v))) << narrow(path);
  }
  EXPECT_EQ(TPathContractor(TPathValues()).Contract("C:\\x"), "C:\\x");
}

// Folders named in any script: values and paths in Cyrillic, Greek, Japanese and beyond the
// Basic Multilingual Plane expand and contract in UTF-16 and UTF-8 alike.
TEST(PathVariables, UnicodeFoldersExpandAndContract) {
  TPathValues v;
  v.InstallDir = u"C:\\Игры\\Уни Game";
  v.DesktopPath = u"C:\\Users\\Αννα\\Desktop\\";  // a Greek user name
  v.LanguageSelection = u"日本語";
  const std::u16string file = v.InstallDir + u"\\セーブ\\🎮.dat";
  EXPECT_EQ(ExpandPathVariables(u"$INSTDIR\\セーブ\\🎮.dat", v), file);
  EXPECT_EQ(ExpandPathVariables(u"lang-$LANGUAGESELECTION", v), u"lang-日本語");
  EXPECT_EQ(ContractPathVariables(file, v), u"$INSTDIR\\セーブ\\🎮.dat");
  const TPathContractor contractor(v);
  EXPECT_EQ(contractor.Contract(WideToUtf8(file)), WideToUtf8(ContractPathVariables(file, v)));
  EXPECT_EQ(contractor.Contract(WideToUtf8(v.DesktopPath + u"Игра.lnk")), WideToUtf8(u"$DESKTOPИгра.lnk"));
}

TEST(PathVariables, CurrentValuesComeFromTheSingletonsAndTheHost) {
  testing::TRecordingHost host;
  host.AppData = u"C:\\Roaming";
  TSetupGlobals& g = Globals();
  g.SetupInfo.InstallDir = "C:\\Demo";
  g.State.DesktopPath = u"C:\\Desk\\";
  EXPECT_EQ(ExpandPathVariables(u"$INSTDIR|$APPDATA|$DESKTOP"), u"C:\\Demo|C:\\Roaming\\|C:\\Desk\\");
  EXPECT_EQ(ContractPathVariables(u"C:\\Roaming\\cfg"), u"$APPDATAcfg");
  g.SetupInfo.InstallDir.clear();
  g.State.DesktopPath.clear();
}

// The folders added later: a 32-bit setup on 64-bit Windows, where program files are two.
TPathValues LaterValues() {
  TPathValues v = SampleValues(nullptr);
  v.InstallDir = u"C:\\Users\\Ann\\AppData\\Local\\Programs\\Demo";
  v.ProgramFilesPath = u"C:\\Program Files (x86)\\";
  v.ProgramFiles64Path = u"C:\\Program Files\\";
  v.LocalAppDataPath = u"C:\\Users\\Ann\\AppData\\Local\\";
  v.DocumentsPath = u"C:\\Users\\Ann\\Documents\\";
  v.SavedGamesPath = u"C:\\Users\\Ann\\Saved Games\\";
  v.CommonDesktopPath = u"C:\\Users\\Public\\Desktop\\";
  return v;
}

TEST(PathVariables, LaterFoldersExpandAndNamesThatBeginAlikeStayApart) {
  const TPathValues v = LaterValues();
  EXPECT_EQ(ExpandPathVariables(u"$programfiles64\\Tool", v), u"C:\\Program Files\\Tool");
  EXPECT_EQ(ExpandPathVariables(u"$PROGRAMFILES\\Tool", v), u"C:\\Program Files (x86)\\Tool");
  EXPECT_EQ(ExpandPathVariables(u"$LOCALAPPDATA\\Demo|$APPDATA\\Demo", v),
            u"C:\\Users\\Ann\\AppData\\Local\\Demo|C:\\Users\\Ann\\AppData\\Roaming\\Demo");
  EXPECT_EQ(ExpandPathVariables(u"$COMMONDESKTOP\\a.lnk|$DESKTOP\\a.lnk", v),
            u"C:\\Users\\Public\\Desktop\\a.lnk|C:\\Users\\Ann\\Desktop\\a.lnk");
  EXPECT_EQ(ExpandPathVariables(u"$DOCUMENTS\\My Games|$SAVEDGAMES\\Demo", v),
            u"C:\\Users\\Ann\\Documents\\My Games|C:\\Users\\Ann\\Saved Games\\Demo");
}

TEST(PathVariables, LaterFoldersContractAndComeBackInBothForms) {
  const TPathValues v = LaterValues();
  const TPathContractor contractor(v);
  const std::pair<std::u16string, std::u16string> cases[] = {
      // The install folder lies in local application data: the longer value wins.
      {u"C:\\Users\\Ann\\AppData\\Local\\Programs\\Demo\\a.txt", u"$INSTDIR\\a.txt"},
      {u"C:\\Users\\Ann\\AppData\\Local\\Demo\\cfg", u"$LOCALAPPDATADemo\\cfg"},
      {u"C:\\Program Files\\Tool\\x.dll", u"$PROGRAMFILES64Tool\\x.dll"},
      {u"C:\\Program Files (x86)\\Tool\\x.dll", u"$PROGRAMFILESTool\\x.dll"},
      // Not "$PROGRAMFILES64bit", which would read as the other variable.
      {u"C:\\Program Files (x86)\\64bit\\x.dll", u"$PROGRAMFILES\\64bit\\x.dll"},
      {u"C:\\Users\\Ann\\Documents\\My Games\\s.sav", u"$DOCUMENTSMy Games\\s.sav"},
      {u"C:\\Users\\Ann\\Saved Games\\Demo\\s.sav", u"$SAVEDGAMESDemo\\s.sav"},
      {u"C:\\Users\\Public\\Desktop\\Demo.lnk", u"$COMMONDESKTOPDemo.lnk"},
      {u"C:\\Users\\Ann\\Desktop\\Demo.lnk", u"$DESKTOPDemo.lnk"},
  };
  for (const auto& [path, contracted] : cases) {
    EXPECT_EQ(ContractPathVariables(path, v), contracted) << WideToUtf8(path);
    EXPECT_EQ(contractor.Contract(WideToUtf8(path)), WideToUtf8(contracted)) << WideToUtf8(path);
    EXPECT_EQ(ExpandPathVariables(contracted, v), path);
  }
}

// Where two variables name one folder (program files of a 64-bit setup, or on 32-bit Windows)
// a path is written with the older name, as logs of earlier setups have it.
TEST(PathVariables, EqualFoldersContractToTheOlderName) {
  TPathValues v = LaterValues();
  v.ProgramFilesPath = v.ProgramFiles64Path;
  EXPECT_EQ(ContractPathVariables(u"C:\\Program Files\\Tool", v), u"$PROGRAMFILESTool");
  EXPECT_EQ(TPathContractor(v).Contract("C:\\Program Files\\Tool"), "$PROGRAMFILESTool");
}

TEST(EnvironmentBlock, SkipsFirstEntryAndSplitsAtFirstEquals) {
  const char16_t block[] = u"=C:=C:\\\0PATH=C:\\Windows\0ODD\0X=a=b\0\u0418\u0413\u0420\u0410=\U0001F3AE\0\0";
  const TEnvironmentTable table = ParseEnvironmentBlock(block);
  ASSERT_EQ(table.size(), 4u);
  EXPECT_EQ(table[0], (std::pair<std::u16string, std::u16string>{u"PATH", u"C:\\Windows"}));
  EXPECT_EQ(table[1], (std::pair<std::u16string, std::u16string>{}));
  EXPECT_EQ(table[2], (std::pair<std::u16string, std::u16string>{u"X", u"a=b"}));
  EXPECT_EQ(table[3], (std::pair<std::u16string, std::u16string>{u"\u0418\u0413\u0420\u0410", u"\U0001F3AE"}));
  EXPECT_TRUE(ParseEnvironmentBlock(nullptr).empty());
}

}  // namespace
}  // namespace setup

#include "core/languages.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/error.h"
#include "core/setup_state.h"
#include "test_files.h"

namespace setup {
namespace {

// A UTF-16 image with the byte-order mark of the given text (ASCII and Latin-1 only).
TBytes Image(const std::string& text) {
  TBytes image = {0xFF, 0xFE};
  for (unsigned char c : text) {
    image.push_back(c);
    image.push_back(0);
  }
  return image;
}

TLanguage Load(const std::string& text) {
  TLanguage language;
  const TBytes image = Image(text);
  language.LoadFromImage(image.data(), image.size());
  return language;
}

TEST(LanguageFile, NameIdsAndStrings) {
  const TLanguage l = Load("English\r\n0809;0409;\r\n12 < Back\r\n26\r\n27    Really quit?\r\n\"13\"\tNext >\r\n12 duplicate\r\n");
  EXPECT_EQ(l.Name, u"English");
  EXPECT_EQ(l.Ids, (std::vector<uint16_t>{0x0809, 0x0409}));
  EXPECT_EQ(*l.Find(12), u"< Back");  // the first of two lines with one number wins
  EXPECT_EQ(*l.Find(26), u"");
  EXPECT_EQ(*l.Find(27), u"Really quit?");
  EXPECT_EQ(*l.Find(13), u"Next >");
  EXPECT_EQ(l.Find(99), nullptr);
  EXPECT_EQ(Load("Single\r\n0407\r\n1 a").Ids, std::vector<uint16_t>{0x0407});
}

TEST(LanguageFile, LineEndsFollowTheCarriageReturn) {
  // A line feed alone starts the line afresh: an LF-only file reads as its last line.
  TUnicodeStringList lines;
  const TBytes lf_only = Image("Name\n0409;\n1 text");
  lines.LoadFromImage(lf_only.data(), lf_only.size());
  ASSERT_EQ(lines.Count(), 1u);
  EXPECT_EQ(lines[0], u"1 text");
  // An empty line between two line ends is a line; an odd last byte is ignored.
  TBytes image = Image("a\r\r\nb");
  image.push_back('x');
  lines.LoadFromImage(image.data(), image.size());
  ASSERT_EQ(lines.Count(), 3u);
  EXPECT_EQ(lines[1], u"");
  EXPECT_EQ(lines[2], u"b");
}

TEST(LanguageFile, BadNumbersAndMissingDataRaise) {
  EXPECT_THROW(Load("N\r\n04x9;\r\n1 a"), ESetupError);
  EXPECT_THROW(Load("N\r\n0809;0409\r\n1 a"), ESetupError);  // the last identifier lacks its ";"
  EXPECT_THROW(Load("N\r\n0409;\r\nten a"), ESetupError);
  TLanguage l;
  EXPECT_THROW(l.LoadFromImage(nullptr, 0), ESetupError);
  try {
    Load("N\r\n0409;\r\nx1 a");
  } catch (const ESetupError& e) {
    EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
  }
}

class LanguageSet : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* text : {"Deutsch\r\n0407;\r\n1 Eins\r\n",
                             "English\r\n0809;0409;\r\n1 One\r\n2 <LANG1> and <LANG3>\r\n3 three\r\n4 <LANG4>\r\n"
                             "5 Say <LA<LANG6>\r\n6 NG1> <LANG7><LANG7>\r\n7 <LANG7>.<LANG7>"}) {
      const TBytes image = Image(text);
      set_.AddLanguage(image.data(), image.size());
    }
  }
  TLanguages set_;
};

TEST_F(LanguageSet, FindAndGetString) {
  EXPECT_EQ(set_.FindLanguage(0x0409), 1);
  EXPECT_EQ(set_.FindLanguage(0x040c), -1);
  EXPECT_EQ(set_.GetString(1), u"NOT FOUND 1");  // no current table yet
  set_.Current = 1;
  EXPECT_EQ(set_.GetString(1), u"One");
  EXPECT_EQ(set_.GetString(99), u"NOT FOUND 99");
  set_.Current = 0;
  EXPECT_EQ(set_.GetString(1), u"Eins");
}

TEST_F(LanguageSet, TokensExpandInsideStringsAndOnlyInUpperCase) {
  set_.Current = 1;
  EXPECT_EQ(set_.ExpandLanguageTokens(u"<LANG2>!"), u"One and three!");
  EXPECT_EQ(set_.ExpandLanguageTokens(u"<lang3> <LANG3>"), u"<lang3> three");
  EXPECT_EQ(set_.ExpandLanguageTokens(u"<LANG77>"), u"NOT FOUND 77");
  EXPECT_THROW(set_.ExpandLanguageTokens(u"<LANG3"), ESetupError);
  // A string made of its own token ends instead of looping.
  EXPECT_EQ(set_.ExpandLanguageTokens(u"<LANG4>"), u"<LANG4>");
  // A token may be made of two strings; one that names itself twice stops growing at a bound.
  const std::u16string grown = set_.ExpandLanguageTokens(u"<LANG5>");
  EXPECT_EQ(grown.substr(0, 8), u"Say One ");
  EXPECT_GT(grown.size(), 10000u);
  EXPECT_LT(grown.size(), 20000u);
  set_.Current = 7;
  EXPECT_EQ(set_.ExpandLanguageTokens(u"<LANG1>"), u"<LANG1>");
}

TEST(TextChain, TokensBreaksAndPlaceholders) {
  Globals() = TSetupGlobals();
  Languages() = TLanguages();
  const TBytes image = Image("English\r\n0409;\r\n100 Welcome to <%SETUPTITLE%>\r\n");
  Languages().AddLanguage(image.data(), image.size());
  SelectLanguage(0x0409);
  RegisterPlaceholders();
  Globals().SetupInfo.SetupName = "Demo";  // read at expansion time, not at registration
  Globals().State.RequiredText = "1.50 MB";
  EXPECT_EQ(ExpandTextChain(u"<LANG100>.a<br>b<BR><%spacereq%>"), u"Welcome to Demo.a\rb\r1.50 MB");
  Globals() = TSetupGlobals();
  Languages() = TLanguages();
}

// Every language the builder ships loads and defines the strings the program shows.
TEST(ShippedLanguages, LoadAndDefineTheProgramsStrings) {
  const std::filesystem::path folder = std::filesystem::path(SETUP_SOURCE_DIR) / "languages";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".wri") continue;
    ++files;
    const TBytes image = testing::ReadFile(entry.path().string());
    TLanguage l;
    ASSERT_NO_THROW(l.LoadFromImage(image.data(), image.size())) << entry.path();
    EXPECT_FALSE(l.Ids.empty()) << entry.path();
    for (TStringNumber n : {kStrSpaceAvailable, kStrBack, kStrNext, kStrCancel, kStrInstall, kStrFinish, kStrCopying,
                            kStrExtracting, kStrProgress, kStrSaving, kStrInstallFailed, kStrRegistryEntries,
                            kStrFolders, kStrUninstall, kStrQuitQuestion, kStrQuit, kStrOpening}) {
      EXPECT_NE(l.Find(n), nullptr) << entry.path() << " lacks string " << n;
    }
  }
  EXPECT_GE(files, 3);
}

}  // namespace
}  // namespace setup

#include "core/text.h"

#include <gtest/gtest.h>

namespace setup {
namespace {

TEST(SizeText, UnitsAndRounding) {
  EXPECT_EQ(SizeText(0), "0.00 Bytes");
  EXPECT_EQ(SizeText(1023), "1023.00 Bytes");
  EXPECT_EQ(SizeText(1024), "1.00 KB");
  EXPECT_EQ(SizeText(1536), "1.50 KB");
  EXPECT_EQ(SizeText(1048576), "1.00 MB");
  EXPECT_EQ(SizeText(1073741823), "1024.00 MB");
  EXPECT_EQ(SizeText(5LL << 30), "5.00 GB");
  EXPECT_EQ(SizeText(5LL << 40), "5120.00 GB");
}

TEST(SizeText, NegativeAndHugeValues) {
  // A failed free-space query gives -1, which stays in bytes.
  EXPECT_EQ(SizeText(-1), "-1.00 Bytes");
  // Ten million GB and more no longer fit seven integer digits.
  EXPECT_EQ(SizeText(10000000LL << 30), "1E+07 GB");
}

TEST(ReplaceText, CaseInsensitiveAndRestarting) {
  EXPECT_EQ(ReplaceText("$instdir\\a", "$INSTDIR", "C:\\X"), "C:\\X\\a");
  EXPECT_EQ(ReplaceText("a\\\\\\\\b", "\\\\", "\\"), "a\\b");  // joined-up pairs replaced too
  EXPECT_EQ(ReplaceText("abc", "", "x"), "abc");
  EXPECT_EQ(ReplaceText("abc", "d", "x"), "abc");
  EXPECT_EQ(ReplaceText("ÄaA", "a", "b"), "Äbb");  // only ASCII letters fold
}

TEST(ReplaceText, ReplacementHoldingTheKeyEnds) {
  EXPECT_EQ(ReplaceText("x.x", "x", "xx"), "xx.xx");
  EXPECT_EQ(ReplaceText("%A%", "%a%", "[%A%]"), "[%A%]");
  EXPECT_EQ(ReplaceText(u"$DIR\\$dir", u"$DIR", u"$DIR$DIR"), u"$DIR$DIR\\$DIR$DIR");
}

TEST(StripCopyMarks, RemovesOnlyDigitMarks) {
  EXPECT_EQ(StripCopyMarks("setup (2).exe"), "setup.exe");
  EXPECT_EQ(StripCopyMarks("my setup (beta) (3).exe"), "my setup (beta).exe");
  EXPECT_EQ(StripCopyMarks("setup[3].exe"), "setup.exe");
  EXPECT_EQ(StripCopyMarks("setup().exe"), "setup.exe");
  EXPECT_EQ(StripCopyMarks("setup(10).exe"), "setup(10).exe");
  EXPECT_EQ(StripCopyMarks("setup(beta).exe"), "setup(beta).exe");
  EXPECT_EQ(StripCopyMarks("setup(2.exe"), "setup(2.exe");
  EXPECT_EQ(StripCopyMarks("a(1)(2)[3]b"), "ab");
  EXPECT_EQ(StripCopyMarks("a([2])b"), "a()b");  // brackets go after parentheses
}

TEST(SmallHelpers, BackslashesNamesAndEquals) {
  EXPECT_EQ(WithTrailingBackslash(std::string()), "");
  EXPECT_EQ(WithTrailingBackslash(std::string("C:\\x")), "C:\\x\\");
  EXPECT_EQ(WithTrailingBackslash(std::string("C:\\")), "C:\\");
  EXPECT_EQ(SplitAtEquals("colour=$FFFFFF"), (std::pair<std::string, std::string>{"colour", "$FFFFFF"}));
  EXPECT_EQ(SplitAtEquals("a=b=c"), (std::pair<std::string, std::string>{"a", "b=c"}));
  EXPECT_EQ(SplitAtEquals("plain"), (std::pair<std::string, std::string>{"", "plain"}));
  EXPECT_EQ(FileNamePart("C:\\Games\\Setup.EXE"), "Setup.EXE");
  EXPECT_EQ(FileNamePart("setup.exe"), "setup.exe");
  EXPECT_TRUE(SameTextAscii("SetupInfo", "SETUPINFO"));
  EXPECT_FALSE(SameTextAscii("SetupInfo", "SetupInf"));
}

TEST(SafeRelativeParts, NamesThatCouldLeaveTheOutputFolderAreRefused) {
  using Parts = std::vector<std::string>;
  EXPECT_EQ(SafeRelativeParts("Data\\Maps/town.map"), (Parts{"Data", "Maps", "town.map"}));
  EXPECT_EQ(SafeRelativeParts("a..b\\.hidden"), (Parts{"a..b", ".hidden"}));
  for (const char* unsafe : {"", "..\\evil.txt", "a\\..\\..\\b", "\\abs.txt", "/etc/passwd", "C:\\abs.txt", "C:rel.txt",
                             "a\\\\b", "a\\", ".", "a\\.\\b", "file.txt:stream", "tab\there"}) {
    EXPECT_FALSE(SafeRelativeParts(unsafe)) << unsafe;
  }
}

}  // namespace
}  // namespace setup

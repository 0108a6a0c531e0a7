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

// Every plane: one character of each UTF-8 length, a pair of surrogates for the
// supplementary planes, and the last code point of Unicode.
TEST(Unicode, Utf8AndUtf16CarryEveryPlane) {
  const std::string utf8 = "A\xC3\xA9\xD0\x98\xE6\x97\xA5\xEF\xBF\xBD\xF0\x9F\x8E\xAE\xF4\x8F\xBF\xBF";  // A é И 日 U+FFFD 🎮 U+10FFFF
  const std::u16string wide = u"A\u00E9\u0418\u65E5\uFFFD\U0001F3AE\U0010FFFF";
  EXPECT_EQ(Utf8ToWide(utf8), wide);
  EXPECT_EQ(WideToUtf8(wide), utf8);
  EXPECT_EQ(wide.size(), 9u);  // two units each for the last two
  EXPECT_TRUE(IsValidUtf8(utf8));
  EXPECT_FALSE(IsAscii(utf8));
  EXPECT_TRUE(IsAscii("plain $INSTDIR\\a.txt"));
  // Every code point of the Basic Multilingual Plane but the surrogates, and a sample above.
  std::u16string all;
  for (char32_t c = 1; c < 0x10000; ++c) {
    if (c < 0xD800 || c > 0xDFFF) all.push_back(static_cast<char16_t>(c));
  }
  for (char32_t c = 0x10000; c <= 0x10FFFF; c += 0x3FF) {
    all.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
    all.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
  }
  EXPECT_TRUE(IsValidUtf8(WideToUtf8(all)));
  EXPECT_EQ(Utf8ToWide(WideToUtf8(all)), all);
}

TEST(Unicode, InvalidBytesReadAsReplacementAndLoneSurrogatesRoundTrip) {
  const std::u16string r = u"\uFFFD";
  EXPECT_EQ(Utf8ToWide("a\x80z"), u"a" + r + u"z");                   // stray continuation byte
  EXPECT_EQ(Utf8ToWide("a\xE6\x97"), u"a" + r + r);                    // cut at the end
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), r + r);                            // over-long "/"
  EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), r + r + r + r);            // past U+10FFFF
  EXPECT_EQ(Utf8ToWide("Caf\xE9 ok"), u"Caf" + r + u" ok");            // Windows-1252 bytes
  for (const char* invalid : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\x80", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80", "Caf\xE9"}) {
    EXPECT_FALSE(IsValidUtf8(invalid)) << invalid;
  }
  // A name the system hands out with a surrogate that has no partner reaches it again as it was.
  for (const std::u16string& odd : {std::u16string(u"a\xD800z"), std::u16string(u"\xDC00"), std::u16string(u"x\xDBFF")}) {
    EXPECT_EQ(Utf8ToWide(WideToUtf8(odd)), odd);
    EXPECT_FALSE(IsValidUtf8(WideToUtf8(odd)));
  }
}

TEST(Unicode, OlderTextsAreReadAsWindows1252) {
  EXPECT_EQ(Windows1252ToUtf8("Caf\xE9 \x80 \x9F \x81"), "Caf\xC3\xA9 \xE2\x82\xAC \xC5\xB8 \xC2\x81");
  const auto legacy = [](std::string_view t) { return Windows1252ToUtf8(t); };
  // A script or layout in UTF-8 stays, with or without its byte-order mark; anything else is 1252.
  EXPECT_EQ(TextFileToUtf8("\xEF\xBB\xBF\xD0\xA3\xD0\xBD\xD0\xB8", +legacy), "\xD0\xA3\xD0\xBD\xD0\xB8");
  EXPECT_EQ(TextFileToUtf8("name Caf\xC3\xA9", +legacy), "name Caf\xC3\xA9");
  EXPECT_EQ(TextFileToUtf8("name Caf\xE9", +legacy), "name Caf\xC3\xA9");
  EXPECT_EQ(TextFileToUtf8("", +legacy), "");
}

TEST(Unicode, LowerCaseCoversEveryAlphabet) {
  EXPECT_EQ(LowerUnicode("SETUP.EXE"), "setup.exe");
  EXPECT_EQ(LowerUnicode("\xC3\x84PFEL"), "\xC3\xA4pfel");                           // Äpfel
  EXPECT_EQ(LowerUnicode("\xD0\xA3\xD0\x9D\xD0\x98"), "\xD1\x83\xD0\xBD\xD0\xB8");     // УНИ -> уни
  EXPECT_EQ(LowerUnicode("\xCE\xA9\xCE\x9C"), "\xCF\x89\xCE\xBC");                     // ΩΜ -> ωμ
  EXPECT_EQ(LowerUnicode("\xE6\x97\xA5\xF0\x90\x90\x80"), "\xE6\x97\xA5\xF0\x90\x90\xA8");  // 日, Deseret 𐐀 -> 𐐨
}

// Paths from 248 characters on go to the system full and in the long form; shorter ones, relative
// ones and ones with a prefix of their own go as they are.
TEST(LongPaths, OnlyLongAbsolutePathsTakeTheLongForm) {
  const std::u16string tail(kLongPathFrom, u'x');
  EXPECT_TRUE(NeedsLongPathForm(u"C:\\" + tail));
  EXPECT_TRUE(NeedsLongPathForm(u"c:/" + tail));
  EXPECT_TRUE(NeedsLongPathForm(u"\\\\server\\share\\" + tail));
  EXPECT_TRUE(NeedsLongPathForm(u"//server/share/" + tail));
  EXPECT_FALSE(NeedsLongPathForm((u"C:\\" + tail).substr(0, kLongPathFrom - 1)));
  EXPECT_TRUE(NeedsLongPathForm((u"C:\\" + tail).substr(0, kLongPathFrom)));
  for (const std::u16string& as_is :
       {u"\\\\?\\C:\\" + tail, u"\\\\.\\C:\\" + tail, u"\\??\\C:\\" + tail, u"\\\\?\\UNC\\server\\" + tail,
        u"C:" + tail, u"relative\\" + tail, u"\\" + tail, u"\\\\\\" + tail}) {
    EXPECT_FALSE(NeedsLongPathForm(as_is)) << WideToUtf8(as_is.substr(0, 12));
  }

  EXPECT_EQ(LongPathForm(u"C:\\Games\\Demo"), u"\\\\?\\C:\\Games\\Demo");
  EXPECT_EQ(LongPathForm(u"d:/Games/Demo/"), u"\\\\?\\d:\\Games\\Demo\\");
  EXPECT_EQ(LongPathForm(u"\\\\server\\share\\Demo"), u"\\\\?\\UNC\\server\\share\\Demo");
  EXPECT_EQ(LongPathForm(u"//server/share/Demo"), u"\\\\?\\UNC\\server\\share\\Demo");
  EXPECT_EQ(LongPathForm(u"C:\\\u0418\u0433\u0440\u044B\\\U0001F3AE"),
            u"\\\\?\\C:\\\u0418\u0433\u0440\u044B\\\U0001F3AE");
  for (const std::u16string& as_is : {std::u16string(u"\\\\?\\C:\\x"), std::u16string(u"\\\\.\\pipe\\x"),
                                      std::u16string(u"C:x"), std::u16string(u"Games\\Demo"), std::u16string()}) {
    EXPECT_EQ(LongPathForm(as_is), as_is);
  }
}

}  // namespace
}  // namespace setup

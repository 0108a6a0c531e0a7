#include "core/setup_info.h"

#include <gtest/gtest.h>

#include <clocale>

#include "core/command_list.h"
#include "core/error.h"
#include "core/file_stream.h"
#include "setup_records.h"
#include "test_files.h"

namespace setup {
namespace {

using testing::FilledSetupInfo;

TEST(SetupInfo, EmptyRecordIsFortyFiveBytes) {
  TSetupInfoFile empty;
  EXPECT_EQ(empty.Serialize().size(), 45u);
  EXPECT_FALSE(empty.HasInstallDirRegKey());
}

TEST(SetupInfo, RoundTripKeepsEveryField) {
  const TSetupInfoFile info = FilledSetupInfo();
  const std::string bytes = info.Serialize() + "trailing bytes are ignored";
  TSetupInfoFile back;
  back.LoadFromBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(back.Serialize(), info.Serialize());
  EXPECT_EQ(back.InstallDirRegKey[0].Path, "Software\\Demo");
  EXPECT_EQ(back.InstallDirRegKey[4].HKey, 3);
  EXPECT_EQ(back.Mode, 1);
  EXPECT_TRUE(back.HasInstallDirRegKey());
}

TEST(SetupInfo, SaveToFileWritesTheSerializedRecord) {
  const std::string path = testing::ScratchPath("SetupInfo.bin");
  ASSERT_TRUE(FilledSetupInfo().SaveToFile(path));
  const TBytes bytes = testing::ReadFile(path);
  const std::string expected = FilledSetupInfo().Serialize();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);
}

TEST(SetupInfo, EveryTruncationRaises) {
  const std::string bytes = FilledSetupInfo().Serialize();
  for (size_t n = 0; n < bytes.size(); ++n) {
    TSetupInfoFile info;
    EXPECT_THROW(info.LoadFromBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), n), ESetupError) << n;
  }
}

// The settings list goes behind the last field, only when there are settings.
TEST(SetupInfo, SettingsRoundTripBehindTheLastField) {
  TSetupInfoFile info = FilledSetupInfo();
  const std::string plain = info.Serialize();
  info.SetSetting(kSettingPublisher, "Demo Company");
  info.SetSetting(kSettingVersion, "1.0");
  info.SetSetting("FutureSetting", "kept as it is");
  const std::string bytes = info.Serialize();
  ASSERT_EQ(bytes.compare(0, plain.size(), plain), 0);
  EXPECT_EQ(bytes.substr(plain.size(), 6), std::string("SETX\x03\x00", 6));
  TSetupInfoFile back;
  back.LoadFromBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(back.Settings, info.Settings);
  EXPECT_EQ(back.Setting("publisher"), "Demo Company");
  EXPECT_EQ(back.Setting(kSettingHelpLink), "");
  EXPECT_EQ(back.Serialize(), bytes);
  // A reader of the first form reads the fields in front as before: the list is invisible.
  TSetupInfoFile first_form;
  first_form.LoadFromBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), plain.size());
  EXPECT_TRUE(first_form.Settings.empty());
  EXPECT_EQ(first_form.Serialize(), plain);
}

TEST(SetupInfo, SetSettingReplacesInPlaceAndEmptyRemoves) {
  TSetupInfoFile info;
  info.SetSetting("A", "1");
  info.SetSetting("B", "2");
  info.SetSetting("a", "3");
  ASSERT_EQ(info.Settings.size(), 2u);
  EXPECT_EQ(info.Settings[0], (TSetupSetting{"A", "3"}));
  info.SetSetting("A", "");
  ASSERT_EQ(info.Settings.size(), 1u);
  EXPECT_EQ(info.Settings[0].Name, "B");
  info.SetSetting("B", "");
  EXPECT_EQ(info.Serialize(), TSetupInfoFile().Serialize());
  // A record that names a setting twice reads its last value; setting it keeps one.
  info.Settings = {{"A", "1"}, {"B", "2"}, {"a", "3"}};
  EXPECT_EQ(info.Setting("A"), "3");
  info.SetSetting("A", "4");
  EXPECT_EQ(info.Settings, (std::vector<TSetupSetting>{{"A", "4"}, {"B", "2"}}));
}

// Trailing bytes without the mark are ignored as ever; a list that the record cuts short, or
// whose count passes its bytes, is corrupt.
// A record read from anywhere: only the exact words (any case) switch the setup's behaviour.
TEST(SetupInfo, ArchitectureAndInstallModeReadTheirWordsOnly) {
  TSetupInfoFile info;
  EXPECT_FALSE(info.Native64());
  EXPECT_FALSE(info.PerUser());
  info.SetSetting(kSettingArchitecture, "X64");
  info.SetSetting(kSettingInstallMode, "USER");
  EXPECT_TRUE(info.Native64());
  EXPECT_TRUE(info.PerUser());
  TSetupInfoFile read;
  const std::string bytes = info.Serialize();
  read.LoadFromBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_TRUE(read.Native64() && read.PerUser());
  for (const char* other : {"x86", "x64 ", "amd64", "admin"}) {
    info.SetSetting(kSettingArchitecture, other);
    info.SetSetting(kSettingInstallMode, other);
    EXPECT_FALSE(info.Native64()) << other;
    EXPECT_FALSE(info.PerUser()) << other;
  }
}

TEST(SetupInfo, DamagedSettingsRaiseWithoutAllocating) {
  TSetupInfoFile info = FilledSetupInfo();
  const size_t plain = info.Serialize().size();
  info.SetSetting(kSettingDisplayIcon, "$INSTDIR\\game.exe");
  info.SetSetting(kSettingAboutUrl, "https://example.com/");
  const std::string bytes = info.Serialize();
  for (size_t n = plain; n < bytes.size(); ++n) {
    TSetupInfoFile back;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    if (n < plain + 4) {
      back.LoadFromBuffer(data, n);  // part of the mark: not a list, ignored
      EXPECT_TRUE(back.Settings.empty()) << n;
    } else {
      EXPECT_THROW(back.LoadFromBuffer(data, n), ESetupError) << n;
    }
  }
  std::string huge = bytes.substr(0, plain) + std::string("SETX\xFF\xFF", 6) + "ab";
  TSetupInfoFile back;
  EXPECT_THROW(back.LoadFromBuffer(reinterpret_cast<const uint8_t*>(huge.data()), huge.size()), ESetupError);
}

TEST(CompLines, RoundTripKeepsPositionsAndParameters) {
  TCompLines lines;
  lines.Lines = {{-1, {}, 0, -1}, {0, {"start"}, 1, 1}, {7, {"data", "1"}, 2, 2}, {19, {}, 0, 3}};
  const std::string bytes = lines.Serialize();
  TCompLines back;
  back.LoadFromBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  ASSERT_EQ(back.Lines.size(), 4u);
  EXPECT_EQ(back.Lines[0].LineIndex, -1);
  EXPECT_EQ(back.Lines[1].Params, std::vector<std::string>{"start"});
  EXPECT_EQ(back.Lines[2].Command, 7);
  EXPECT_EQ(back.Lines[2].ParamCount, 2);
  EXPECT_TRUE(back.Lines[3].Params.empty());
  EXPECT_EQ(back.Serialize(), bytes);
}

TEST(CompLines, EmptyScriptHasNoLines) {
  const uint8_t zero[] = {0, 0};
  TCompLines lines;
  lines.Lines.resize(3);
  lines.LoadFromBuffer(zero, sizeof zero);
  EXPECT_TRUE(lines.Lines.empty());
}

TEST(CompLines, TruncatedOrOversizedCountsRaiseWithoutAllocating) {
  TCompLines lines;
  lines.Lines = {{7, {"data", "1"}, 2, 0}, {31, {"a", "b"}, 2, 1}};
  const std::string bytes = lines.Serialize();
  for (size_t n = 0; n < bytes.size(); ++n) {
    TCompLines back;
    EXPECT_THROW(back.LoadFromBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), n), ESetupError) << n;
  }
  // A parameter count of two billion in a 20-byte buffer is refused before anything is sized.
  const uint8_t huge[] = {1, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0};
  TCompLines back;
  EXPECT_THROW(back.LoadFromBuffer(huge, sizeof huge), ESetupError);
  const uint8_t negative[] = {1, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_THROW(back.LoadFromBuffer(negative, sizeof negative), ESetupError);
}

TEST(RegistryRoots, ShortNamesOnlyAndUpperCased) {
  EXPECT_EQ(RootNameToIndex("HKLM"), 0);
  EXPECT_EQ(RootNameToIndex("hkcu"), 1);
  EXPECT_EQ(RootNameToIndex("HkCr"), 2);
  EXPECT_EQ(RootNameToIndex("HKU"), 3);
  EXPECT_EQ(RootNameToIndex("HKCC"), 4);
  EXPECT_EQ(RootNameToIndex("HKEY_CURRENT_USER"), 0);
  EXPECT_EQ(RootNameToIndex(""), 0);
  EXPECT_EQ(RootIndexToLongName(3), "HKEY_USERS");
  EXPECT_EQ(RootIndexToLongName(5), "!ERROR!");
  EXPECT_EQ(RootIndexToLongName(-1), "!ERROR!");
}

TEST(FloatText, PointAndTrailingZeroWhateverTheLocale) {
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");  // may not exist here; the result must not depend on it
  EXPECT_EQ(FloatText(3), "3.0");
  EXPECT_EQ(FloatText(0.5), "0.5");
  EXPECT_EQ(FloatText(2.5), "2.5");
  EXPECT_EQ(FloatText(-0.958924274663138), "-0.958924274663138");
  EXPECT_EQ(FloatText(0.1 + 0.2), "0.3");
  std::setlocale(LC_NUMERIC, "C");
}

TEST(StringsOnFiles, WriteThenReadBack) {
  const std::string path = testing::ScratchPath("strings.bin");
  {
    auto f = TFileStream::Open(path, TFileMode::Create);
    EXPECT_TRUE(WriteString(*f, "first"));
    EXPECT_TRUE(WriteString(*f, ""));
    EXPECT_TRUE(WriteString(*f, std::string("\0\xFF", 2)));
  }
  auto f = TFileStream::Open(path, TFileMode::Read);
  EXPECT_EQ(ReadString(*f), "first");
  EXPECT_EQ(ReadString(*f), "");
  EXPECT_EQ(ReadString(*f), std::string("\0\xFF", 2));
  EXPECT_EQ(ReadString(*f), "");  // nothing left
}

}  // namespace
}  // namespace setup

namespace setup {
namespace {

TEST(SetupInfo, OverlongTextIsCutNotWrapped) {
  TSetupInfoFile info;
  info.Changelog = std::string(65546, 'c');
  const std::string bytes = info.Serialize();
  TSetupInfoFile back;
  back.LoadFromBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(back.Changelog, std::string(65535, 'c'));
}

}  // namespace
}  // namespace setup

namespace setup {
namespace {

// Every text field of the record, by its name: a field left out of the ASCII check or of the
// conversion shows here.
std::vector<std::pair<const char*, std::string*>> TextFields(TSetupInfoFile& info) {
  std::vector<std::pair<const char*, std::string*>> fields = {{"SetupName", &info.SetupName},
                                                              {"ShortName", &info.ShortName},
                                                              {"SetupExeName", &info.SetupExeName},
                                                              {"UninstallExeName", &info.UninstallExeName},
                                                              {"UninstallPrefix", &info.UninstallPrefix},
                                                              {"InstallDir", &info.InstallDir},
                                                              {"Changelog", &info.Changelog},
                                                              {"Pages", &info.Pages},
                                                              {"UninstallPages", &info.UninstallPages}};
  for (TInstallDirRegKey& slot : info.InstallDirRegKey) {
    fields.push_back({"InstallDirRegKey.Path", &slot.Path});
    fields.push_back({"InstallDirRegKey.Key", &slot.Key});
  }
  for (TSetupSetting& setting : info.Settings) {
    fields.push_back({"Settings.Name", &setting.Name});
    fields.push_back({"Settings.Value", &setting.Value});
  }
  return fields;
}

// A filled record with one setting, whose name and value are texts like the fields.
TSetupInfoFile FilledWithSetting() {
  TSetupInfoFile info = FilledSetupInfo();
  info.SetSetting(kSettingPublisher, "Demo Company");
  return info;
}

TEST(SetupInfo, AnyTextFieldThatIsNotAsciiMakesTheRecordNotAscii) {
  EXPECT_TRUE(FilledSetupInfo().AllAscii());
  EXPECT_TRUE(TSetupInfoFile().AllAscii());
  TSetupInfoFile probe = FilledWithSetting();
  const size_t count = TextFields(probe).size();
  EXPECT_EQ(count, 21u);
  for (size_t i = 0; i < count; ++i) {
    TSetupInfoFile info = FilledWithSetting();
    *TextFields(info)[i].second += "\xC3\xA9";
    EXPECT_FALSE(info.AllAscii()) << TextFields(info)[i].first << " " << i;
  }
  // The mode bytes and registry roots are no text.
  TSetupInfoFile info = FilledSetupInfo();
  info.Mode = 0xE9;
  info.InstallDirRegKey[2].HKey = 0xFF;
  EXPECT_TRUE(info.AllAscii());
}

TEST(SetupInfo, LegacyTextsAreConvertedInEveryField) {
  // The portable host reads the ANSI code page as Windows-1252.
  TSetupInfoFile info = FilledWithSetting();
  for (auto& [name, field] : TextFields(info)) *field = std::string("\x80 ") + name + " \xE9";
  info.InstallDirRegKey[1].Key = "plain";
  info.LegacyTextsToUtf8();
  for (auto& [name, field] : TextFields(info)) {
    if (*field == "plain") continue;
    EXPECT_EQ(*field, std::string("€ ") + name + " é");
  }
  EXPECT_EQ(info.InstallDirRegKey[1].Key, "plain");
  EXPECT_EQ(info.Mode, 1);
  EXPECT_EQ(info.InstallDirRegKey[4].HKey, 3);
  EXPECT_FALSE(info.AllAscii());
}

// The enciphered archive password is bytes for the game archive: never counted as text that is
// not ASCII, never converted.
TEST(CompLines, EncipheredPasswordsAreNoTextAndStayAsTheyAre) {
  constexpr int kKzpUpdate = CommandNumberOf("kzpupdate");
  constexpr int kKzpOfficial = CommandNumberOf("kzpofficial");
  constexpr int kFile = CommandNumberOf("file");
  const std::string password("\x83\xE9\x7F\xFF", 4);
  TCompLines lines;
  lines.Lines = {{kKzpUpdate, {"more", password, "game.kzp", "2"}, 4, 0},
                 {kKzpOfficial, {"game.kzp", password, "TRUE"}, 3, 1},
                 {kKzpUpdate, {"short"}, 1, 2},
                 {kFile, {"files", "1"}, 2, 3}};
  EXPECT_TRUE(lines.AllAscii());
  lines.Lines[3].Params[1] = "\xE9";  // the same place in another command is text
  EXPECT_FALSE(lines.AllAscii());
  lines.Lines[3].Params[1] = "1";
  lines.Lines[0].Params[2] = "sp\xEAl.kzp";
  EXPECT_FALSE(lines.AllAscii());

  lines.Lines[1].Params[0] = "sp\xEAl.kzp";
  lines.Lines[3].Params[0] = "\x80";
  lines.LegacyTextsToUtf8();
  EXPECT_EQ(lines.Lines[0].Params, (std::vector<std::string>{"more", password, "spêl.kzp", "2"}));
  EXPECT_EQ(lines.Lines[1].Params, (std::vector<std::string>{"spêl.kzp", password, "TRUE"}));
  EXPECT_EQ(lines.Lines[2].Params, std::vector<std::string>{"short"});
  EXPECT_EQ(lines.Lines[3].Params, (std::vector<std::string>{"€", "1"}));
  EXPECT_EQ(lines.Lines[0].ParamCount, 4);
  EXPECT_FALSE(IsEncipheredParameter(kKzpUpdate, 0));
  EXPECT_FALSE(IsEncipheredParameter(kFile, 1));
}

}  // namespace
}  // namespace setup

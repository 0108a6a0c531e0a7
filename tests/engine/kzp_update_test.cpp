// TPakSystem: the archive commands' work on KZP archives of the install folder, with the
// package, the status texts, the retry dialog and the fatal stops of the program around the
// archive format library.
#include "engine/kzp_update.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/deflate.h"
#include "core/error.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/seeded_cipher.h"
#include "core/setup_state.h"
#include "kzp_fixtures.h"
#include "test_host.h"

namespace setup {
namespace {

using namespace setup::testing;

const std::string kPath = "C:\\Game\\game.kzp";

// What a fatal application exit throws in tests, so the test can see the message.
struct TFatalStop {
  std::string Message;
};

class TFatalHost : public TRecordingHost {
 public:
  [[noreturn]] void FatalAppExit(const std::string& message) override { throw TFatalStop{message}; }
};

// A package entry for InstallPackage.
struct TPackageEntry {
  std::string Name;
  uint16_t Group;
  TBytes Data;
};

// Writes a setup package and installs it as the process's package.
void InstallPackage(const std::string& file, const std::vector<TPackageEntry>& entries) {
  const std::string path = ScratchPath(file);
  {
    TPak pak(path, pmCreate);
    for (const TPackageEntry& e : entries) {
      const int i = pak.AddEntry(e.Name, "", e.Group);
      if (e.Data.empty()) {
        pak.Directory()[i].Size = 0;
        pak.Directory()[i].Offset = 0;
      } else {
        pak.StoreFromMemory(i, e.Data.data(), static_cast<uint32_t>(e.Data.size()));
      }
    }
    pak.WriteDirectory();
    pak.Close();
  }
  Globals().Package = std::make_unique<TPak>(path, pmRead);
}

struct TCancelled {};

class KzpUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals() = TSetupGlobals();
    Languages() = TLanguages();
    Globals().SetupInfo.InstallDir = "C:\\Game";
    kzp.Files = &files;
    kzp.SeedRandom(7);
    kzp.Today = [this] { return today; };
    kzp.CancelExit = [] { throw TCancelled{}; };
  }
  void TearDown() override {
    Globals() = TSetupGlobals();
    Languages() = TLanguages();
  }

  void PackageWithGroupOne(const std::vector<TPackageEntry>& group_one) {
    std::vector<TPackageEntry> entries = {{"SetupInfo", 0, TextBytes(100)}};
    entries.insert(entries.end(), group_one.begin(), group_one.end());
    entries.push_back({"other.txt", 2, TextBytes(10)});
    InstallPackage("kzp_update.pak", entries);
  }

  TFatalHost host;
  TMemoryFileSystem files;
  TPakSystem kzp;
  uint32_t today = KzpDosDate(2024, 5, 6);
};

TEST_F(KzpUpdate, EveryTrailerFormEndsAsEih2AfterAWrite) {
  const TBytes body = ArchiveBody(TwoEntries());
  const std::vector<std::pair<TBytes, std::string>> forms = {{{}, ""},
                                                            {OldTrailer("secret123"), "secret123"},
                                                            {Eih1Trailer("pass", 3, 4), "pass"},
                                                            {EncodeKzpTrailer("pass", 0, 5, 6), "pass"}};
  const TKzpTrailerForm read_as[] = {TKzpTrailerForm::None, TKzpTrailerForm::Old, TKzpTrailerForm::Eih1,
                                     TKzpTrailerForm::Eih2};
  for (size_t i = 0; i < forms.size(); ++i) {
    const auto& [trailer, password] = forms[i];
    EXPECT_EQ(IndexOf(Concat(body, trailer)).Trailer.Form, read_as[i]);
    EXPECT_EQ(IndexOf(Concat(body, trailer)).Trailer.Password, password);
    files.Put(kPath, Concat(body, trailer));
    kzp.SetOfficial("game.kzp", "VorMelt", "true");
    const TBytes after = files.Bytes(kPath);
    const TKzpIndex index = IndexOf(after);
    EXPECT_EQ(index.Trailer.Form, TKzpTrailerForm::Eih2);
    EXPECT_EQ(index.Trailer.Password, password);
    EXPECT_EQ(index.Trailer.Official, 1);
    EXPECT_EQ(Names(index), (std::vector<std::string>{"Data\\A.txt", "b.bin"}));
    EXPECT_TRUE(std::equal(body.begin(), body.begin() + static_cast<long>(index.DirectoryStart), after.begin()));
    EXPECT_EQ(ContentOf(after, index.Records[0]), TextBytes(3000));
  }

  PackageWithGroupOne({{"new.txt", 1, TextBytes(77)}});
  files.Put(kPath, body);
  kzp.UpdateFromPackage(1, "game.kzp", "");
  EXPECT_EQ(IndexOf(files.Bytes(kPath)).Trailer.Form, TKzpTrailerForm::Eih2);
}

TEST_F(KzpUpdate, SecondRunAppendsNothingAndKeepsTheDates) {
  PackageWithGroupOne({{"data\\a.txt", 1, TextBytes(5000)}, {"data\\b.bin", 1, NoiseBytes(3000)}});
  files.Put(kPath, ArchiveBody(TwoEntries()));
  today = KzpDosDate(2024, 1, 1);
  kzp.UpdateFromPackage(1, "game.kzp", "");
  const TBytes first = files.Bytes(kPath);
  const TKzpIndex before = IndexOf(first);

  today = KzpDosDate(2024, 1, 2);
  kzp.UpdateFromPackage(1, "game.kzp", "");
  const TBytes second = files.Bytes(kPath);
  const TKzpIndex after = IndexOf(second);

  EXPECT_EQ(second.size(), first.size());
  EXPECT_EQ(after.DirectoryStart, before.DirectoryStart);
  ASSERT_EQ(after.Records.size(), before.Records.size());
  for (size_t i = 0; i < after.Records.size(); ++i) {
    EXPECT_EQ(after.Records[i].Name, before.Records[i].Name);
    EXPECT_EQ(after.Records[i].Offset, before.Records[i].Offset);
    EXPECT_EQ(after.Records[i].FileDate, before.Records[i].FileDate);
  }
  EXPECT_EQ(after.Records.back().FileDate, KzpDosDate(2024, 1, 1));
  EXPECT_EQ(ContentOf(second, after.Records.back()), NoiseBytes(3000));
}

TEST_F(KzpUpdate, ReplacedEntryMovesToTheEndWithTheArchivesSpelling) {
  PackageWithGroupOne({{"data\\a.TXT", 1, TextBytes(4000)}});
  const TBytes body = ArchiveBody(TwoEntries());
  files.Put(kPath, body);
  kzp.UpdateFromPackage(1, "game.kzp", "");
  const TBytes after = files.Bytes(kPath);
  const TKzpIndex index = IndexOf(after);
  EXPECT_EQ(Names(index), (std::vector<std::string>{"b.bin", "Data\\A.txt"}));
  const TKzpRecord& replaced = index.Records.back();
  EXPECT_EQ(replaced.Marker, kKzpRecordMarker);
  EXPECT_EQ(replaced.Method, kKzpMethodZlib);
  EXPECT_EQ(replaced.FileDate, today);
  EXPECT_EQ(ContentOf(after, replaced), TextBytes(4000));
  // The old payload stays where it was; the new one follows the old data region.
  const TKzpIndex old_index = IndexOf(body);
  EXPECT_EQ(replaced.Offset, old_index.DirectoryStart);
  EXPECT_TRUE(std::equal(body.begin(), body.begin() + static_cast<long>(old_index.DirectoryStart), after.begin()));
}

TEST_F(KzpUpdate, GroupWithoutEntriesLeavesTheArchiveUntouched) {
  PackageWithGroupOne({{"a.txt", 1, TextBytes(10)}});
  const TBytes bytes = Concat(ArchiveBody(TwoEntries()), EncodeKzpTrailer("secret", 0, 5, 6));
  files.Put(kPath, bytes);
  kzp.UpdateFromPackage(9, "game.kzp", "not the password");
  EXPECT_EQ(files.Bytes(kPath), bytes);
  EXPECT_EQ(files.opens, 0);
}

TEST_F(KzpUpdate, PasswordRules) {
  PackageWithGroupOne({{"a.txt", 1, TextBytes(10)}});
  const TBytes protected_archive = Concat(ArchiveBody(TwoEntries()), EncodeKzpTrailer("secret", 0, 5, 6));
  files.Put(kPath, protected_archive);
  try {
    kzp.UpdateFromPackage(1, "game.kzp", "Secret");
    ADD_FAILURE() << "a wrong password went through";
  } catch (const TFatalStop& stop) {
    EXPECT_EQ(stop.Message, "Error Incorrect Password\rFile: game.kzp");
  }
  EXPECT_EQ(files.Bytes(kPath), protected_archive);
  EXPECT_FALSE(kzp.IsOpen());

  kzp.UpdateFromPackage(1, "game.kzp", "secret");
  EXPECT_EQ(IndexOf(files.Bytes(kPath)).Trailer.Password, "secret");

  // An archive without a password takes the given one, and never the last archive's.
  const std::string other = "C:\\Game\\other.kzp";
  files.Put(other, ArchiveBody(TwoEntries()));
  kzp.UpdateFromPackage(1, "other.kzp", "");
  EXPECT_EQ(IndexOf(files.Bytes(other)).Trailer.Password, "");
  kzp.UpdateFromPackage(1, "other.kzp", "fresh");
  EXPECT_EQ(IndexOf(files.Bytes(other)).Trailer.Password, "fresh");
  EXPECT_THROW(kzp.UpdateFromPackage(1, "other.kzp", "secret"), TFatalStop);
}

TEST_F(KzpUpdate, PasswordTheTrailerCannotHoldIsRefusedBeforeTheFileIsCut) {
  PackageWithGroupOne({{"a.txt", 1, TextBytes(10)}});
  const TBytes bytes = ArchiveBody(TwoEntries());
  files.Put(kPath, bytes);
  EXPECT_THROW(kzp.UpdateFromPackage(1, "game.kzp", std::string(kKzpMaxPasswordBytes + 1, 'p')), ESetupError);
  EXPECT_EQ(files.Bytes(kPath), bytes);
  EXPECT_FALSE(kzp.IsOpen());

  const std::string longest(kKzpMaxPasswordBytes, 'p');
  kzp.UpdateFromPackage(1, "game.kzp", longest);
  EXPECT_EQ(IndexOf(files.Bytes(kPath)).Trailer.Password, longest);
  // One byte more would put the "KZP3" block out of the reader's reach.
  const TBytes too_long = EncodeKzpTrailer(longest + "p", 0, 11, 12);
  EXPECT_EQ(TrailerOf(Concat(ArchiveBody(TwoEntries()), too_long)).Form, TKzpTrailerForm::None);

  // An older EIH1 trailer can hold 42 bytes, which the new form cannot: left as it is.
  const TBytes eih1 = Concat(ArchiveBody(TwoEntries()), Eih1Trailer(std::string(42, 'q'), 3, 4));
  ASSERT_EQ(IndexOf(eih1).Trailer.Password.size(), 42u);
  files.Put(kPath, eih1);
  EXPECT_THROW(kzp.SetOfficial("game.kzp", "vormelt", "1"), ESetupError);
  EXPECT_EQ(files.Bytes(kPath), eih1);
}

// Seeds handed out in order, then the generator's.
std::function<uint8_t()> SeedSequence(std::vector<uint8_t> seeds) {
  auto queue = std::make_shared<std::vector<uint8_t>>(std::move(seeds));
  auto at = std::make_shared<size_t>(0);
  return [queue, at]() -> uint8_t { return *at < queue->size() ? (*queue)[(*at)++] : 77; };
}

TEST_F(KzpUpdate, SeedWithAnEmptyCipherKeyIsDrawnAgain) {
  TMerinEncryptionType cipher;
  cipher.FirstSeed = 0;
  ASSERT_TRUE(cipher.SeedKey(true).empty());
  files.Put(kPath, Concat(ArchiveBody(TwoEntries()), EncodeKzpTrailer("pw", 0, 5, 6)));
  kzp.RandomByte = SeedSequence({0, 9, 21, 22});
  kzp.SetOfficial("game.kzp", "vormelt", "1");
  const TKzpTrailer trailer = IndexOf(files.Bytes(kPath)).Trailer;
  EXPECT_EQ(trailer.SeedA, 21);
  EXPECT_EQ(trailer.SeedB, 22);
  EXPECT_EQ(trailer.Password, "pw");
}

// The password that enciphers to the given bytes under seeds 1 and 2.
std::string PasswordEncipheringTo(const std::string& enciphered) {
  TMerinEncryptionType cipher;
  cipher.FirstSeed = 1;
  cipher.SecondSeed = 2;
  const std::string password = cipher.Decrypt(enciphered);
  EXPECT_EQ(cipher.Encrypt(password), enciphered);
  return password;
}

TEST_F(KzpUpdate, TrailerThatWouldNotReadBackGetsNewSeeds) {
  PackageWithGroupOne({{"a.txt", 1, TextBytes(10)}});
  // Enciphered bytes spelling "KZP3" inside the trailer, or "KZP2" where the old form's 13
  // bytes begin, would be taken for another trailer under seeds 1 and 2.
  // "KZP3" in the last six bytes makes the reader see no trailer at all.
  const std::string fake_block = PasswordEncipheringTo(std::string("KZP3\x01\x00zzzz", 10));
  const std::string fake_end = PasswordEncipheringTo("KZP3\x01");
  const std::string fake_old = PasswordEncipheringTo("KZP2abcdefgh");
  EXPECT_EQ(TrailerOf(EncodeKzpTrailer(fake_block, 0, 1, 2)).Form, TKzpTrailerForm::Unknown);
  EXPECT_EQ(TrailerOf(EncodeKzpTrailer(fake_end, 0, 1, 2)).Form, TKzpTrailerForm::None);
  EXPECT_EQ(TrailerOf(EncodeKzpTrailer(fake_old, 0, 1, 2)).Form, TKzpTrailerForm::Old);

  for (const std::string& password : {fake_block, fake_end, fake_old}) {
    files.Put(kPath, ArchiveBody(TwoEntries()));
    kzp.RandomByte = SeedSequence({1, 2, 31, 32});
    kzp.UpdateFromPackage(1, "game.kzp", password);
    const TKzpTrailer trailer = IndexOf(files.Bytes(kPath)).Trailer;
    EXPECT_EQ(trailer.Form, TKzpTrailerForm::Eih2);
    EXPECT_EQ(trailer.SeedA, 31);
    EXPECT_EQ(trailer.SeedB, 32);
    EXPECT_EQ(trailer.Password, password);
  }
}

TEST_F(KzpUpdate, OfficialFlagFollowsTheFlagTextWhenTheCodeIsRight) {
  files.Put(kPath, ArchiveBody(TwoEntries()));
  const std::vector<std::pair<std::string, uint8_t>> cases = {
      {"TRUE", 1}, {"Yes", 0}, {"t", 1}, {"false", 0}, {"1", 1}, {"0", 0}, {"T", 1}, {" true", 0}};
  for (const auto& [text, flag] : cases) {
    kzp.SetOfficial("game.kzp", "VORMELT", text);
    EXPECT_EQ(IndexOf(files.Bytes(kPath)).Trailer.Official, flag) << text;
  }
  kzp.SetOfficial("game.kzp", "vormelt", "1");
  const TBytes bytes = files.Bytes(kPath);
  const int opens = files.opens;
  kzp.SetOfficial("game.kzp", "vormel", "0");
  kzp.SetOfficial("game.kzp", "vormelt ", "0");
  EXPECT_EQ(files.Bytes(kPath), bytes);
  EXPECT_EQ(files.opens, opens);
}

TEST_F(KzpUpdate, DuplicateEntryBothWays) {
  const TBytes body = ArchiveBody(TwoEntries());
  files.Put(kPath, body);
  kzp.DuplicateEntry("game.kzp", "data\\a.TXT", "Copies\\Second.TXT");
  TKzpIndex index = IndexOf(files.Bytes(kPath));
  ASSERT_EQ(Names(index), (std::vector<std::string>{"Data\\A.txt", "b.bin", "copies\\second.txt"}));
  const TKzpRecord& a = index.Records[0];
  const TKzpRecord& copy = index.Records[2];
  EXPECT_EQ(copy.Offset, a.Offset);
  EXPECT_EQ(copy.StoredSize, a.StoredSize);
  EXPECT_EQ(copy.ContentSize, a.ContentSize);
  EXPECT_EQ(copy.Method, a.Method);
  EXPECT_EQ(copy.FileDate, a.FileDate);
  EXPECT_EQ(copy.Marker, kKzpRecordMarker);
  EXPECT_EQ(index.DirectoryStart, IndexOf(body).DirectoryStart);

  // Again onto the same name: it already shares the payload, nothing is added.
  kzp.DuplicateEntry("game.kzp", "Data\\A.txt", "COPIES\\second.txt");
  EXPECT_EQ(IndexOf(files.Bytes(kPath)).Records.size(), 3u);

  // Onto a name that points at another payload: unchanged.
  kzp.DuplicateEntry("game.kzp", "Data\\A.txt", "B.BIN");
  index = IndexOf(files.Bytes(kPath));
  EXPECT_EQ(index.Records[1].Offset, IndexOf(body).Records[1].Offset);
  EXPECT_EQ(ContentOf(files.Bytes(kPath), index.Records[1]), NoiseBytes(500, 3));

  // An existing name that is not there leaves the file as it was, ending included.
  const TBytes before = files.Bytes(kPath);
  kzp.DuplicateEntry("game.kzp", "missing.txt", "x.txt");
  EXPECT_EQ(files.Bytes(kPath), before);
  EXPECT_FALSE(kzp.IsOpen());
}

TEST_F(KzpUpdate, CorruptArchiveIsAFatalStopAndStaysAsItWas) {
  PackageWithGroupOne({{"a.txt", 1, TextBytes(10)}});
  const std::vector<TBytes> corrupt = {
      WithFooter(TwoEntries(), [](TKzpFooter& f) { f.Version = 6; }),
      WithFooter(TwoEntries(), [](TKzpFooter& f) { f.Count = 3; }),
      WithFooter(TwoEntries(), [](TKzpFooter& f) { f.InflatedSize = 100; }),
      TBytes(7, 'z'),
  };
  for (const TBytes& bytes : corrupt) {
    files.Put(kPath, bytes);
    for (int operation = 0; operation < 3; ++operation) {
      try {
        if (operation == 0) kzp.UpdateFromPackage(1, "game.kzp", "");
        if (operation == 1) kzp.SetOfficial("game.kzp", "vormelt", "1");
        if (operation == 2) kzp.DuplicateEntry("game.kzp", "a", "b");
        ADD_FAILURE() << "corrupt archive accepted by operation " << operation;
      } catch (const TFatalStop& stop) {
        EXPECT_EQ(stop.Message, "File C:\\Game\\game.kzp has corrupted header.");
      }
      EXPECT_EQ(files.Bytes(kPath), bytes);
      EXPECT_FALSE(kzp.IsOpen());
    }
  }
}

TEST_F(KzpUpdate, ShortWritesEndWithTheDiskFullStop) {
  PackageWithGroupOne({{"a.txt", 1, NoiseBytes(5000)}});
  const TBytes body = ArchiveBody(TwoEntries());
  const uint64_t directory_start = IndexOf(body).DirectoryStart;
  const std::string message = "Disk full, C:\\Game\\game.kzp is lost. Restore it from backup and try again. ";

  files.Put(kPath, body).WriteLimit = directory_start + 100;  // the payload does not fit
  try {
    kzp.UpdateFromPackage(1, "game.kzp", "");
    ADD_FAILURE() << "short payload write went unnoticed";
  } catch (const TFatalStop& stop) {
    EXPECT_EQ(stop.Message, message);
  }
  EXPECT_FALSE(kzp.IsOpen());
  // The journal the stop left gives the archive back as it was once there is room again.
  files.files[kPath].WriteLimit = UINT64_MAX;
  EXPECT_EQ(RecoverArchive(files, kPath).Result, TRecoveryResult::RolledBack);
  EXPECT_EQ(files.Bytes(kPath), body);

  // Room for no directory: reported, not left as an archive without an ending.
  files.Put(kPath, body).WriteLimit = directory_start + 10;
  try {
    kzp.SetOfficial("game.kzp", "vormelt", "1");
    ADD_FAILURE() << "short directory write went unnoticed";
  } catch (const TFatalStop& stop) {
    EXPECT_EQ(stop.Message, message);
  }
  files.files[kPath].WriteLimit = UINT64_MAX;
  EXPECT_EQ(RecoverArchive(files, kPath).Result, TRecoveryResult::RolledBack);
  EXPECT_EQ(files.Bytes(kPath), body);
}

TEST_F(KzpUpdate, ErrorInAnEntryStillWritesTheDirectory) {
  PackageWithGroupOne({{"good.txt", 1, TextBytes(2000)}, {"bad.txt", 1, TextBytes(3000)}});
  // Damage the second entry's stored bytes in the package file.
  const TPakEntry bad = Globals().Package->Directory()[2];
  Globals().Package.reset();
  TBytes package = ReadFile(ScratchPath("kzp_update.pak"));
  package[bad.Offset + 5] ^= 0xFF;
  WriteFile(ScratchPath("kzp_update.pak"), package);
  Globals().Package = std::make_unique<TPak>(ScratchPath("kzp_update.pak"), pmRead);

  files.Put(kPath, ArchiveBody(TwoEntries()));
  EXPECT_THROW(kzp.UpdateFromPackage(1, "game.kzp", ""), ESetupError);
  EXPECT_FALSE(kzp.IsOpen());
  const TBytes after = files.Bytes(kPath);
  const TKzpIndex index = IndexOf(after);
  EXPECT_EQ(Names(index), (std::vector<std::string>{"Data\\A.txt", "b.bin", "good.txt"}));
  EXPECT_EQ(ContentOf(after, index.Records[2]), TextBytes(2000));
}

TEST_F(KzpUpdate, CompressedPackageEntriesKeepTheirStream) {
  PackageWithGroupOne({{"text.txt", 1, TextBytes(50000)}, {"noise.bin", 1, NoiseBytes(4000, 9)}, {"empty.txt", 1, {}}});
  const TPakEntry& text = Globals().Package->Directory()[1];
  const TPakEntry& noise = Globals().Package->Directory()[2];
  ASSERT_NE(text.PackedSize, 0u);
  ASSERT_EQ(noise.PackedSize, 0u);
  const TBytes stored = Globals().Package->ReadStored(1);

  files.Put(kPath, ArchiveBody({}));
  kzp.UpdateFromPackage(1, "game.kzp", "");
  const TBytes after = files.Bytes(kPath);
  const TKzpIndex index = IndexOf(after);
  ASSERT_EQ(Names(index), (std::vector<std::string>{"text.txt", "noise.bin", "empty.txt"}));
  TBytes payload(after.begin() + index.Records[0].Offset,
                 after.begin() + index.Records[0].Offset + index.Records[0].StoredSize);
  ScrambleKzpStream(payload);
  EXPECT_EQ(payload, stored);
  EXPECT_NE(TBytes(after.begin() + index.Records[0].Offset, after.begin() + index.Records[0].Offset + 4),
            TBytes(stored.begin(), stored.begin() + 4));
  EXPECT_EQ(index.Records[0].ContentSize, 50000u);
  EXPECT_EQ(ContentOf(after, index.Records[1]), NoiseBytes(4000, 9));
  EXPECT_EQ(index.Records[2].ContentSize, 0u);
  EXPECT_EQ(ContentOf(after, index.Records[2]), TBytes());
}

TEST_F(KzpUpdate, StatusTextsAndOneStepPerEntry) {
  TBytes image = {0xFF, 0xFE};
  for (char c : std::string("English\r\n0409;\r\n19 Progress: <%FNUM%> of <%FTOTAL%> <%KZPNAME%>\r\n"
                            "20 Saving <%kzpname%>...\r\n")) {
    image.push_back(static_cast<uint8_t>(c));
    image.push_back(0);
  }
  Languages().AddLanguage(image.data(), image.size());
  SelectLanguage(0x0409);
  std::vector<std::u16string> texts;
  std::vector<bool> published;
  kzp.Progress.SetStatusText = [&](const std::u16string& text) { texts.push_back(text); };
  kzp.Progress.StepProgress = [&](bool publish) { published.push_back(publish); };
  PackageWithGroupOne({{"a.txt", 1, TextBytes(10)}, {"b.txt", 1, TextBytes(20)}});
  files.Put(kPath, ArchiveBody({}));
  kzp.UpdateFromPackage(1, "game.kzp", "");
  EXPECT_EQ(texts, (std::vector<std::u16string>{u"Progress: 0 of 2 game.kzp", u"Progress: 0 of 2 game.kzp",
                                                u"Progress: 1 of 2 game.kzp", u"Saving game.kzp..."}));
  // One step per entry; only the second, with half done before it, refreshes the gauge.
  EXPECT_EQ(published, (std::vector<bool>{false, true}));
}

class TAnsweringHost : public TFatalHost {
 public:
  int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) override {
    Boxes.push_back({text, caption});
    Styles.push_back(style);
    return OnBox ? OnBox() : Answer;
  }
  std::function<int()> OnBox;
  std::vector<unsigned> Styles;
};

TEST_F(KzpUpdate, AJournalThatCannotBeTrustedIsSetAsideWithAWarningAndTheUpdateGoesOn) {
  TAnsweringHost boxes;
  boxes.Answer = kIdOk;
  files.Put(kPath, ArchiveBody(TwoEntries()));
  files.Put(JournalPath(kPath), TextBytes(40));  // no journal header
  kzp.SetOfficial("game.kzp", "vormelt", "1");
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Caption, "Warning");
  EXPECT_NE(boxes.Boxes[0].Text.find("nothing was restored"), std::string::npos) << boxes.Boxes[0].Text;
  EXPECT_EQ(files.Bytes(JournalPath(kPath) + ".damaged"), TextBytes(40));
  EXPECT_EQ(IndexOf(files.Bytes(kPath)).Trailer.Official, 1);
  EXPECT_FALSE(files.Exists(JournalPath(kPath)));
}

TEST_F(KzpUpdate, OpeningRetriesUntilCancelled) {
  TAnsweringHost boxes;
  boxes.Answer = kIdCancel;
  EXPECT_THROW(kzp.SetOfficial("game.kzp", "vormelt", "1"), TCancelled);
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Text, "File not found: \"C:\\Game\\game.kzp\".");
  EXPECT_EQ(boxes.Boxes[0].Caption, "Error");
  EXPECT_EQ(boxes.Styles[0], static_cast<unsigned>(kMbRetryCancel | kMbIconWarning));

  TMemoryFileSystem::TEntry& entry = files.Put(kPath, ArchiveBody(TwoEntries()));
  entry.ReadOnly = true;
  entry.AttributesStuck = true;
  EXPECT_THROW(kzp.SetOfficial("game.kzp", "vormelt", "1"), TCancelled);
  EXPECT_EQ(boxes.Boxes.back().Text, "Unable to modify \"C:\\Game\\game.kzp\" attributes");

  entry.ReadOnly = false;
  entry.InUse = true;
  EXPECT_THROW(kzp.SetOfficial("game.kzp", "vormelt", "1"), TCancelled);
  EXPECT_EQ(boxes.Boxes.back().Text,
            "Unable to modify file:\"C:\\Game\\game.kzp\", file may be in use or drive is write protected...");

  // Retry starts over; the game has let go of the file by then.
  boxes.Boxes.clear();
  boxes.OnBox = [&] {
    files.files[kPath].InUse = false;
    return kIdRetry;
  };
  kzp.SetOfficial("game.kzp", "vormelt", "1");
  EXPECT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(IndexOf(files.Bytes(kPath)).Trailer.Official, 1);

  // A read-only file whose attributes can be cleared opens without asking.
  boxes.Boxes.clear();
  boxes.OnBox = [] { return kIdCancel; };
  files.files[kPath].ReadOnly = true;
  files.files[kPath].AttributesStuck = false;
  kzp.SetOfficial("game.kzp", "vormelt", "0");
  EXPECT_TRUE(boxes.Boxes.empty());
  EXPECT_FALSE(files.files[kPath].ReadOnly);
}

TEST_F(KzpUpdate, RealFileUnderTheInstallFolder) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(ScratchFolder()) / "kzp_game";
  fs::create_directories(folder / "Data");
  Globals().SetupInfo.InstallDir = folder.string();
  kzp.Files = nullptr;
  const std::string file = (folder / "Data" / "game.kzp").string();
  WriteFile(file, ArchiveBody(TwoEntries()));
  ::chmod(file.c_str(), 0444);
  PackageWithGroupOne({{"a.txt", 1, TextBytes(100)}});
  kzp.UpdateFromPackage(1, "Data\\game.kzp", "pw");
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
  const TKzpIndex index = IndexOf(ReadFile(file));
  EXPECT_EQ(Names(index), (std::vector<std::string>{"Data\\A.txt", "b.bin", "a.txt"}));
  EXPECT_EQ(index.Trailer.Password, "pw");
}

TEST(KzpWav, UpdateStoresSoundAsMethodOneAndSkipsBrokenFiles) {
  Globals() = TSetupGlobals();
  Globals().SetupInfo.InstallDir = "C:\\Game";
  TFatalHost host;
  TMemoryFileSystem files;
  TPakSystem kzp;
  kzp.Files = &files;
  const TBytes theme = WavFile(2, 16, 22050, Samples(Signal(6000)));
  const TBytes hit = WavFile(1, 16, 22050, Samples(Signal(300)));
  InstallPackage("kzp_wav.pak", {{"Music\\Theme.WAV", 1, theme},
                                 {"Sound\\Effects\\Hit.wav", 1, hit},
                                 {"broken.wav", 1, TextBytes(200)},
                                 {"notes.wav.txt", 1, TextBytes(200)}});
  files.Put("C:\\Game\\game.kzp", ArchiveBody({}));
  kzp.UpdateFromPackage(1, "game.kzp", "");
  const TBytes after = files.Bytes("C:\\Game\\game.kzp");
  const TKzpIndex index = IndexOf(after);
  ASSERT_EQ(index.Records.size(), 3u);
  EXPECT_EQ(index.Records[0].Name, "Music\\Theme.WAV");
  EXPECT_EQ(index.Records[0].Method, kKzpMethodWav);
  EXPECT_EQ(index.Records[0].ContentSize, theme.size());
  EXPECT_EQ(after[index.Records[0].Offset + 44], 1);
  EXPECT_EQ(index.Records[1].Method, kKzpMethodWav);
  EXPECT_EQ(after[index.Records[1].Offset + 44], 0);
  EXPECT_EQ(ContentOf(after, index.Records[1]), hit);
  EXPECT_EQ(index.Records[2].Name, "notes.wav.txt");
  EXPECT_EQ(index.Records[2].Method, kKzpMethodZlib);

  // Run again: sound payloads are compared the same way and nothing is appended.
  const size_t size = after.size();
  kzp.UpdateFromPackage(1, "game.kzp", "");
  EXPECT_EQ(files.Bytes("C:\\Game\\game.kzp").size(), size);
  Globals() = TSetupGlobals();
}

}  // namespace
}  // namespace setup

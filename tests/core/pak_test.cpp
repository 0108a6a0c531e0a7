#include "core/pak.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "core/byte_order.h"
#include "core/crc.h"
#include "core/deflate.h"
#include "core/error.h"
#include "pe_fixtures.h"
#include "test_files.h"
#include "test_host.h"

namespace setup {
namespace {

using testing::NoiseBytes;
using testing::ReadFile;
using testing::ScratchPath;
using testing::TextBytes;
using testing::WriteFile;

struct Item {
  std::string name;
  uint16_t group;
  TBytes data;
};

// Writes a package with the project's writer; with a host, the package is appended to it.
std::string WritePackage(const std::string& file, const std::vector<Item>& items, const TBytes& host = {}) {
  const std::string path = ScratchPath(file);
  WriteFile(path, host);
  TPak pak(path, host.empty() ? pmCreate : pmAppend);
  for (const Item& it : items) {
    int i = pak.AddEntry(it.name, "", it.group);
    if (it.data.empty()) {
      const std::string empty_source = ScratchPath("empty.bin");
      WriteFile(empty_source, {});
      pak.Directory()[i].SourcePath = empty_source;
      EXPECT_TRUE(pak.StoreFromFile(i));
    } else {
      EXPECT_TRUE(pak.StoreFromMemory(i, it.data.data(), static_cast<uint32_t>(it.data.size())));
    }
  }
  EXPECT_TRUE(pak.WriteDirectory());
  pak.Close();
  return path;
}

std::vector<Item> SampleItems() {
  return {{"SetupInfo", 0, TextBytes(300)},
          {"data\\text.txt", 1, TextBytes(50000)},
          {"data\\noise.bin", 1, NoiseBytes(4000)},
          {"empty.txt", 1, {}},
          {"archive.dat", 2, TextBytes(7)}};
}

TEST(Pak, RoundTripKeepsEveryEntryAndItsForm) {
  const std::string path = WritePackage("round.pak", SampleItems());
  TPak pak(path, pmRead);
  ASSERT_TRUE(pak.Trailer().HasMagic());
  EXPECT_EQ(pak.Trailer().Version, 1);
  EXPECT_EQ(pak.Trailer().Count, 5);
  EXPECT_EQ(pak.Trailer().DataStart, 0u);
  const auto items = SampleItems();
  ASSERT_EQ(pak.Directory().size(), items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const TPakEntry& e = pak.Directory()[i];
    EXPECT_EQ(e.Name, items[i].name);
    EXPECT_EQ(e.Group, items[i].group);
    EXPECT_EQ(e.Size, items[i].data.size());
    EXPECT_EQ(pak.Extract(static_cast<int>(i)), items[i].data) << e.Name;
  }
  // Text shrinks and is stored as a zlib stream; noise does not and is stored as it is.
  EXPECT_GT(pak.Directory()[1].PackedSize, 0u);
  EXPECT_LT(pak.Directory()[1].PackedSize, 50000u);
  EXPECT_EQ(pak.Directory()[2].PackedSize, 0u);
  EXPECT_EQ(pak.Directory()[2].Crc, Crc32(items[2].data.data(), items[2].data.size()));
  // An empty entry has no stored bytes, Crc 0, and extracts to nothing.
  EXPECT_EQ(pak.Directory()[3].Crc, 0u);
  EXPECT_EQ(pak.Directory()[3].StoredLength(), 0u);
  EXPECT_FALSE(pak.Verify(3));
  EXPECT_EQ(pak.CountGrouped(), 4);
  EXPECT_EQ(pak.CountInGroup(1), 3);
  EXPECT_EQ(pak.CountInGroup(9), 0);
}

TEST(Pak, AppendedPackageStartsRightAfterTheHost) {
  const TBytes host = NoiseBytes(1234);
  const std::string path = WritePackage("appended.exe", SampleItems(), host);
  TPak pak(path, pmRead);
  EXPECT_EQ(pak.Trailer().DataStart, 1234u);
  EXPECT_EQ(pak.Directory()[0].Offset, 1234u);
  EXPECT_EQ(pak.Extract(1), TextBytes(50000));
  TBytes file = ReadFile(path);
  EXPECT_TRUE(std::equal(host.begin(), host.end(), file.begin()));
}

TEST(Pak, FindByNameIgnoresCaseButNotGroup) {
  TPak pak(WritePackage("find.pak", SampleItems()), pmRead);
  uint64_t size = 0;
  EXPECT_EQ(pak.FindByName("setupinfo", 0, &size), TextBytes(300));
  EXPECT_EQ(size, 300u);
  EXPECT_TRUE(pak.FindByName("SetupInfo", 1, &size).empty());
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(pak.FindByName("DATA\\TEXT.TXT", 1), TextBytes(50000));
}

TEST(Pak, GroupWalksVisitTheGroupInOrder) {
  TPak pak(WritePackage("walk.pak", SampleItems()), pmRead);
  std::vector<std::string> names;
  for (TGroupItem it = pak.FirstInGroup(1, false); !it.Name.empty(); it = pak.NextInGroup(1, false)) {
    EXPECT_TRUE(it.Data.empty());
    names.push_back(it.Name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"data\\text.txt", "data\\noise.bin", "empty.txt"}));
  // Not found: the cursor stays, so a further Next finds nothing either.
  EXPECT_TRUE(pak.NextInGroup(1, true).Name.empty());
  TGroupItem first = pak.FirstInGroup(1, true);
  EXPECT_EQ(first.Data, TextBytes(50000));
  std::vector<int> indices;
  pak.ForEachInGroup(2, [&](int i) { indices.push_back(i); });
  EXPECT_EQ(indices, std::vector<int>{4});
  int index = -1;
  EXPECT_FALSE(pak.FirstIndexInGroup(7, index));
}

// Noise with every other byte zero: deflate halves it, so the stream spans several pieces.
TBytes HalfNoise(size_t n) {
  TBytes out = NoiseBytes(n, 7);
  for (size_t i = 0; i < n; i += 2) out[i] = 0;
  return out;
}

TEST(Pak, EntriesLargerThanAPieceStreamInPieces) {
  const std::vector<Item> items = {{"text", 1, TextBytes(3 * kPieceSize + 123)},
                                   {"noise", 1, NoiseBytes(2 * kPieceSize + 5)},
                                   {"half", 1, HalfNoise(3 * kPieceSize)}};
  const std::string path = WritePackage("pieces.pak", items);
  TPak pak(path, pmRead);
  ASSERT_EQ(pak.Directory()[1].PackedSize, 0u);
  ASSERT_GT(pak.Directory()[2].PackedSize, kPieceSize);
  for (int i = 0; i < 3; ++i) {
    TBytes joined;
    size_t largest = 0;
    EXPECT_TRUE(pak.ExtractTo(i, [&](const uint8_t* data, size_t size) {
      largest = std::max(largest, size);
      joined.insert(joined.end(), data, data + size);
    }));
    EXPECT_LE(largest, kPieceSize) << items[i].name;
    EXPECT_EQ(joined, items[i].data) << items[i].name;
    EXPECT_TRUE(pak.Verify(i));
  }

  // A byte changed in the last piece of the stream fails verification; it is not a zlib error
  // even though the stream no longer inflates.
  const TPakEntry half = pak.Directory()[2];
  TBytes bytes = ReadFile(path);
  bytes[half.Offset + half.PackedSize - 10] ^= 0xFF;
  bytes[half.Offset + half.PackedSize / 2] ^= 0xFF;
  WriteFile(path, bytes);
  TPak damaged(path, pmRead);
  EXPECT_FALSE(damaged.Verify(2));
  EXPECT_TRUE(damaged.Verify(0));
}

TEST(Pak, AStreamCutShortWithAGoodCrcRaisesError) {
  const TBytes data = HalfNoise(3 * kPieceSize);
  const TBytes stream = Deflate(data.data(), data.size());
  const TBytes cut(stream.begin(), stream.begin() + static_cast<long>(stream.size() * 3 / 4));
  const std::string path = ScratchPath("cut-stream.pak");
  {
    TPak pak(path, pmCreate);
    int i = pak.AddEntry("cut", "", 1);
    TPakEntry& e = pak.Directory()[i];
    e.Size = static_cast<uint32_t>(data.size());
    e.PackedSize = static_cast<uint32_t>(cut.size());
    e.Crc = Crc32(cut.data(), cut.size());
    ASSERT_TRUE(pak.StorePacked(i, cut));
    ASSERT_TRUE(pak.WriteDirectory());
  }
  TPak pak(path, pmRead);
  EXPECT_THROW(pak.Verify(0), ESetupError);
}

TEST(Pak, OutOfRangeIndicesGiveNothing) {
  TPak pak(WritePackage("range.pak", SampleItems()), pmRead);
  for (int i : {-1, 5, 1000}) {
    EXPECT_TRUE(pak.ReadStored(i).empty());
    EXPECT_TRUE(pak.Extract(i).empty());
    EXPECT_FALSE(pak.Verify(i));
  }
}

TEST(Pak, AChangedStoredByteFailsOnlyItsOwnEntry) {
  const std::string path = WritePackage("flip.pak", SampleItems());
  const TBytes original = ReadFile(path);
  TPak reference(path, pmRead);
  for (int target : {0, 1, 2, 4}) {
    const TPakEntry e = reference.Directory()[target];
    for (uint64_t at : {uint64_t{0}, e.StoredLength() / 2, e.StoredLength() - 1}) {
      TBytes bytes = original;
      bytes[e.Offset + at] ^= 0x20;
      const std::string damaged = ScratchPath("flipped.pak");
      WriteFile(damaged, bytes);
      TPak pak(damaged, pmRead);
      for (int i = 0; i < 5; ++i) {
        if (i == 3) continue;  // the empty entry has no bytes to check
        EXPECT_EQ(pak.Verify(i), i != target) << "entry " << i << " after flipping byte " << at << " of " << target;
      }
    }
  }
}

TEST(Pak, FilesWithoutATrailerReadAsEmpty) {
  for (const TBytes& bytes : {TBytes{}, TBytes{'K', 'Z'}, NoiseBytes(16), NoiseBytes(5000)}) {
    const std::string path = ScratchPath("plain.bin");
    WriteFile(path, bytes);
    TPak pak(path, pmRead);
    EXPECT_FALSE(pak.Trailer().HasMagic());
    EXPECT_TRUE(pak.Directory().empty());
  }
  TPak missing(ScratchPath("does-not-exist.pak"), pmRead);
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_TRUE(missing.Directory().empty());
}

TEST(Pak, TruncatedPackagesOpenSafely) {
  const TBytes full = ReadFile(WritePackage("cut.pak", SampleItems()));
  const uint32_t dir_offset = LoadLE32(full.data() + full.size() - kPakTrailerSize + 12);
  // Every length through the directory and trailer, a sample through the entry data.
  for (size_t n = 0; n < full.size(); n += n < dir_offset ? 97 : 1) {
    const std::string path = ScratchPath("cut-short.pak");
    WriteFile(path, TBytes(full.begin(), full.begin() + static_cast<long>(n)));
    {
      // Cut anywhere, the trailer is gone and nothing of the package is read.
      TPak pak(path, pmRead);
      EXPECT_TRUE(pak.Directory().empty()) << "cut at " << n;
      EXPECT_FALSE(pak.Verify(0)) << "cut at " << n;
    }
    if (n >= dir_offset) continue;
    // The entry data cut short with the directory and trailer kept behind it: an entry that
    // reached past the cut fails verification without an error, the entries before it stay sound.
    TBytes spliced(full.begin(), full.begin() + static_cast<long>(n));
    spliced.insert(spliced.end(), full.begin() + dir_offset, full.end());
    StoreLE32(spliced.data() + spliced.size() - kPakTrailerSize + 12, static_cast<uint32_t>(n));
    WriteFile(path, spliced);
    TPak pak(path, pmRead);
    ASSERT_EQ(pak.Directory().size(), SampleItems().size()) << "cut at " << n;
    for (size_t i = 0; i < pak.Directory().size(); ++i) {
      const TPakEntry& e = pak.Directory()[i];
      const bool whole = e.Size != 0 && e.Offset + e.StoredLength() <= n;
      EXPECT_EQ(pak.Verify(static_cast<int>(i)), whole) << "entry " << i << ", cut at " << n;
    }
  }
}

// Rewrites the trailer's Count and DirOffset, or a record's fields, of a written package.
TBytes Patched(const TBytes& bytes, size_t at, uint32_t value, int width) {
  TBytes out = bytes;
  if (width == 2) StoreLE16(out.data() + at, static_cast<uint16_t>(value));
  else StoreLE32(out.data() + at, value);
  return out;
}

TEST(Pak, DirectoriesPointingOutsideTheFileAreNotRead) {
  const TBytes good = ReadFile(WritePackage("hostile.pak", SampleItems()));
  const size_t trailer = good.size() - kPakTrailerSize;
  const uint32_t dir_offset = LoadLE32(good.data() + trailer + 12);
  struct Case {
    const char* what;
    TBytes bytes;
  } cases[] = {
      {"DirOffset past the end", Patched(good, trailer + 12, static_cast<uint32_t>(good.size()) + 100, 4)},
      {"DirOffset inside the trailer", Patched(good, trailer + 12, static_cast<uint32_t>(trailer) + 4, 4)},
      {"Count larger than the records", Patched(good, trailer + 6, 60000, 2)},
      {"Count one too many", Patched(good, trailer + 6, 6, 2)},
      {"first name running past the end", Patched(good, dir_offset, 0xFFFF, 2)},
  };
  for (const Case& c : cases) {
    const std::string path = ScratchPath("hostile-case.pak");
    WriteFile(path, c.bytes);
    TPak pak(path, pmRead);
    EXPECT_TRUE(pak.Trailer().HasMagic()) << c.what;
    EXPECT_FALSE(pak.DirectorySound()) << c.what;
    EXPECT_TRUE(pak.Directory().empty()) << c.what;
  }
}

TEST(Pak, SignedSetupsAreReadInFrontOfTheirCertificateTable) {
  const TBytes setup = ReadFile(WritePackage("signed-host.exe", SampleItems(), testing::FixtureExecutable()));
  for (size_t padding = 0; padding <= 7; ++padding) {
    const std::string path = ScratchPath("signed.exe");
    WriteFile(path, testing::FixtureSigned(setup, padding));
    TPak pak(path, pmRead);
    ASSERT_EQ(pak.Directory().size(), SampleItems().size()) << "padding " << padding;
    EXPECT_EQ(pak.FileSize(), setup.size());
    for (int i : {0, 1, 2, 4}) EXPECT_TRUE(pak.Verify(i)) << "entry " << i << ", padding " << padding;
    EXPECT_EQ(pak.Extract(1), TextBytes(50000));
  }
}

TEST(Pak, SignatureHeadersThatDoNotCloseTheFileAreNotTrusted) {
  const TBytes setup = ReadFile(WritePackage("signed-host.exe", SampleItems(), testing::FixtureExecutable()));
  const TBytes good = testing::FixtureSigned(setup, 2);
  const size_t directory = testing::FixtureSecurityDirectory(false);
  const uint32_t table = LoadLE32(good.data() + directory);
  struct Case {
    const char* what;
    TBytes bytes;
  } cases[] = {
      {"a byte after the table", [&] { TBytes b = good; b.push_back(0); return b; }()},
      {"table ending past the end", Patched(good, directory + 4, 65, 4)},
      {"table starting past the end", Patched(good, directory, static_cast<uint32_t>(good.size()) + 8, 4)},
      {"a padding byte not zero", [&] { TBytes b = good; b[table - 1] = 1; return b; }()},
      {"table starting one byte later", [&] {
         TBytes b = Patched(good, directory, table + 1, 4);
         return Patched(b, directory + 4, 63, 4);
       }()},
  };
  for (const Case& c : cases) {
    const std::string path = ScratchPath("signed-damaged.exe");
    WriteFile(path, c.bytes);
    TPak pak(path, pmRead);
    // Read as any file: the trailer is looked for at the end, where there is none.
    EXPECT_FALSE(pak.Trailer().HasMagic()) << c.what;
    EXPECT_TRUE(pak.Directory().empty()) << c.what;
    EXPECT_EQ(pak.FileSize(), c.bytes.size()) << c.what;
  }
}

TEST(Pak, EntriesPointingOutsideTheFileFailVerification) {
  const TBytes good = ReadFile(WritePackage("entry-out.pak", SampleItems()));
  const uint32_t dir_offset = LoadLE32(good.data() + good.size() - kPakTrailerSize + 12);
  // Record 0: name length, "SetupInfo", Crc, Offset, PackedSize, Size, Group.
  const size_t offset_field = dir_offset + 2 + 9 + 4;
  const uint32_t near_end = static_cast<uint32_t>(good.size() - 2);
  for (auto [at, value] : {std::pair<size_t, uint32_t>{offset_field, 0xFFFFFF00u},
                           {offset_field, near_end},
                           {offset_field + 4, 0x7FFFFFFFu},
                           {offset_field + 4, 0xFFFFFFFFu}}) {
    const std::string path = ScratchPath("entry-out-case.pak");
    WriteFile(path, Patched(good, at, value, 4));
    TPak pak(path, pmRead);
    ASSERT_TRUE(pak.DirectorySound());
    EXPECT_FALSE(pak.Verify(0));
    EXPECT_TRUE(pak.Verify(1));
  }
}

// Streams that are not valid zlib (garbage; a sound stream whose Adler-32 is wrong) under a
// good CRC: whichever decoder meets them first, the outcome is the same error.
TEST(Pak, ABrokenStreamWithAGoodCrcRaisesError) {
  const TBytes data = TextBytes(5000);
  TBytes wrong_adler = Deflate(data.data(), data.size());
  wrong_adler.back() ^= 0x01;
  const std::vector<std::pair<uint32_t, TBytes>> streams = {
      {100, {0x78, 0xDA, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01}}, {static_cast<uint32_t>(data.size()), wrong_adler}};
  for (const auto& [size, stream] : streams) {
    const std::string path = ScratchPath("broken-stream.pak");
    {
      TPak pak(path, pmCreate);
      int i = pak.AddEntry("bad", "", 1);
      TPakEntry& e = pak.Directory()[i];
      e.Size = size;
      e.PackedSize = static_cast<uint32_t>(stream.size());
      e.Crc = Crc32(stream.data(), stream.size());
      ASSERT_TRUE(pak.StorePacked(i, stream));
      ASSERT_TRUE(pak.WriteDirectory());
    }
    TPak pak(path, pmRead);
    try {
      pak.Verify(0);
      FAIL() << "no error raised for " << size;
    } catch (const ESetupError& e) {
      EXPECT_STREQ(e.what(), "error");
    }
  }
}

TEST(Pak, AWrongSizeReportsTheLengthsAndGivesNothing) {
  testing::TRecordingHost host;
  const std::string path = WritePackage("wrong-size.pak", {{"short.txt", 1, TextBytes(1000)}});
  TBytes bytes = ReadFile(path);
  const uint32_t dir_offset = LoadLE32(bytes.data() + bytes.size() - kPakTrailerSize + 12);
  const size_t size_field = dir_offset + 2 + 9 + 12;
  // A Size far beyond what the stream can give is refused without allocating it.
  for (uint32_t claimed : {999u, 1001u, 0xFFFFFFF0u}) {
    WriteFile(path, Patched(bytes, size_field, claimed, 4));
    TPak pak(path, pmRead);
    EXPECT_TRUE(pak.Extract(0).empty());
    EXPECT_EQ(pak.LastExtract().Status, kExtractWrongLength);
    EXPECT_EQ(pak.LastExtract().Index, 0);
    EXPECT_EQ(pak.LastExtract().Inflated, 1000u);
    // A later read of nothing leaves no stale outcome for the caller to report.
    EXPECT_TRUE(pak.FindByName("nothing", 1).empty());
    EXPECT_EQ(pak.LastExtract().Status, kExtractUnreadable);
  }
  EXPECT_EQ(DecompSizeMessage("short.txt", 1000, 999), "short.txt\r\rError: DecompSize - 1000 OrigSize - 999");
  // The real length is counted past the claimed one, over several pieces.
  const std::string long_path = WritePackage("wrong-size-long.pak", {{"long.txt", 1, TextBytes(3 * kPieceSize)}});
  bytes = ReadFile(long_path);
  const uint32_t long_dir = LoadLE32(bytes.data() + bytes.size() - kPakTrailerSize + 12);
  WriteFile(long_path, Patched(bytes, long_dir + 2 + 8 + 12, 1000, 4));
  TPak pak(long_path, pmRead);
  EXPECT_FALSE(pak.Verify(0));
  EXPECT_EQ(pak.LastExtract().Status, kExtractWrongLength);
  EXPECT_EQ(pak.LastExtract().Inflated, 3 * kPieceSize);
  EXPECT_TRUE(host.Boxes.empty());  // the reader shows nothing; the program decides
}

TEST(Pak, LargeEntryLimitDecidesCompressionAndVerification) {
  TPak pak(ScratchPath("limit-mem.pak"), pmCreate);
  TBytes zeros(kLargeEntryLimit, 0);
  int below = pak.AddEntry("below", "", 1);
  auto packed = pak.Pack(below, zeros.data(), kLargeEntryLimit - 1);
  ASSERT_TRUE(packed.has_value());
  EXPECT_GT(pak.Directory()[below].PackedSize, 0u);
  int at = pak.AddEntry("at", "", 1);
  packed = pak.Pack(at, zeros.data(), kLargeEntryLimit);
  EXPECT_EQ(pak.Directory()[at].PackedSize, 0u);
  EXPECT_EQ(packed->size(), kLargeEntryLimit);
  EXPECT_FALSE(pak.Pack(at, nullptr, 5).has_value());
}

TEST(Pak, LargeFilesAreCopiedPlainAndVerifiedByTheirCrcWhenTheyHaveOne) {
  const std::string source = ScratchPath("large-source.bin");
  std::filesystem::resize_file((WriteFile(source, {}), source), kLargeEntryLimit);
  const std::string path = ScratchPath("large.pak");
  {
    TPak pak(path, pmCreate);
    int i = pak.AddEntry("movie.bik", source, 1);
    ASSERT_TRUE(pak.StoreFromFile(i));
    ASSERT_TRUE(pak.WriteDirectory());
  }
  const TBytes good = ReadFile(path);
  const uint32_t dir_offset = LoadLE32(good.data() + good.size() - kPakTrailerSize + 12);
  const size_t crc_field = dir_offset + 2 + 9;
  {
    TPak pak(path, pmRead);
    const TPakEntry& e = pak.Directory()[0];
    EXPECT_EQ(e.Size, kLargeEntryLimit);
    EXPECT_EQ(e.PackedSize, 0u);
    EXPECT_EQ(e.Crc, Crc32(TBytes(kLargeEntryLimit, 0).data(), kLargeEntryLimit));
    EXPECT_TRUE(pak.Verify(0));
  }
  // One changed byte, at the start or in the last piece, fails the entry; the same package
  // with Crc 0, as older builders wrote it, is taken on trust.
  for (size_t at : {size_t{0}, size_t{kLargeEntryLimit - 1}}) {
    TBytes bytes = good;
    bytes[at] ^= 0x55;
    WriteFile(path, bytes);
    EXPECT_FALSE(TPak(path, pmRead).Verify(0)) << at;
    WriteFile(path, Patched(bytes, crc_field, 0, 4));
    EXPECT_TRUE(TPak(path, pmRead).Verify(0)) << at;
  }
  // A large entry claiming more bytes than the file holds fails without being read.
  WriteFile(path, Patched(good, crc_field + 12, kLargeEntryLimit + 4096, 4));
  EXPECT_FALSE(TPak(path, pmRead).Verify(0));
}

TEST(Pak, StoringAMissingSourceFileRaises) {
  TPak pak(ScratchPath("missing-source.pak"), pmCreate);
  int i = pak.AddEntry("x", ScratchPath("no-such-file"), 1);
  EXPECT_THROW(pak.StoreFromFile(i), ESetupError);
}

}  // namespace
}  // namespace setup

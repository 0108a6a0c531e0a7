// The package's second version: 64-bit places and sizes, data files beside the setup, shared
// stored bytes, the data files' digests, and directories that lie.
//
// Sizes past 4 GiB are made with sparse files: a hole of zeros costs neither disk nor time, so
// an entry of 4 GiB and more is read for real (its CRC taken over every byte) in a few seconds.
// Directories are made both by the package writer and by hand (pak_fixtures.h), so the reader
// is held to the layout and not only to its own writer.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>

#include "core/byte_order.h"
#include "core/crc.h"
#include "core/deflate.h"
#include "core/error.h"
#include "core/pak.h"
#include "core/sha256.h"
#include "pak_fixtures.h"
#include "pe_fixtures.h"
#include "test_files.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace setup {
namespace {

using testing::NoiseBytes;
using testing::ReadFile;
using testing::ResizeSparse;
using testing::ScratchPath;
using testing::Sha256Of;
using testing::TextBytes;
using testing::TRawPackage;
using testing::WriteAt;
using testing::WriteFile;
namespace trailer2 = testing::trailer2;

constexpr uint64_t k4GiB = uint64_t{1} << 32;

// Removes the files it names when the test ends, however it ends: sparse files of several
// gigabytes must not outlive their test even in the scratch folder.
struct TRemoveAtEnd {
  std::vector<std::string> paths;
  ~TRemoveAtEnd() {
    std::error_code ec;
    for (const std::string& p : paths) std::filesystem::remove(p, ec);
  }
};

// A folder for sparse files that are read whole: a memory file system where there is one, whose
// holes read as the shared zero page at memory speed; the scratch folder otherwise, where the
// first reading of a hole fills page after page with zeros (several seconds for 4 GiB).
std::string SparseFolder() {
  std::error_code ec;
  if (std::filesystem::is_directory("/dev/shm", ec)) {
    const std::string folder = "/dev/shm/setup-tests-" + std::to_string(::getpid());
    if (std::filesystem::create_directories(folder, ec) || std::filesystem::is_directory(folder, ec)) return folder;
  }
  return testing::ScratchFolder().string();
}

// Noise with every other byte zero: deflate halves it, so it is stored compressed and still long.
TBytes HalfNoise(size_t n, uint32_t seed = 7) {
  TBytes out = NoiseBytes(n, seed);
  for (size_t i = 0; i < n; i += 2) out[i] = 0;
  return out;
}

// The CRC-32 of n zero bytes without reading them: zlib combines the CRCs of two runs, so the
// run's CRC doubles in length with each step.
uint32_t ZeroRunCrc(uint64_t n) {
  const uint8_t zero = 0;
  uint32_t run = static_cast<uint32_t>(crc32(0, &zero, 1));
  uint64_t run_length = 1;
  uint32_t crc = 0;
  for (; n != 0; n >>= 1) {
    if (n & 1) crc = static_cast<uint32_t>(crc32_combine(crc, run, static_cast<z_off_t>(run_length)));
    run = static_cast<uint32_t>(crc32_combine(run, run, static_cast<z_off_t>(run_length)));
    run_length *= 2;
  }
  return crc;
}

TBytes Slice(const TBytes& bytes, size_t from, size_t n) {
  return TBytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + n));
}

// One entry for the writer: its bytes, or the index of an earlier entry whose stored bytes it
// shares.
struct Item {
  std::string name;
  uint16_t group;
  TBytes data;
  int shares = -1;
};

struct Written {
  std::string path;                     // the setup or bare package
  std::vector<std::string> data_files;  // data file N at [N - 1]
};

// Writes items with the project's writer into stem + ext; with slice != 0, entries of groups
// other than 0 go to data files of that size beside it (stem-N.bin); with a host, the package
// is appended to it.
Written WriteSet(const std::string& stem, const std::vector<Item>& items, uint64_t slice, const TBytes& host = {},
                 const std::string& ext = ".pak") {
  Written w;
  w.path = ScratchPath(stem + ext);
  WriteFile(w.path, host);
  TPak pak(w.path, host.empty() ? pmCreate : pmAppend);
  if (slice != 0) {
    EXPECT_TRUE(pak.StartDataFiles(stem, slice, [&](uint32_t n) { return ScratchPath(DataFileName(stem, n)); }));
  }
  for (const Item& it : items) {
    const int i = pak.AddEntry(it.name, "", it.group);
    if (it.shares >= 0) {
      EXPECT_TRUE(pak.ShareStored(i, it.shares)) << it.name;
    } else if (it.data.empty()) {  // an empty file: a record that stores nothing
      pak.Directory()[i].SourcePath = ScratchPath("empty-source.bin");
      WriteFile(pak.Directory()[i].SourcePath, {});
      EXPECT_TRUE(pak.StoreFromFile(i)) << it.name;
    } else {
      EXPECT_TRUE(pak.StoreFromMemory(i, it.data.data(), static_cast<uint32_t>(it.data.size()))) << it.name;
    }
  }
  EXPECT_TRUE(pak.WriteDirectory());
  for (const TPakDataFile& d : pak.WrittenDataFiles()) w.data_files.push_back(d.Path);
  pak.Close();
  return w;
}

// The package opened for reading with its data files attached from beside it.
std::unique_ptr<TPak> OpenSet(const std::string& path) {
  auto pak = std::make_unique<TPak>(path, pmRead);
  for (const TDataFileLookup& found : AttachDataFiles(*pak, path)) {
    EXPECT_EQ(found.Status, TDataFileStatus::Found) << found.Path;
  }
  return pak;
}

TBytes ReadAt(TPak& pak, int index, uint64_t position, size_t n) {
  TBytes out(n);
  out.resize(pak.ReadStoredAt(index, position, out.data(), n));
  return out;
}

// Bytes the heap holds now: the sanitizer's count under ASan, the C library's otherwise.
int64_t HeapBytes() {
#if defined(__SANITIZE_ADDRESS__)
  return static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
#else
  const struct mallinfo2 m = mallinfo2();
  return static_cast<int64_t>(m.uordblks + m.hblkhd);
#endif
}

// Installs a digest factory for one test and puts libcrypto's back afterwards.
struct TDigestFactoryForTest {
  explicit TDigestFactoryForTest(TSha256Factory factory) { SetSha256Factory(std::move(factory)); }
  ~TDigestFactoryForTest() { SetSha256Factory([] { return NewLibcryptoSha256(); }); }
};

// ------------------------------------------------------------------ sizes past 32 bits

TEST(PakVersion2, ZeroRunCrcMatchesTheCrcOfRealZeros) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{1000}, size_t{65537}}) {
    EXPECT_EQ(ZeroRunCrc(n), Crc32(TBytes(n, 0).data(), n)) << n;
  }
}

TEST(PakVersion2, EntriesPastFourGiBInABarePackageAreWrittenAsVersion2AndRead) {
  const std::string path = ScratchPath("far.pak");
  TRemoveAtEnd remove{{path}};
  const uint64_t start = k4GiB + 17;
  const TBytes text = TextBytes(5000);
  const TBytes noise = NoiseBytes(3000);
  {
    TPak pak(path, pmCreate);
    ASSERT_TRUE(ResizeSparse(path, start));  // the writer appends after the hole
    const int a = pak.AddEntry("far.txt", "", 1);
    ASSERT_TRUE(pak.StoreFromMemory(a, text.data(), static_cast<uint32_t>(text.size())));
    const int b = pak.AddEntry("far.bin", "", 2);
    ASSERT_TRUE(pak.StoreFromMemory(b, noise.data(), static_cast<uint32_t>(noise.size())));
    ASSERT_TRUE(pak.WriteDirectory());
  }
  TPak pak(path, pmRead);
  ASSERT_TRUE(pak.DirectorySound());
  EXPECT_EQ(pak.Trailer().Version, kPakVersion2);
  EXPECT_EQ(pak.Trailer().DataStart, 0u);
  EXPECT_EQ(pak.ExecutablePartLength(), 0u);
  EXPECT_TRUE(pak.DataFiles().empty());
  ASSERT_EQ(pak.Directory().size(), 2u);
  const TPakEntry& a = pak.Directory()[0];
  const TPakEntry& b = pak.Directory()[1];
  EXPECT_EQ(a.Offset, start);
  EXPECT_GT(a.PackedSize, 0u);
  EXPECT_EQ(b.Offset, start + a.PackedSize);
  EXPECT_EQ(b.DataFile, 0u);
  EXPECT_EQ(pak.Extract(0), text);
  EXPECT_EQ(pak.Extract(1), noise);
  EXPECT_TRUE(pak.Verify(0));
  EXPECT_TRUE(pak.Verify(1));
  EXPECT_EQ(ReadAt(pak, 1, 2990, 100), Slice(noise, 2990, 10));
  EXPECT_EQ(pak.Trailer().DirOffset, b.Offset + b.Size);
}

TEST(PakVersion2, EntriesPastFourGiBInADataFileExtractAndVerify) {
  const std::string path = ScratchPath("far2.pak");
  const std::string data_file = ScratchPath("far2-1.bin");
  TRemoveAtEnd remove{{path, data_file}};
  const TBytes text = TextBytes(5000);
  const TBytes packed = Deflate(text.data(), text.size());
  const TBytes noise = NoiseBytes(3000, 3);
  const TBytes info = NoiseBytes(200, 4);
  const uint64_t packed_at = k4GiB + 7;
  const uint64_t noise_at = 5 * k4GiB / 4 + 5;  // 5 GiB + 5
  ASSERT_TRUE(WriteAt(data_file, packed_at, packed));
  ASSERT_TRUE(WriteAt(data_file, noise_at, noise));

  TRawPackage p;
  p.Stem = "far2";
  p.DataFiles = {{noise_at + noise.size(), {}}};
  p.Entries = {{"SetupInfo", Crc32(info.data(), info.size()), 0, 0, info.size(), 0, 0},
               {"x.txt", Crc32(packed.data(), packed.size()), packed_at, packed.size(), text.size(), 1, 1},
               {"y.bin", Crc32(noise.data(), noise.size()), noise_at, 0, noise.size(), 1, 1}};
  WriteFile(path, testing::Version2Package(info, p));

  auto pak = OpenSet(path);
  ASSERT_TRUE(pak->DirectorySound());
  EXPECT_EQ(pak->DataFileStem(), "far2");
  ASSERT_EQ(pak->DataFiles().size(), 1u);
  EXPECT_EQ(pak->DataFiles()[0].Size, noise_at + 3000);
  EXPECT_EQ(pak->Directory()[1].Offset, packed_at);
  EXPECT_EQ(pak->Directory()[2].Offset, noise_at);
  EXPECT_EQ(pak->Extract(0), info);
  EXPECT_EQ(pak->Extract(1), text);
  EXPECT_EQ(pak->Extract(2), noise);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(pak->Verify(i)) << i;
  EXPECT_EQ(ReadAt(*pak, 1, 0, packed.size()), packed);
  EXPECT_EQ(ReadAt(*pak, 2, 1500, 2000), Slice(noise, 1500, 1500));
}

TEST(PakVersion2, APlainEntryLargerThanFourGiBReadsAtAnyPositionAndVerifiesByItsCrc) {
  const std::string folder = SparseFolder();
  const std::string path = folder + "/huge.pak";
  const std::string data_file = folder + "/huge-1.bin";
  TRemoveAtEnd remove{{path, data_file}};
  if (folder != testing::ScratchFolder().string()) remove.paths.push_back(folder);
  // 4 GiB + 3 bytes: zeros, one known byte just before 4 GiB and three known bytes after it.
  const uint64_t size = k4GiB + 3;
  const TBytes tail = {0xA1, 0xB1, 0xB2, 0xB3};
  ASSERT_TRUE(WriteAt(data_file, k4GiB - 1, tail));
  const uint32_t crc = Crc32(tail.data(), tail.size(), ZeroRunCrc(k4GiB - 1));

  for (uint32_t claimed : {crc, crc ^ 1u, 0u}) {
    TRawPackage p;
    p.Stem = "huge";
    p.DataFiles = {{size, {}}};
    p.Entries = {{"huge.bin", claimed, 0, 0, size, 1, 1}};
    WriteFile(path, testing::Version2Package({}, p));
    auto pak = OpenSet(path);
    ASSERT_TRUE(pak->DirectorySound());
    EXPECT_EQ(pak->Directory()[0].Size, size);
    if (claimed == crc) {
      EXPECT_EQ(ReadAt(*pak, 0, k4GiB - 3, 8), (TBytes{0, 0, 0xA1, 0xB1, 0xB2, 0xB3}));
      EXPECT_EQ(ReadAt(*pak, 0, k4GiB + 2, 1), TBytes{0xB3});
      EXPECT_EQ(ReadAt(*pak, 0, k4GiB + 1, 100), (TBytes{0xB2, 0xB3}));
      EXPECT_TRUE(ReadAt(*pak, 0, size, 10).empty());
      EXPECT_EQ(ReadAt(*pak, 0, 12345, 3), TBytes(3, 0));
    }
    // The right CRC passes and a wrong one fails, each after reading every byte; 0 is taken on
    // trust, as packages from before large entries carried a CRC have it.
    EXPECT_EQ(pak->Verify(0), claimed != (crc ^ 1u)) << "Crc " << claimed;
  }
}

TEST(PakVersion2, AnEntrySpanningThreeDataFilesReadsAcrossTheirBoundaries) {
  const TBytes info = TextBytes(300);
  const TBytes first = NoiseBytes(300, 1);
  const TBytes spanning = NoiseBytes(2500, 2);
  const TBytes packed = HalfNoise(5000);
  const Written w = WriteSet("span", {{"SetupInfo", 0, info}, {"a", 1, first}, {"b", 1, spanning}, {"c", 2, packed}},
                             1000);
  {
    auto pak = OpenSet(w.path);
    ASSERT_TRUE(pak->DirectorySound());
    const auto& d = pak->Directory();
    // "b" fills the rest of data file 1, all of 2 and part of 3; "c" is compressed and goes on
    // from there through further data files.
    EXPECT_EQ(d[0].DataFile, 0u);
    EXPECT_EQ(d[1].DataFile, 1u);
    EXPECT_EQ(d[2].DataFile, 1u);
    EXPECT_EQ(d[2].Offset, 300u);
    EXPECT_EQ(d[3].DataFile, 3u);
    EXPECT_EQ(d[3].Offset, 800u);
    EXPECT_GT(d[3].PackedSize, 1200u);
    ASSERT_GE(pak->DataFiles().size(), 5u);
    uint64_t total = 0;
    for (size_t n = 0; n < pak->DataFiles().size(); ++n) {
      const bool last = n + 1 == pak->DataFiles().size();
      if (!last) {
        EXPECT_EQ(pak->DataFiles()[n].Size, 1000u) << n;
      }
      total += pak->DataFiles()[n].Size;
    }
    EXPECT_EQ(total, 300 + 2500 + d[3].PackedSize);
    EXPECT_EQ(pak->Extract(0), info);
    EXPECT_EQ(pak->Extract(1), first);
    EXPECT_EQ(pak->Extract(2), spanning);
    EXPECT_EQ(pak->Extract(3), packed);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(pak->Verify(i)) << i;
    // Reads that cross from data file 1 into 2 and from 2 into 3, that start on a boundary,
    // and that run past the entry's end.
    EXPECT_EQ(ReadAt(*pak, 2, 690, 20), Slice(spanning, 690, 20));
    EXPECT_EQ(ReadAt(*pak, 2, 1690, 20), Slice(spanning, 1690, 20));
    EXPECT_EQ(ReadAt(*pak, 2, 700, 5), Slice(spanning, 700, 5));
    EXPECT_EQ(ReadAt(*pak, 2, 1700, 800), Slice(spanning, 1700, 800));
    EXPECT_EQ(ReadAt(*pak, 2, 0, 2500), spanning);
    EXPECT_EQ(ReadAt(*pak, 2, 2490, 100), Slice(spanning, 2490, 10));
    EXPECT_TRUE(ReadAt(*pak, 2, 2500, 1).empty());
    const TBytes stream = ReadAt(*pak, 3, 0, d[3].PackedSize);
    EXPECT_EQ(Crc32(stream.data(), stream.size()), d[3].Crc);
  }

  // A changed byte in the middle data file fails the entry that spans it, and no other.
  const TBytes middle = ReadFile(w.data_files[1]);
  TBytes damaged = middle;
  damaged[500] ^= 0x40;
  WriteFile(w.data_files[1], damaged);
  {
    auto pak = OpenSet(w.path);
    EXPECT_TRUE(pak->Verify(0));
    EXPECT_TRUE(pak->Verify(1));
    EXPECT_FALSE(pak->Verify(2));
    EXPECT_TRUE(pak->Extract(2).empty());
    EXPECT_TRUE(pak->Verify(3));
  }

  // Without the middle data file the spanning entry is unreadable, none of its bytes are read.
  std::filesystem::remove(w.data_files[1]);
  TPak pak(w.path, pmRead);
  const auto found = AttachDataFiles(pak, w.path);
  EXPECT_EQ(found[0].Status, TDataFileStatus::Found);
  EXPECT_EQ(found[1].Status, TDataFileStatus::Missing);
  EXPECT_EQ(found[2].Status, TDataFileStatus::Found);
  EXPECT_TRUE(pak.Verify(1));
  EXPECT_FALSE(pak.Verify(2));
  EXPECT_EQ(pak.LastExtract().Status, kExtractUnreadable);
  EXPECT_TRUE(pak.Extract(2).empty());
  EXPECT_TRUE(ReadAt(pak, 2, 0, 2500).empty());
  EXPECT_TRUE(ReadAt(pak, 2, 900, 10).empty());
  EXPECT_TRUE(pak.Verify(3));
}

// Tiny entries stored plain: each holds its own index, so a record read back in the wrong
// place shows.
std::string WriteManyEntries(const std::string& file, uint32_t count) {
  const std::string path = ScratchPath(file);
  TPak pak(path, pmCreate);
  for (uint32_t i = 0; i < count; ++i) {
    const int index = pak.AddEntry("f" + std::to_string(i), "", static_cast<uint16_t>(i % 7));
    TBytes stored(4);
    StoreLE32(stored.data(), i);
    TPakEntry& e = pak.Directory()[index];
    e.Size = stored.size();
    e.PackedSize = 0;
    e.Crc = Crc32(stored.data(), stored.size());
    EXPECT_TRUE(pak.StorePacked(index, stored));
  }
  EXPECT_TRUE(pak.WriteDirectory());
  return path;
}

void ExpectManyEntries(TPak& pak, uint32_t count) {
  ASSERT_TRUE(pak.DirectorySound());
  ASSERT_EQ(pak.Directory().size(), count);
  int wrong = 0;
  for (uint32_t i = 0; i < count && wrong < 5; ++i) {
    const TPakEntry& e = pak.Directory()[i];
    const TBytes data = pak.Extract(static_cast<int>(i));
    const bool right = e.Name == "f" + std::to_string(i) && e.Group == i % 7 && data.size() == 4 && LoadLE32(data.data()) == i;
    if (!right) {
      ADD_FAILURE() << "entry " << i << " reads back as " << e.Name << ", group " << e.Group;
      ++wrong;
    }
  }
}

TEST(PakVersion2, MoreThan65535EntriesAreWrittenAsVersion2AndEveryOneReadsBack) {
  TPak pak(WriteManyEntries("many.pak", 70000), pmRead);
  EXPECT_EQ(pak.Trailer().Version, kPakVersion2);
  EXPECT_EQ(pak.Trailer().Count, 70000u);
  ExpectManyEntries(pak, 70000);
}

TEST(PakVersion2, Exactly65535EntriesStayVersion1) {
  const std::string path = WriteManyEntries("most.pak", 65535);
  const TBytes bytes = ReadFile(path);
  EXPECT_EQ(LoadLE16(bytes.data() + bytes.size() - 12), 1u);       // Version
  EXPECT_EQ(LoadLE16(bytes.data() + bytes.size() - 10), 0xFFFFu);  // Count
  TPak pak(path, pmRead);
  EXPECT_EQ(pak.Trailer().Version, kPakVersion1);
  ExpectManyEntries(pak, 65535);
}

TEST(PakVersion2, ASetupFileNeverGrowsPastFourGiBButItsDataFilesDo) {
  const std::string path = ScratchPath("edge.exe");
  TRemoveAtEnd remove{{path, ScratchPath("edge-1.bin")}};
  ASSERT_TRUE(ResizeSparse(path, kMostSetupFileSize - 50));
  const TBytes noise = NoiseBytes(100);
  TPak pak(path, pmAppend);
  const int setup_entry = pak.AddEntry("SetupInfo", "", 0);
  EXPECT_FALSE(pak.StoreFromMemory(setup_entry, noise.data(), 100));
  ASSERT_TRUE(pak.StartDataFiles("edge", 1 << 20, [](uint32_t n) { return ScratchPath(DataFileName("edge", n)); }));
  const int data_entry = pak.AddEntry("data.bin", "", 1);
  EXPECT_TRUE(pak.StoreFromMemory(data_entry, noise.data(), 100));
  EXPECT_EQ(pak.Directory()[data_entry].DataFile, 1u);
  EXPECT_FALSE(pak.StoreFromMemory(setup_entry, noise.data(), 100));
  // The directory and table would take the setup file past 4 GiB.
  EXPECT_FALSE(pak.WriteDirectory());
}

// ------------------------------------------------------------------ the layouts, byte for byte

TEST(PakVersion2, PackagesThatFitAreWrittenAsVersion1ByteForByte) {
  const TBytes host = NoiseBytes(100, 9);
  const TBytes info = NoiseBytes(50, 10);
  const TBytes text = TextBytes(2000);
  const Written w = WriteSet("fits", {{"SetupInfo", 0, info}, {"t.txt", 1, text}, {"e", 2, {}}}, 0, host, ".exe");
  TPakEntry packed_text;
  const TBytes stream = PackEntry(packed_text, text.data(), static_cast<uint32_t>(text.size()));
  ASSERT_GT(packed_text.PackedSize, 0u);

  std::string expected(host.begin(), host.end());
  expected.append(info.begin(), info.end());
  expected.append(stream.begin(), stream.end());
  const uint32_t dir_offset = static_cast<uint32_t>(expected.size());
  auto record = [&](const std::string& name, uint32_t crc, uint32_t offset, uint32_t packed, uint32_t size, uint16_t group) {
    AppendLE16(expected, static_cast<uint16_t>(name.size()));
    expected += name;
    AppendLE32(expected, crc);
    AppendLE32(expected, offset);
    AppendLE32(expected, packed);
    AppendLE32(expected, size);
    AppendLE16(expected, group);
  };
  record("SetupInfo", Crc32(info.data(), info.size()), 100, 0, 50, 0);
  record("t.txt", packed_text.Crc, 150, static_cast<uint32_t>(stream.size()), 2000, 1);
  record("e", 0, dir_offset, 0, 0, 2);  // stores nothing: names the setup file's end then
  expected += "KZPF";
  AppendLE16(expected, 1);
  AppendLE16(expected, 3);
  AppendLE32(expected, 100);
  AppendLE32(expected, dir_offset);
  EXPECT_EQ(ReadFile(w.path), TBytes(expected.begin(), expected.end()));
  // Records of 20 bytes and a name, and the 16-byte trailer.
  EXPECT_EQ(expected.size() - dir_offset, 3 * kPakRecordFixedSize + 9 + 5 + 1 + kPakTrailerSize);

  TPak pak(w.path, pmRead);
  EXPECT_EQ(pak.Trailer().Version, kPakVersion1);
  EXPECT_EQ(pak.ExecutablePartLength(), 100u);
  EXPECT_EQ(pak.Extract(1), text);
}

TEST(PakVersion2, Version2IsWrittenExactlyAsTheLayoutSays) {
  const TBytes host = NoiseBytes(777, 11);
  const TBytes info = NoiseBytes(200, 12);
  const TBytes a = NoiseBytes(1500, 13);
  const TBytes b = NoiseBytes(10, 14);
  const Written w = WriteSet("layout", {{"SetupInfo", 0, info}, {"a", 1, a}, {"b", 2, b}, {"a2", 3, {}, 1}}, 1000,
                             host, ".exe");
  ASSERT_EQ(w.data_files.size(), 2u);
  const TBytes file1 = ReadFile(w.data_files[0]);
  const TBytes file2 = ReadFile(w.data_files[1]);
  TBytes joined = a;
  joined.insert(joined.end(), b.begin(), b.end());
  EXPECT_EQ(file1, Slice(joined, 0, 1000));
  EXPECT_EQ(file2, Slice(joined, 1000, 510));

  TRawPackage p;
  p.DataStart = 777;
  p.Stem = "layout";
  p.DataFiles = {{1000, Sha256Of(file1)}, {510, Sha256Of(file2)}};
  const uint32_t a_crc = Crc32(a.data(), a.size());
  p.Entries = {{"SetupInfo", Crc32(info.data(), info.size()), 777, 0, 200, 0, 0},
               {"a", a_crc, 0, 0, 1500, 1, 1},
               {"b", Crc32(b.data(), b.size()), 500, 0, 10, 2, 2},
               {"a2", a_crc, 0, 0, 1500, 3, 1}};
  TBytes expected = host;
  expected.insert(expected.end(), info.begin(), info.end());
  const TBytes tail = testing::Version2Tail(p, expected.size());
  expected.insert(expected.end(), tail.begin(), tail.end());
  const TBytes written = ReadFile(w.path);
  EXPECT_EQ(written, expected);

  // The last 16 bytes have the first version's magic with a Count of 0: a reader of the first
  // version sees an empty package rather than misreading the second.
  ASSERT_GE(written.size(), kPakTrailer2Size);
  const uint8_t* last16 = written.data() + written.size() - kPakTrailerSize;
  EXPECT_EQ(std::memcmp(last16, "KZPF", 4), 0);
  EXPECT_EQ(LoadLE16(last16 + 4), 2u);
  EXPECT_EQ(LoadLE16(last16 + 6), 0u);
  EXPECT_EQ(LoadLE32(last16 + 12), kPakTrailer2Size);

  TPak pak(w.path, pmRead);
  ASSERT_TRUE(pak.DirectorySound());
  EXPECT_EQ(pak.Trailer().Version, kPakVersion2);
  EXPECT_EQ(pak.Trailer().DataStart, 777u);
  EXPECT_EQ(pak.ExecutablePartLength(), 777u);
  EXPECT_EQ(pak.Trailer().DataFileCount, 2u);
}

TEST(PakVersion2, SignedVersion2SetupsAreReadInFrontOfTheirCertificateTable) {
  const std::vector<Item> items = {{"SetupInfo", 0, TextBytes(300)}, {"a", 1, NoiseBytes(1500, 15)}};
  const Written w = WriteSet("signed", items, 1000, testing::FixtureExecutable(), ".exe");
  const TBytes setup = ReadFile(w.path);
  for (size_t padding = 0; padding <= 7; ++padding) {
    WriteFile(w.path, testing::FixtureSigned(setup, padding));
    auto pak = OpenSet(w.path);
    ASSERT_TRUE(pak->DirectorySound()) << "padding " << padding;
    EXPECT_EQ(pak->Trailer().Version, kPakVersion2);
    EXPECT_EQ(pak->FileSize(), setup.size());
    EXPECT_EQ(pak->ExecutablePartLength(), testing::FixtureExecutable().size());
    EXPECT_EQ(pak->Extract(0), TextBytes(300));
    EXPECT_EQ(pak->Extract(1), NoiseBytes(1500, 15));
  }
}

// ------------------------------------------------------------------ data files

TEST(PakVersion2, DataFileCandidatesFollowTheSetupsNameAndItsCopyMark) {
  using V = std::vector<std::string>;
  EXPECT_EQ(DataFileCandidates("dl/Game.exe", "Game", 2), V{"dl/Game-2.bin"});
  EXPECT_EQ(DataFileCandidates("dl/Game (1).exe", "Game", 2),
            (V{"dl/Game (1)-2.bin", "dl/Game-2 (1).bin", "dl/Game-2.bin"}));
  EXPECT_EQ(DataFileCandidates("C:\\Downloads\\GAME [3].EXE", "Game", 12),
            (V{"C:\\Downloads\\GAME [3]-12.bin", "C:\\Downloads\\Game-12 [3].bin", "C:\\Downloads\\Game-12.bin"}));
  // Another name altogether: its own stem and the builder's, no copy mark.
  EXPECT_EQ(DataFileCandidates("Other.exe", "Game", 1), (V{"Other-1.bin", "Game-1.bin"}));
  EXPECT_EQ(DataFileCandidates("Game v2.exe", "Game", 1), (V{"Game v2-1.bin", "Game-1.bin"}));
  EXPECT_EQ(DataFileName("MyGame_setup", 2), "MyGame_setup-2.bin");
}

TEST(PakVersion2, AttachDataFilesFindsRenamedSetsAndReportsMissingAndWrongSize) {
  const TBytes first = NoiseBytes(800, 21);
  const TBytes second = NoiseBytes(700, 22);
  const Written w = WriteSet("Game", {{"SetupInfo", 0, TextBytes(100)}, {"a", 1, first}, {"b", 1, second}}, 1000,
                             {}, ".exe");
  ASSERT_EQ(w.data_files.size(), 2u);
  // A browser saved the whole set a second time: the setup as "Game (1).exe", one data file
  // after the setup's new name, the other with the mark after its number.
  const std::string setup = ScratchPath("Game (1).exe");
  const std::string renamed1 = ScratchPath("Game (1)-1.bin");
  const std::string renamed2 = ScratchPath("Game-2 (1).bin");
  std::filesystem::rename(w.path, setup);
  std::filesystem::rename(w.data_files[0], renamed1);
  std::filesystem::rename(w.data_files[1], renamed2);
  {
    TPak pak(setup, pmRead);
    const auto found = AttachDataFiles(pak, setup);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].Status, TDataFileStatus::Found);
    EXPECT_EQ(found[0].Path, renamed1);
    EXPECT_EQ(found[1].Status, TDataFileStatus::Found);
    EXPECT_EQ(found[1].Path, renamed2);
    EXPECT_EQ(pak.DataFiles()[1].Path, renamed2);
    EXPECT_EQ(pak.Extract(1), first);
    EXPECT_EQ(pak.Extract(2), second);
  }
  // Data file 2 gone: missing, under the name the builder gave it.
  std::filesystem::rename(renamed2, ScratchPath("elsewhere.bin"));
  {
    TPak pak(setup, pmRead);
    const auto found = AttachDataFiles(pak, setup);
    EXPECT_EQ(found[0].Status, TDataFileStatus::Found);
    EXPECT_EQ(found[1].Status, TDataFileStatus::Missing);
    EXPECT_EQ(found[1].Path, ScratchPath("Game-2.bin"));
    EXPECT_TRUE(pak.DataFiles()[1].Path.empty());
    EXPECT_TRUE(pak.Extract(2).empty());
  }
  // A candidate of another length is reported by its name; a later candidate of the right
  // length is still found.
  const std::string short_one = ScratchPath("Game (1)-2.bin");
  WriteFile(short_one, Slice(second, 0, 100));
  {
    TPak pak(setup, pmRead);
    const auto found = AttachDataFiles(pak, setup);
    EXPECT_EQ(found[1].Status, TDataFileStatus::WrongSize);
    EXPECT_EQ(found[1].Path, short_one);
    EXPECT_FALSE(pak.Verify(2));
  }
  std::filesystem::rename(ScratchPath("elsewhere.bin"), ScratchPath("Game-2.bin"));
  TPak pak(setup, pmRead);
  const auto found = AttachDataFiles(pak, setup);
  EXPECT_EQ(found[1].Status, TDataFileStatus::Found);
  EXPECT_EQ(found[1].Path, ScratchPath("Game-2.bin"));
  EXPECT_EQ(pak.Extract(2), second);
}

TEST(PakVersion2, TheDataFileTableKeepsStemSizesAndDigestsOfTheFilesWritten) {
  const std::vector<Item> items = {{"SetupInfo", 0, TextBytes(100)},
                                   {"a", 1, HalfNoise(3000, 31)},
                                   {"b", 2, NoiseBytes(2500, 32)},
                                   {"c", 1, TextBytes(9000)}};
  const Written w = WriteSet("table", items, 1024);
  TPak pak(w.path, pmRead);
  ASSERT_TRUE(pak.DirectorySound());
  EXPECT_EQ(pak.DataFileStem(), "table");
  ASSERT_EQ(pak.DataFiles().size(), w.data_files.size());
  ASSERT_GE(w.data_files.size(), 3u);
  for (size_t n = 0; n < w.data_files.size(); ++n) {
    const TBytes bytes = ReadFile(w.data_files[n]);
    EXPECT_EQ(w.data_files[n], ScratchPath(DataFileName("table", static_cast<uint32_t>(n + 1))));
    EXPECT_EQ(pak.DataFiles()[n].Size, bytes.size()) << n;
    EXPECT_EQ(pak.DataFiles()[n].Sha256, Sha256Of(bytes)) << n;
    EXPECT_TRUE(pak.DataFiles()[n].Path.empty()) << "attached before being asked: " << n;
  }
  // Data files need a digest service and a slice size.
  TPak writer(ScratchPath("refused.pak"), pmCreate);
  auto path_of = [](uint32_t n) { return ScratchPath(DataFileName("refused", n)); };
  EXPECT_FALSE(writer.StartDataFiles("refused", 0, path_of));
  TDigestFactoryForTest none(nullptr);
  EXPECT_FALSE(writer.StartDataFiles("refused", 1000, path_of));
}

std::vector<Item> DigestItems() {
  return {{"SetupInfo", 0, TextBytes(100)}, {"a", 1, HalfNoise(3000, 41)}, {"b", 2, NoiseBytes(2500, 42)},
          {"a-copy", 3, {}, 1},             {"c", 1, TextBytes(9000)},     {"d", 1, NoiseBytes(1800, 43)}};
}

TEST(PakVersion2, DataFileDigestsTakenWhileVerifyingMatchInAnyReadingOrder) {
  const Written w = WriteSet("digest", DigestItems(), 1024);
  const size_t files = w.data_files.size();
  ASSERT_GE(files, 4u);
  uint64_t data_bytes = 0;
  for (const std::string& f : w.data_files) data_bytes += ReadFile(f).size();

  // In directory order: every byte of the data files is read once, by the entries.
  {
    auto pak = OpenSet(w.path);
    pak->TakeDataFileDigests();
    uint64_t read = 0;
    pak->SetReadProgress([&](uint64_t n) { read += n; });
    for (int i = 0; i < static_cast<int>(pak->Directory().size()); ++i) {
      if (i == 3) continue;  // shares the bytes of entry 1, verified once
      EXPECT_TRUE(pak->Verify(i)) << i;
    }
    const uint64_t setup_bytes = pak->Directory()[0].StoredLength();
    EXPECT_EQ(read, setup_bytes + data_bytes);
    for (uint32_t n = 1; n <= files; ++n) EXPECT_TRUE(pak->DataFileDigestMatches(n)) << n;
    EXPECT_EQ(read, setup_bytes + data_bytes) << "the digests read bytes the entries had read";
    // A digest is spent once compared.
    EXPECT_FALSE(pak->DataFileDigestMatches(1));
    EXPECT_FALSE(pak->DataFileDigestMatches(0));
    EXPECT_FALSE(pak->DataFileDigestMatches(static_cast<uint32_t>(files + 1)));
  }
  // Backwards, with the shared entry read twice and one entry read twice more: what the
  // entries did not read in order is read at the end.
  {
    auto pak = OpenSet(w.path);
    pak->TakeDataFileDigests();
    for (int i = static_cast<int>(pak->Directory().size()) - 1; i >= 0; --i) EXPECT_TRUE(pak->Verify(i)) << i;
    EXPECT_TRUE(pak->Verify(4));
    EXPECT_FALSE(pak->Extract(5).empty());
    for (uint32_t n = 1; n <= files; ++n) EXPECT_TRUE(pak->DataFileDigestMatches(n)) << n;
  }
  // Nothing read at all, and data files attached after the digests were asked for.
  {
    TPak pak(w.path, pmRead);
    pak.TakeDataFileDigests();
    for (const TDataFileLookup& found : AttachDataFiles(pak, w.path)) EXPECT_EQ(found.Status, TDataFileStatus::Found);
    for (uint32_t n = 1; n <= files; ++n) EXPECT_TRUE(pak.DataFileDigestMatches(n)) << n;
  }
  // No digest asked for, or a data file not attached: no match.
  {
    auto pak = OpenSet(w.path);
    for (int i = 0; i < static_cast<int>(pak->Directory().size()); ++i) pak->Verify(i);
    EXPECT_FALSE(pak->DataFileDigestMatches(1));
    TPak unattached(w.path, pmRead);
    unattached.TakeDataFileDigests();
    EXPECT_FALSE(unattached.DataFileDigestMatches(1));
  }
}

// A large entry with Crc 0 is taken on trust by Verify: only the data file's digest can tell
// that its bytes changed.
TEST(PakVersion2, DataFileDigestsCatchChangesNoCrcCovers) {
  const std::string source = ScratchPath("large-source.bin");
  TRemoveAtEnd remove{{source}};
  ASSERT_TRUE(ResizeSparse(source, kLargeEntryLimit));
  ASSERT_TRUE(WriteAt(source, 0, TextBytes(16)));  // the two halves differ
  const std::string path = ScratchPath("trust.pak");
  std::vector<std::string> data_files;
  {
    TPak pak(path, pmCreate);
    ASSERT_TRUE(pak.StartDataFiles("trust", kLargeEntryLimit / 2,
                                   [](uint32_t n) { return ScratchPath(DataFileName("trust", n)); }));
    const int i = pak.AddEntry("movie.bik", source, 1);
    ASSERT_TRUE(pak.StoreFromFile(i));
    EXPECT_EQ(pak.Directory()[i].Size, kLargeEntryLimit);
    pak.Directory()[i].Crc = 0;
    ASSERT_TRUE(pak.WriteDirectory());
    for (const TPakDataFile& d : pak.WrittenDataFiles()) data_files.push_back(d.Path);
  }
  for (const std::string& f : data_files) remove.paths.push_back(f);
  ASSERT_EQ(data_files.size(), 2u);
  auto check = [&](bool first_matches, bool second_matches) {
    auto pak = OpenSet(path);
    pak->TakeDataFileDigests();
    EXPECT_TRUE(pak->Verify(0));
    EXPECT_EQ(pak->DataFileDigestMatches(1), first_matches);
    EXPECT_EQ(pak->DataFileDigestMatches(2), second_matches);
  };
  check(true, true);
  // The two data files swapped: same sizes, each other's content.
  const std::string held = ScratchPath("held.bin");
  std::filesystem::rename(data_files[0], held);
  std::filesystem::rename(data_files[1], data_files[0]);
  std::filesystem::rename(held, data_files[1]);
  check(false, false);
  std::filesystem::rename(data_files[1], held);
  std::filesystem::rename(data_files[0], data_files[1]);
  std::filesystem::rename(held, data_files[0]);
  check(true, true);
  // One byte changed in the middle of the entry, in data file 2.
  ASSERT_TRUE(WriteAt(data_files[1], 12345, {0x5A}));
  check(true, false);
}

// A digest service that fails on its first update, as a system's cryptographic service may.
class TFailingSha256 : public TSha256 {
 public:
  bool Update(const uint8_t*, size_t) override { return false; }
  bool Final(TSha256Digest&) override { return false; }
};

TEST(PakVersion2, ADigestServiceFailingInTheMiddleOfADataFileGivesNoMatchAndEnds) {
  const Written w = WriteSet("failing", {{"big", 1, NoiseBytes(3 * kPieceSize + 5, 51)}}, 4 * kPieceSize);
  ASSERT_EQ(w.data_files.size(), 1u);
  TDigestFactoryForTest failing([] { return std::make_unique<TFailingSha256>(); });
  auto pak = OpenSet(w.path);
  pak->TakeDataFileDigests();
  // The data file is read in pieces; a reading that never ends is cut off here.
  int reads = 0;
  pak->SetReadProgress([&](uint64_t) {
    if (++reads > 100) throw std::runtime_error("the data file is read again and again");
  });
  bool matched = true;
  EXPECT_NO_THROW(matched = pak->DataFileDigestMatches(1));
  EXPECT_FALSE(matched);
  EXPECT_LE(reads, 4);
}

// ------------------------------------------------------------------ shared stored bytes

TEST(PakVersion2, EntriesSharingStoredBytesReadInBothVersionsAndFailTogether) {
  const TBytes text = TextBytes(4000);
  const TBytes noise = NoiseBytes(900, 61);
  const std::vector<Item> items = {{"a", 1, text},          {"b", 1, noise},   {"a-copy", 2, {}, 0},
                                   {"b-copy", 3, {}, 1},    {"empty", 1, {}},  {"empty2", 1, {}}};
  for (uint64_t slice : {uint64_t{0}, uint64_t{512}}) {
    SCOPED_TRACE(slice == 0 ? "version 1" : "version 2, data files");
    const Written w = WriteSet(slice == 0 ? "shared1" : "shared2", items, slice);
    TBytes target_file;
    uint64_t target_at = 0;
    {
      auto pak = OpenSet(w.path);
      ASSERT_TRUE(pak->DirectorySound());
      EXPECT_EQ(pak->Trailer().Version, slice == 0 ? kPakVersion1 : kPakVersion2);
      const auto& d = pak->Directory();
      EXPECT_TRUE(d[2].SamePlace(d[0]));
      EXPECT_TRUE(d[3].SamePlace(d[1]));
      EXPECT_FALSE(d[1].SamePlace(d[0]));
      EXPECT_EQ(pak->Extract(0), text);
      EXPECT_EQ(pak->Extract(2), text);
      EXPECT_EQ(pak->Extract(1), noise);
      EXPECT_EQ(pak->Extract(3), noise);
      EXPECT_EQ(pak->SharingEntries(0), (std::vector<int>{0, 2}));
      EXPECT_EQ(pak->SharingEntries(2), (std::vector<int>{0, 2}));
      EXPECT_EQ(pak->SharingEntries(3), (std::vector<int>{1, 3}));
      // Entries that store nothing share nothing, whatever place their records name.
      EXPECT_EQ(pak->SharingEntries(4), std::vector<int>{4});
      EXPECT_EQ(pak->SharingEntries(5), std::vector<int>{5});
      EXPECT_TRUE(pak->SharingEntries(6).empty());
      // Stored once: the stored bytes are those of "a" and "b" only.
      uint64_t stored = d[0].StoredLength() + d[1].StoredLength();
      if (slice == 0) {
        EXPECT_EQ(pak->Trailer().DirOffset, stored);
      } else {
        uint64_t total = 0;
        for (const TPakDataFile& f : pak->DataFiles()) total += f.Size;
        EXPECT_EQ(total, stored);
      }
      target_file = ReadFile(slice == 0 ? w.path : w.data_files[d[0].DataFile - 1]);
      target_at = d[0].Offset + 7;
    }
    // A changed byte of the shared bytes fails both entries, and neither of the others.
    target_file[target_at] ^= 0x01;
    WriteFile(slice == 0 ? w.path : w.data_files[0], target_file);
    auto pak = OpenSet(w.path);
    EXPECT_FALSE(pak->Verify(0));
    EXPECT_FALSE(pak->Verify(2));
    EXPECT_TRUE(pak->Verify(1));
    EXPECT_TRUE(pak->Verify(3));
  }
}

TEST(PakVersion2, ShareStoredTakesOnlyAnEarlierEntry) {
  TPak pak(ScratchPath("share-refused.pak"), pmCreate);
  const TBytes data = TextBytes(100);
  const int a = pak.AddEntry("a", "", 1);
  const int b = pak.AddEntry("b", "", 1);
  ASSERT_TRUE(pak.StoreFromMemory(b, data.data(), 100));
  EXPECT_FALSE(pak.ShareStored(a, b));
  EXPECT_FALSE(pak.ShareStored(b, b));
  EXPECT_FALSE(pak.ShareStored(b, -1));
  EXPECT_FALSE(pak.ShareStored(7, a));
  EXPECT_TRUE(pak.ShareStored(b, a));
}

// ------------------------------------------------------------------ hostile directories

// A small second-version package by hand: one entry in the setup file, one in each of two
// data files (the second spanning from data file 1 into 2), and one that shares bytes.
struct HostileBase {
  TBytes info = NoiseBytes(60, 71);
  TBytes one = NoiseBytes(100, 72);
  TBytes two = NoiseBytes(150, 73);
  TRawPackage package;
  std::string path = ScratchPath("hostile.pak");
  std::string file1 = ScratchPath("hostile-1.bin");
  std::string file2 = ScratchPath("hostile-2.bin");

  HostileBase() {
    TBytes joined = one;
    joined.insert(joined.end(), two.begin(), two.end());
    WriteFile(file1, Slice(joined, 0, 200));
    WriteFile(file2, Slice(joined, 200, 50));
    package.Stem = "hostile";
    package.DataFiles = {{200, Sha256Of(Slice(joined, 0, 200))}, {50, Sha256Of(Slice(joined, 200, 50))}};
    package.Entries = {{"SetupInfo", Crc32(info.data(), info.size()), 0, 0, info.size(), 0, 0},
                       {"one", Crc32(one.data(), one.size()), 0, 0, one.size(), 1, 1},
                       {"two", Crc32(two.data(), two.size()), 100, 0, two.size(), 1, 1},
                       {"two-copy", Crc32(two.data(), two.size()), 100, 0, two.size(), 2, 1}};
  }
  TBytes Bytes(const TRawPackage& p) const { return testing::Version2Package(info, p); }
  TBytes Bytes() const { return Bytes(package); }
};

TEST(PakVersion2, TheHandMadeHostileBaseIsSound) {
  HostileBase base;
  WriteFile(base.path, base.Bytes());
  auto pak = OpenSet(base.path);
  ASSERT_TRUE(pak->DirectorySound());
  ASSERT_EQ(pak->Directory().size(), 4u);
  pak->TakeDataFileDigests();
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(pak->Verify(i)) << i;
  EXPECT_EQ(pak->Extract(2), base.two);
  EXPECT_TRUE(pak->DataFileDigestMatches(1));
  EXPECT_TRUE(pak->DataFileDigestMatches(2));
}

TEST(PakVersion2, Version2PackagesCutAtAnyLengthReadAsNoPackage) {
  HostileBase base;
  const TBytes full = base.Bytes();
  for (size_t n = 0; n < full.size(); ++n) {
    WriteFile(base.path, Slice(full, 0, n));
    TPak pak(base.path, pmRead);
    AttachDataFiles(pak, base.path);
    EXPECT_TRUE(pak.Directory().empty()) << "cut at " << n;
    EXPECT_TRUE(pak.DataFiles().empty()) << "cut at " << n;
    EXPECT_TRUE(!pak.Trailer().HasMagic() || !pak.DirectorySound()) << "cut at " << n;
    EXPECT_FALSE(pak.Verify(0)) << "cut at " << n;
    EXPECT_EQ(pak.ReadStoredAt(1, 0, nullptr, 0), 0u);
  }
  // The written package cut inside its stored bytes, the directory moved down behind the cut:
  // the setup file's entry fails once the cut reaches it; the data files' entries still read.
  for (size_t n : {size_t{0}, size_t{1}, size_t{7}, size_t{30}, size_t{59}, base.info.size()}) {
    TBytes spliced = Slice(base.info, 0, n);
    const TBytes tail = testing::Version2Tail(base.package, n);
    spliced.insert(spliced.end(), tail.begin(), tail.end());
    WriteFile(base.path, spliced);
    auto pak = OpenSet(base.path);
    ASSERT_TRUE(pak->DirectorySound()) << "cut at " << n;
    // The directory's own bytes lie behind the cut: the first entry reads them when it runs
    // into them, and they fail its CRC.
    EXPECT_EQ(pak->Verify(0), n == base.info.size()) << "cut at " << n;
    EXPECT_TRUE(pak->Verify(1)) << "cut at " << n;
    EXPECT_TRUE(pak->Verify(2)) << "cut at " << n;
  }
}

void StoreField(TBytes& bytes, size_t at, uint64_t value, int width) {
  if (width == 2) StoreLE16(bytes.data() + at, static_cast<uint16_t>(value));
  else if (width == 4) StoreLE32(bytes.data() + at, static_cast<uint32_t>(value));
  else StoreLE64(bytes.data() + at, value);
}

TEST(PakVersion2, DirectoriesThatLieAreRefusedBeforeAnythingIsAllocated) {
  HostileBase base;
  const TBytes good = base.Bytes();
  const size_t trailer = good.size() - kPakTrailer2Size;
  const uint64_t dir_offset = LoadLE64(good.data() + trailer + trailer2::kDirOffset);
  const uint64_t table_offset = LoadLE64(good.data() + trailer + trailer2::kTableOffset);
  auto patched = [&](size_t field, uint64_t value, int width) {
    TBytes b = good;
    StoreField(b, trailer + field, value, width);
    return b;
  };
  auto with = [&](auto change) {
    TRawPackage p = base.package;
    change(p);
    return base.Bytes(p);
  };
  struct Case {
    const char* what;
    TBytes bytes;
  } cases[] = {
      {"Count far beyond the records", patched(trailer2::kCount, 0xFFFFFFFFu, 4)},
      {"Count one more than the records", patched(trailer2::kCount, 5, 4)},
      {"DirOffset after TableOffset", patched(trailer2::kDirOffset, table_offset + 1, 8)},
      {"DirOffset past the end", patched(trailer2::kDirOffset, 0xFFFFFFFFFFFFFFF0ull, 8)},
      {"TableOffset inside the trailer", patched(trailer2::kTableOffset, trailer + 4, 8)},
      {"TableOffset before DirOffset", patched(trailer2::kTableOffset, dir_offset - 1, 8)},
      {"DataStart after DirOffset", patched(trailer2::kDataStart, dir_offset + 1, 8)},
      {"a flag bit after the known ones", with([](TRawPackage& p) { p.Flags = kPakKnownFlags + 1; })},
      {"the known flag with an unknown one", with([](TRawPackage& p) { p.Flags = kPakFlagUtf8Texts | 4; })},
      {"the last flag bit", with([](TRawPackage& p) { p.Flags = 0x80000000u; })},
      {"Version 3", with([](TRawPackage& p) { p.Version = 3; })},
      {"Version 0xFFFF", with([](TRawPackage& p) { p.Version = 0xFFFF; })},
      {"the first version's Count not zero", with([](TRawPackage& p) { p.Zero = 4; })},
      {"TrailerSize 16", with([](TRawPackage& p) { p.TrailerSize = 16; })},
      {"TrailerSize 56", with([](TRawPackage& p) { p.TrailerSize = 56; })},
      {"DataFileCount one short of the table", patched(trailer2::kDataFileCount, 1, 4)},
      {"DataFileCount one past the table", patched(trailer2::kDataFileCount, 3, 4)},
      {"DataFileCount past the most data files", patched(trailer2::kDataFileCount, 0x10000, 4)},
      {"DataFileCount far past the table", patched(trailer2::kDataFileCount, 0xFFFFFFFFu, 4)},
      {"a record's DataFile beyond the table", with([](TRawPackage& p) { p.Entries[2].DataFile = 3; })},
      {"a record's DataFile far beyond the table", with([](TRawPackage& p) { p.Entries[1].DataFile = 0xFFFF; })},
      {"data file sizes adding up past 64 bits",
       with([](TRawPackage& p) { p.DataFiles[0].Size = p.DataFiles[1].Size = uint64_t{1} << 63; })},
      {"data file sizes adding up to 2^64 + 1", with([](TRawPackage& p) {
         p.DataFiles[0].Size = UINT64_MAX;
         p.DataFiles[1].Size = 2;
       })},
      {"a stem running past the table",
       [&] {
         TBytes b = good;
         StoreLE16(b.data() + table_offset, 0xFFFF);
         return b;
       }()},
      {"a name running past the records",
       [&] {
         TBytes b = good;
         StoreLE16(b.data() + dir_offset, 0xFFFF);
         return b;
       }()},
  };
  // What is left of a package whose front was lost: the trailer alone, its last 16 bytes alone.
  const TBytes trailer_only = Slice(good, trailer, kPakTrailer2Size);
  const TBytes last16 = Slice(good, good.size() - kPakTrailerSize, kPakTrailerSize);
  const Case fronts_lost[] = {{"the trailer alone", trailer_only}, {"the trailer's last 16 bytes alone", last16}};
  for (const Case& c : fronts_lost) {
    WriteFile(base.path, c.bytes);
    TPak pak(base.path, pmRead);
    EXPECT_FALSE(pak.DirectorySound()) << c.what;
    EXPECT_TRUE(pak.Directory().empty()) << c.what;
  }
  for (const Case& c : cases) {
    WriteFile(base.path, c.bytes);
    TPak pak(base.path, pmRead);
    AttachDataFiles(pak, base.path);
    EXPECT_TRUE(pak.Trailer().HasMagic()) << c.what;
    EXPECT_FALSE(pak.DirectorySound()) << c.what;
    EXPECT_TRUE(pak.Directory().empty()) << c.what;
    EXPECT_TRUE(pak.DataFiles().empty()) << c.what;
    EXPECT_FALSE(pak.Verify(1)) << c.what;
    EXPECT_FALSE(pak.DataFileDigestMatches(1)) << c.what;
  }
}

TEST(PakVersion2, SpansLargerThanAnySetupNeedsAreNotRead) {
  // Sparse files whose directory or table span claims hundreds of megabytes.
  HostileBase base;
  TRemoveAtEnd remove{{base.path}};
  const uint64_t far = 300ull << 20;
  {
    // One record at the file's start, the table 300 MiB later.
    TRawPackage p = base.package;
    p.Entries.clear();
    TBytes tail = testing::Version2Tail(p, far);
    const size_t trailer = tail.size() - kPakTrailer2Size;
    StoreLE64(tail.data() + trailer + trailer2::kDirOffset, 0);
    StoreLE32(tail.data() + trailer + trailer2::kCount, 1);
    WriteFile(base.path, {});
    ASSERT_TRUE(WriteAt(base.path, 0, testing::Version2Tail(base.package, 0)));
    ASSERT_TRUE(WriteAt(base.path, far, tail));
    TPak pak(base.path, pmRead);
    EXPECT_FALSE(pak.DirectorySound());
    EXPECT_TRUE(pak.Directory().empty());
  }
  {
    // The table at the file's start, 300 MiB before the trailer.
    std::filesystem::remove(base.path);
    TRawPackage p;
    p.Stem = "far";
    TBytes tail = testing::Version2Tail(p, 0);
    const TBytes trailer_bytes = Slice(tail, tail.size() - kPakTrailer2Size, kPakTrailer2Size);
    ASSERT_TRUE(WriteAt(base.path, 0, Slice(tail, 0, tail.size() - kPakTrailer2Size)));
    ASSERT_TRUE(WriteAt(base.path, far, trailer_bytes));
    TPak pak(base.path, pmRead);
    EXPECT_FALSE(pak.DirectorySound());
    EXPECT_TRUE(pak.DataFiles().empty());
  }
}

TEST(PakVersion2, EntriesPointingOutsideTheirDataFilesFailVerification) {
  HostileBase base;
  auto with = [&](auto change) {
    TRawPackage p = base.package;
    change(p);
    WriteFile(base.path, base.Bytes(p));
    return OpenSet(base.path);
  };
  const struct Case {
    const char* what;
    std::function<void(TRawPackage&)> change;
  } cases[] = {
      {"Offset at the data file's end", [](TRawPackage& p) { p.Entries[1].Offset = 200; }},
      {"Offset far past the data file", [](TRawPackage& p) { p.Entries[1].Offset = UINT64_MAX - 3; }},
      {"running past the last data file", [](TRawPackage& p) { p.Entries[1].Size = 251; }},
      {"Size near 2^64", [](TRawPackage& p) { p.Entries[1].Size = UINT64_MAX; }},
      {"a stream near 2^64", [](TRawPackage& p) { p.Entries[1].PackedSize = UINT64_MAX - 1; }},
      {"in the setup file past its end", [](TRawPackage& p) {
         p.Entries[1].DataFile = 0;
         p.Entries[1].Offset = 5000;
       }},
      {"in the setup file, wrapping", [](TRawPackage& p) {
         p.Entries[1].DataFile = 0;
         p.Entries[1].Offset = UINT64_MAX;
       }},
  };
  for (const Case& c : cases) {
    auto pak = with(c.change);
    ASSERT_TRUE(pak->DirectorySound()) << c.what;
    EXPECT_FALSE(pak->Verify(1)) << c.what;
    EXPECT_TRUE(pak->Extract(1).empty()) << c.what;
    EXPECT_TRUE(ReadAt(*pak, 1, 0, 10).empty()) << c.what;
    EXPECT_TRUE(pak->Verify(2)) << c.what;
  }
}

// A large entry taken on trust (Crc 0) must still lie in bytes the reader has: a data file
// that is not attached, or is shorter than the directory says, cannot hold it.
TEST(PakVersion2, ALargeEntryInADataFileThatIsNotThereFailsVerification) {
  const std::string path = ScratchPath("absent.pak");
  const std::string data_file = ScratchPath("absent-1.bin");
  TRemoveAtEnd remove{{path, data_file}};
  TRawPackage p;
  p.Stem = "absent";
  p.DataFiles = {{kLargeEntryLimit, {}}};
  p.Entries = {{"movie.bik", 0, 0, 0, kLargeEntryLimit, 1, 1}};
  WriteFile(path, testing::Version2Package({}, p));
  {
    TPak pak(path, pmRead);
    ASSERT_TRUE(pak.DirectorySound());
    EXPECT_FALSE(pak.Verify(0)) << "no data file attached";
  }
  ASSERT_TRUE(ResizeSparse(data_file, kLargeEntryLimit / 2));
  {
    TPak pak(path, pmRead);
    ASSERT_TRUE(pak.AttachDataFile(1, data_file));
    EXPECT_FALSE(pak.Verify(0)) << "a data file half the length the directory gives";
  }
  ASSERT_TRUE(ResizeSparse(data_file, kLargeEntryLimit));
  TPak pak(path, pmRead);
  ASSERT_TRUE(pak.AttachDataFile(1, data_file));
  EXPECT_TRUE(pak.Verify(0));
}

// The buffers for an entry's stored bytes are sized by the data files the reader has, not by
// the sizes the table claims for data files that are missing or shorter.
TEST(PakVersion2, AnEntryInADataFileThatIsNotThereTakesNoMemoryForItsBytes) {
  const std::string path = ScratchPath("ghost.pak");
  const std::string data_file = ScratchPath("ghost-1.bin");
  TRawPackage p;
  p.Stem = "ghost";
  p.DataFiles = {{uint64_t{1} << 30, {}}};
  // A stream of 512 MiB said to inflate to 1000 bytes, and a plain entry of 60 MiB.
  p.Entries = {{"stream.bin", 0x1234567u, 0, uint64_t{512} << 20, 1000, 1, 1},
               {"plain.bin", 0x89ABCDEu, 0, 0, uint64_t{60} << 20, 1, 1}};
  WriteFile(path, testing::Version2Package({}, p));
  WriteFile(data_file, NoiseBytes(2 * kPieceSize, 81));
  for (bool attached : {false, true}) {
    TPak pak(path, pmRead);
    ASSERT_TRUE(pak.DirectorySound());
    if (attached) {
      ASSERT_TRUE(pak.AttachDataFile(1, data_file));  // 2 MiB of the 1 GiB claimed
    }
    const int64_t before = HeapBytes();
    int64_t most = 0;
    for (int i = 0; i < 2; ++i) {
      EXPECT_FALSE(pak.Verify(i)) << i;
      most = std::max(most, HeapBytes() - before);
      EXPECT_TRUE(pak.Extract(i).empty()) << i;
      most = std::max(most, HeapBytes() - before);
    }
    EXPECT_LT(most, int64_t{16} << 20) << (attached ? "a short data file attached" : "no data file attached");
  }
}

TEST(PakVersion2, ByteFlipsOverAVersion2DirectoryNeverMisleadTheReader) {
  HostileBase base;
  const TBytes good = base.Bytes();
  const size_t dir_offset = base.info.size();
  const size_t trailer = good.size() - kPakTrailer2Size;
  const size_t table = static_cast<size_t>(LoadLE64(good.data() + trailer + trailer2::kTableOffset));
  const size_t digests_start = table + 2 + base.package.Stem.size();
  for (size_t at = dir_offset; at < good.size(); ++at) {
    for (uint8_t mask : {0x01, 0x80, 0xFF}) {
      TBytes bytes = good;
      bytes[at] ^= mask;
      WriteFile(base.path, bytes);
      TPak pak(base.path, pmRead);
      AttachDataFiles(pak, base.path);
      pak.TakeDataFileDigests();
      const std::string where = "byte " + std::to_string(at) + " ^ " + std::to_string(mask);
      if (!pak.DirectorySound()) {
        EXPECT_TRUE(pak.Directory().empty()) << where;
        EXPECT_TRUE(pak.DataFiles().empty()) << where;
      }
      for (int i = 0; i < static_cast<int>(pak.Directory().size()); ++i) {
        try {
          pak.Verify(i);
        } catch (const ESetupError&) {
        }
        uint8_t buffer[64];
        EXPECT_LE(pak.ReadStoredAt(i, 0, buffer, sizeof buffer), sizeof buffer);
        EXPECT_FALSE(pak.SharingEntries(i).empty());
      }
      // The fixed fields of the trailer (the magic, version, the first version's count,
      // flags, trailer size) and the data-file count never read as another sound directory;
      // only the known flags may change: the names are ASCII, and the package holds no patch.
      const bool utf8_flag = at == trailer + trailer2::kFlags && mask == kPakFlagUtf8Texts;
      const bool differences_flag = at == trailer + trailer2::kFlags && mask == kPakFlagDifferences;
      const bool fixed = at >= trailer + trailer2::kMagic ||
                         (at >= trailer + trailer2::kDataFileCount && at < trailer + trailer2::kDataFileCount + 4);
      if (utf8_flag || differences_flag) {
        EXPECT_TRUE(pak.DirectorySound() && pak.TextsUtf8() == utf8_flag) << where;
        EXPECT_EQ(pak.HoldsDifferences(), differences_flag) << where;
        EXPECT_EQ(pak.Directory().size(), 4u) << where;
      } else if (fixed) {
        EXPECT_TRUE(!pak.Trailer().HasMagic() || !pak.DirectorySound()) << where;
      }
      // A changed digest leaves every entry sound and fails only its data file.
      const size_t digest_index = (at - digests_start) / kPakDataFileRecordSize;
      const size_t in_record = (at - digests_start) % kPakDataFileRecordSize;
      if (at >= digests_start && at < trailer && in_record >= 8) {
        ASSERT_TRUE(pak.DirectorySound()) << where;
        for (int i = 0; i < 4; ++i) EXPECT_TRUE(pak.Verify(i)) << where;
        for (uint32_t n = 1; n <= 2; ++n) {
          EXPECT_EQ(pak.DataFileDigestMatches(n), n != digest_index + 1) << where << ", data file " << n;
        }
      }
    }
  }
}

}  // namespace
}  // namespace setup

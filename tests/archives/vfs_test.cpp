// The open VFS archive: header round trip, chains written, rewritten, freed and read, the
// digest, and the ".ht" file's name, hash and records.
#include "archives/vfs_file.h"

#include <gtest/gtest.h>

#include "archives/vfs_hash_index.h"
#include "archives/vfs_md5.h"
#include "core/error.h"
#include "core/file_stream.h"
#include "vfs_fixtures.h"

namespace setup {
namespace {

using namespace setup::testing;

// ---------------------------------------------------------------- header

TEST(VfsHeader, ANewArchiveOpensEmptyWithItsDigest) {
  const std::string path = NewArchive("new.vfs", 512, 64, 4);
  const TBytes bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 52u + 256 + 8 * 64 + 88 * 4 + 512 * 64);
  EXPECT_EQ(Md5(bytes.data() + 44, bytes.size() - 44), TBytes(bytes.begin() + 28, bytes.begin() + 44));

  TVFSFile file;
  OpenArchive(file, path);
  EXPECT_EQ(file.Header().BlockSize, 512u);
  EXPECT_EQ(file.Header().BlockCount, 64u);
  EXPECT_EQ(file.Header().RootCount, 4u);
  EXPECT_EQ(file.Header().TextLength, 256u);
  EXPECT_EQ(file.FreeBlocks(), 64u);
  EXPECT_EQ(file.FreeRootSlots(), 4u);
  EXPECT_EQ(file.DataOffset(), 52u + 256 + 8 * 64 + 88 * 4);
  EXPECT_EQ(file.Tree().LiveCount(), 0u);
  EXPECT_EQ(Problems(path), "");

  // Made again over an old archive, it leaves no index of the old files beside it, and no
  // journal of the old archive's interrupted change is played back over it.
  file.Close();
  WriteFile(HashFilePath(path), TVFSHashFile::Serialize({{5, 1, 1, 0, 1, 1}}));
  {
    TVFSFile old;
    old.HeldWriteLimit = 1;
    ASSERT_TRUE(old.Open(path, true));
    old.Tree().AddFile("a.txt", TextBytes(100));
  }
  ASSERT_TRUE(FileExists(JournalPath(path)));
  TVFSGeometry larger;
  larger.BlockCount = 2048;
  ASSERT_TRUE(TVFSFile::Create(path, larger));
  EXPECT_FALSE(FileExists(HashFilePath(path)));
  EXPECT_FALSE(FileExists(JournalPath(path)));
  EXPECT_EQ(Problems(path), "");
}

TEST(VfsHeader, SaveCarriesIdentifierValuesTextAndFurtherBytesOver) {
  // A header text of 300 bytes: 256 text bytes and 44 further ones, all carried over.
  TRawArchive raw(256, 16, 2);
  raw.Bytes.insert(raw.Bytes.begin() + 48 + 256, 44, 0);
  StoreLE32(&raw.Bytes[44], 300);
  StoreLE32(&raw.Bytes[0], 0xCAFEF00D);
  for (int i = 0; i < 3; ++i) StoreLE32(&raw.Bytes[16 + 4 * i], 1000 + i);
  for (size_t i = 48; i < 48 + 300; ++i) raw.Bytes[i] = static_cast<uint8_t>(i * 7);
  const std::string path = raw.Write("carried.vfs");

  {
    TVFSFile file;
    OpenArchive(file, path);
    EXPECT_EQ(file.Header().Further.size(), 44u);
    file.Tree().AddFile("a.txt", TextBytes(100));
    file.Save(false);
  }
  const TBytes bytes = ReadFile(path);
  EXPECT_EQ(Le32(bytes, 0), 0xCAFEF00Du);
  EXPECT_EQ(Le32(bytes, 4), 256u);
  EXPECT_EQ(Le32(bytes, 8), 16u);
  EXPECT_EQ(Le32(bytes, 12), 2u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Le32(bytes, 16 + 4 * i), 1000u + i);
  EXPECT_EQ(Le32(bytes, 44), 300u);
  for (size_t i = 48; i < 48 + 300; ++i) ASSERT_EQ(bytes[i], static_cast<uint8_t>(i * 7)) << i;
  EXPECT_EQ(Le32(bytes, 48 + 300), 1u);  // one used block
  EXPECT_EQ(Md5(bytes.data() + 44, bytes.size() - 44), TBytes(bytes.begin() + 28, bytes.begin() + 44));
  EXPECT_EQ(Problems(path), "");
}

TEST(VfsHeader, DigestIsZeroWithoutDigestAndKeptWhenNoneCanBeHad) {
  const std::string path = NewArchive("digest.vfs", 512, 8, 2);
  const TBytes before = ReadFile(path);
  {
    TVFSFile file;
    OpenArchive(file, path);
    file.Save(true);
  }
  TBytes bytes = ReadFile(path);
  EXPECT_EQ(TBytes(bytes.begin() + 28, bytes.begin() + 44), TBytes(16, 0));
  EXPECT_EQ(CheckVfsArchive(path).Notes, std::vector<std::string>{"saved without a digest"});

  // With no digest service the old digest stays; with a failing one the save raises "MD5 Error".
  SetMd5Factory({});
  {
    TVFSFile file;
    OpenArchive(file, path);
    file.Save(false);
  }
  bytes = ReadFile(path);
  EXPECT_EQ(TBytes(bytes.begin() + 28, bytes.begin() + 44), TBytes(16, 0));
  struct TFailing : TMd5 {
    bool Update(const uint8_t*, size_t) override { return false; }
    bool Final(uint8_t*) override { return false; }
  };
  SetMd5Factory([] { return std::make_unique<TFailing>(); });
  {
    TVFSFile file;
    OpenArchive(file, path);
    try {
      file.Save(false);
      ADD_FAILURE() << "no error raised";
    } catch (const ESetupError& e) {
      EXPECT_STREQ(e.what(), "MD5 Error");
    }
  }
  SetMd5Factory([] { return NewLibcryptoMd5(); });
  {
    TVFSFile file;
    OpenArchive(file, path);
    file.Save(false);
  }
  bytes = ReadFile(path);
  EXPECT_EQ(Md5(bytes.data() + 44, bytes.size() - 44), TBytes(bytes.begin() + 28, bytes.begin() + 44));
  EXPECT_EQ(TBytes(bytes.begin() + 44, bytes.end()), TBytes(before.begin() + 44, before.end()));
}

TEST(VfsHeader, SaveWritesTheUsedBlocksTheLinksHoldEvenWhenTheHeaderWasStale) {
  TRawArchive raw(128, 8, 2);
  raw.Root(0, Entry("a", kVfsFlagFile, 3, 10));
  raw.Link(3, -1);
  StoreLE32(&raw.Bytes[48 + 256], 7);  // stale: an earlier run never saved
  const std::string path = raw.Write("stale.vfs");
  EXPECT_NE(Problems(path).find("the header counts 7 used blocks; the links have 1"), std::string::npos);
  {
    TVFSFile file;
    OpenArchive(file, path);
    file.Save(false);
  }
  EXPECT_EQ(Le32(ReadFile(path), 48 + 256), 1u);
}

// ---------------------------------------------------------------- chains

TEST(VfsChain, WriteTakesTheLowestFreeBlocksInOrderAndZeroesTheTail) {
  TRawArchive raw(16, 8, 1);
  raw.Root(0, Entry("x", kVfsFlagFile, 1, 16));
  raw.Link(1, -1);
  raw.Link(3, -1);  // a used block nobody owns, so the free ones are 2, 4, 5, ...
  const std::string path = raw.Write("order.vfs");
  TVFSFile file;
  OpenArchive(file, path);
  TVFSEntry e = Entry("y", kVfsFlagFile, 0, 0);
  const TBytes data = TextBytes(40);
  file.WriteFile(e, data.data(), data.size());
  EXPECT_EQ(e.FirstBlock, 2u);
  EXPECT_EQ(e.StoredSize, 40u);
  EXPECT_EQ(e.Date, kTestDate);
  EXPECT_EQ(file.Links()[1].Next, 4);
  EXPECT_EQ(file.Links()[3].Next, 5);
  EXPECT_EQ(file.Links()[4].Next, kVfsChainEnd);
  EXPECT_EQ(file.Links()[4].InUse, 1u);
  EXPECT_EQ(file.FreeBlocks(), 3u);
  file.Flush();  // the held writes reach the file (the journal keeps them revocable)
  file.Close();

  const TBytes bytes = ReadFile(path);
  EXPECT_EQ(TBytes(bytes.begin() + raw.BlockAt(2), bytes.begin() + raw.BlockAt(2) + 16), TBytes(data.begin(), data.begin() + 16));
  EXPECT_EQ(TBytes(bytes.begin() + raw.BlockAt(5), bytes.begin() + raw.BlockAt(5) + 8), TBytes(data.begin() + 32, data.end()));
  EXPECT_EQ(TBytes(bytes.begin() + raw.BlockAt(5) + 8, bytes.begin() + raw.BlockAt(6)), TBytes(8, 0));
  EXPECT_EQ(Le32(bytes, raw.LinksAt() + 8 * 1), 1u);
  EXPECT_EQ(Le32(bytes, raw.LinksAt() + 8 * 1 + 4), 4u);
  EXPECT_EQ(Le32(bytes, raw.LinksAt() + 8 * 4 + 4), 0xFFFFFFFFu);
}

TEST(VfsChain, EmptyWritesOneZeroBlockAndBytesWithSizeZeroAreAnInternalError) {
  const std::string path = NewArchive("empty-write.vfs", 64, 4, 1);
  TVFSFile file;
  OpenArchive(file, path);
  TVFSEntry e = Entry("e", kVfsFlagFile, 0, 0);
  file.WriteFile(e, nullptr, 0);
  EXPECT_EQ(e.FirstBlock, 1u);
  EXPECT_EQ(e.StoredSize, 0u);
  EXPECT_EQ(file.Links()[0].Next, kVfsChainEnd);
  EXPECT_EQ(file.FreeBlocks(), 3u);
  const uint8_t byte = 1;
  try {
    file.WriteFile(e, &byte, 0);
    FAIL() << "no error raised";
  } catch (const ESetupError& error) {
    EXPECT_STREQ(error.what(), "WriteFile: Error Buffer is Assigned but size is 0");
  }
  EXPECT_EQ(file.FreeBlocks(), 3u);
}

TEST(VfsChain, RewriteInPlaceKeepsTheChainAndFreeingClearsIt) {
  const std::string path = NewArchive("rewrite.vfs", 32, 8, 1);
  TVFSFile file;
  OpenArchive(file, path);
  TVFSEntry e = Entry("r", kVfsFlagFile, 0, 0);
  const TBytes first = TextBytes(70);
  file.WriteFile(e, first.data(), first.size());
  const uint32_t start = e.FirstBlock;
  const TBytes second = NoiseBytes(70);
  file.RewriteInPlace(e, second.data(), second.size());
  EXPECT_EQ(e.FirstBlock, start);
  EXPECT_EQ(file.FreeBlocks(), 5u);
  TBytes read;
  ASSERT_TRUE(file.ReadStored(e, read));
  EXPECT_EQ(read, second);
  // A rewrite that does not fit the chain is refused.
  const TBytes too_long = TextBytes(97);
  EXPECT_THROW(file.RewriteInPlace(e, too_long.data(), too_long.size()), ESetupError);

  file.FreeChain(e);
  EXPECT_EQ(file.FreeBlocks(), 8u);
  for (const TVFSLink& link : file.Links()) EXPECT_TRUE(link.Free() && link.InUse == 0);
  file.Close();
  const TBytes bytes = ReadFile(path);
  const size_t links = 52 + 256;
  EXPECT_EQ(TBytes(bytes.begin() + links, bytes.begin() + links + 64), TBytes(64, 0));
}

TEST(VfsChain, AFullArchiveRefusesAChainBeforeWritingAnyOfIt) {
  const std::string path = NewArchive("full.vfs", 32, 3, 1);
  TVFSFile file;
  OpenArchive(file, path);
  const TBytes before = ReadFile(path);
  TVFSEntry e = Entry("big", kVfsFlagFile, 0, 0);
  const TBytes data = TextBytes(100);
  try {
    file.WriteFile(e, data.data(), data.size());
    FAIL() << "no error raised";
  } catch (const ESetupError& error) {
    EXPECT_NE(std::string(error.what()).find("is full: 4 blocks needed, 3 free"), std::string::npos) << error.what();
  }
  file.Close();
  EXPECT_EQ(ReadFile(path), before);
}

TEST(VfsChain, ReadingFollowsTheChainAndTheBufferReturnsLessAtTheEnd) {
  const std::string path = NewArchive("read.vfs", 16, 8, 1);
  TVFSFile file;
  OpenArchive(file, path);
  TVFSEntry e = Entry("r", kVfsFlagFile, 0, 0);
  const TBytes data = NoiseBytes(37);
  file.WriteFile(e, data.data(), data.size());
  auto buffer = file.ReadEntry(e);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->Bytes(), data);
  uint8_t piece[30];
  EXPECT_EQ(buffer->Read(piece, 30), 30u);
  EXPECT_EQ(buffer->Read(piece, 30), 7u);
  EXPECT_EQ(buffer->Read(piece, 30), 0u);
  EXPECT_EQ(file.ReadEntry(Entry("zero", kVfsFlagFile, 1, 0)), nullptr);
}

// Each broken chain ends the read with an error naming it; none loops or reads outside.
TEST(VfsChain, BrokenChainsEndTheReadWithAnError) {
  struct Case {
    const char* name;
    void (*damage)(TRawArchive&);
    const char* message;
  };
  const Case cases[] = {
      {"loop", [](TRawArchive& r) { r.Link(1, 2), r.Link(2, 1); }, "visits block 1 twice (it loops)"},
      {"out of range", [](TRawArchive& r) { r.Link(1, 9); }, "its chain from 1: block 9 is outside 1..8"},
      {"negative", [](TRawArchive& r) { r.Link(1, -5); }, "block -5 is outside"},
      {"free block", [](TRawArchive& r) { r.Link(1, 4); }, "runs into free block 4"},
      {"ends early", [](TRawArchive& r) { r.Link(1, -1); }, "ends after 1 blocks, 16 of 40 bytes"},
      {"first out of range", [](TRawArchive& r) { r.Root(0, Entry("f", kVfsFlagFile, 77, 40)); }, "block 77"},
  };
  for (const Case& c : cases) {
    TRawArchive raw(16, 8, 1);
    raw.Root(0, Entry("f", kVfsFlagFile, 1, 40));
    c.damage(raw);
    const std::string path = raw.Write("broken.vfs");
    TVFSFile file;
    ASSERT_TRUE(file.Open(path, true)) << c.name << ": " << file.ErrorText();
    TBytes out;
    EXPECT_FALSE(file.ReadStored(file.Tree().Node(0).Entry, out)) << c.name;
    EXPECT_NE(file.ErrorText().find(c.message), std::string::npos) << c.name << ": " << file.ErrorText();
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(CheckVfsArchive(path).Sound()) << c.name;
  }
  // A loop through blocks in use: the walk stops after N blocks and names the loop.
  TRawArchive raw(16, 4, 1);
  raw.Root(0, Entry("f", kVfsFlagFile, 1, 16));
  raw.Link(1, 2);
  raw.Link(2, 3);
  raw.Link(3, 1);
  TVFSFile file;
  ASSERT_TRUE(file.Open(raw.Write("loop.vfs"), true));
  std::vector<uint32_t> blocks;
  std::string error;
  EXPECT_FALSE(file.WalkChain(1, blocks, error));
  EXPECT_NE(error.find("(it loops)"), std::string::npos) << error;
  TVFSEntry e = file.Tree().Node(0).Entry;
  EXPECT_THROW(file.FreeChain(e), ESetupError);
  EXPECT_THROW(file.RewriteInPlace(e, nullptr, 0), ESetupError);
}

// ---------------------------------------------------------------- ".ht"

TEST(VfsHashFile, NameKeyAndHash) {
  EXPECT_EQ(HashFilePath("C:\\Games\\world.vfs"), "C:\\Games\\world.ht");
  EXPECT_EQ(HashFilePath("C:\\My.Games\\world"), "C:\\My.Games\\world.ht");
  EXPECT_EQ(HashFilePath("/tmp/install\\data.tar.vfs"), "/tmp/install\\data.tar.ht");
  EXPECT_EQ(HashFilePath("D:world.v"), "D:world.ht");
  EXPECT_EQ(HashKey("Maps\\Europe\\town.map"), "Maps\\Europe/town.map");
  EXPECT_EQ(HashKey("Readme"), "Readme");
  EXPECT_EQ(SdbmHash(""), 0u);
  EXPECT_EQ(SdbmHash("a"), 97u);
  EXPECT_EQ(SdbmHash("ab"), 97u * 65599u + 98u);
  EXPECT_NE(SdbmHash("Readme"), SdbmHash("README"));  // letter case counts
  // Worked by hand: wraps modulo 2^32.
  uint32_t h = 0;
  for (char c : std::string("Maps\\Europe/town.map")) h = h * 65599u + static_cast<uint8_t>(c);
  EXPECT_EQ(SdbmHash("Maps\\Europe/town.map"), h);
  EXPECT_EQ(SdbmHash("aiFXbLD"), 0u);
  EXPECT_EQ(SdbmHash("bbb0.dat"), SdbmHash("AaAo.dat"));
}

TEST(VfsHashFile, RecordsRoundTripAndACountPastTheDataIsRefused) {
  std::vector<TVFSHashRecord> records = {{5, 1, 10, 0, 3, 1}, {0xFFFFFFF0, 9, 20, 40, 7, 0}};
  const TBytes bytes = TVFSHashFile::Serialize(records);
  ASSERT_EQ(bytes.size(), 4u + 2 * 21);
  EXPECT_EQ(Le32(bytes, 0), 2u);
  EXPECT_EQ(Le32(bytes, 4 + 21 + 0), 0xFFFFFFF0u);
  EXPECT_EQ(bytes[4 + 21 + 20], 0);
  TVFSHashFile ht;
  ASSERT_TRUE(ht.LoadFromBytes(bytes.data(), bytes.size()));
  ASSERT_EQ(ht.Records.size(), 2u);
  EXPECT_EQ(ht.Records[1].ContentSize, 40u);
  EXPECT_EQ(ht.Records[1].Valid, 0);
  for (size_t cut = 0; cut < bytes.size(); ++cut) EXPECT_FALSE(ht.LoadFromBytes(bytes.data(), cut)) << cut;
  TBytes huge = bytes;
  StoreLE32(&huge[0], 0x10000000);
  EXPECT_FALSE(ht.LoadFromBytes(huge.data(), huge.size()));
  EXPECT_FALSE(ht.Loaded);
}

TEST(VfsHashFile, WithoutHashModeTheRecordsReadAreWrittenBackUnchanged) {
  const std::string path = NewArchive("plain-mode.vfs", 256, 16, 4);
  const std::string ht_path = HashFilePath(path);
  const TBytes ht = TVFSHashFile::Serialize({{0xFFFFFFFF, 1, 2, 3, 4, 1}, {7, 1, 1, 1, 1, 0}});  // not even sorted
  WriteFile(ht_path, ht);
  {
    TVFSFile file;
    OpenArchive(file, path, false);
    EXPECT_TRUE(file.HashFile().Loaded);
    std::remove(ht_path.c_str());
    file.Save(false);
  }
  EXPECT_EQ(ReadFile(ht_path), ht);
  std::remove(ht_path.c_str());
  {
    TVFSFile file;
    OpenArchive(file, path, false);
    EXPECT_FALSE(file.HashFile().Loaded);
    file.Save(false);
  }
  EXPECT_FALSE(FileExists(ht_path));
}

}  // namespace
}  // namespace setup

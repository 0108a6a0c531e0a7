// The tree of a VFS archive: files added at package paths, folders made on the way, replaced
// files, compression, deletion, the tables that move or stay, and the ".ht" records.
#include "archives/vfs_tree.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "archives/vfs_file.h"
#include "archives/vfs_hash_index.h"
#include "core/error.h"
#include "core/file_stream.h"
#include "vfs_fixtures.h"

namespace setup {
namespace {

using namespace setup::testing;

// The content of the file at path after reopening the archive.
TBytes ContentAt(const std::string& archive, const std::string& path) {
  TVFSFile file;
  EXPECT_TRUE(file.Open(archive, true, {}, true)) << file.ErrorText();
  const int32_t node = file.Tree().FindPath(path);
  if (node < 0) {
    ADD_FAILURE() << path << " not found";
    return {};
  }
  TBytes content;
  EXPECT_TRUE(file.ReadContent(file.Tree().Node(node).Entry, content)) << file.ErrorText();
  return content;
}

// ---------------------------------------------------------------- adding at a path

TEST(VfsTree, AMissingFolderPathIsMadeAndTheFileWritten) {
  const std::string path = NewArchive("nested.vfs");
  const TBytes town = TextBytes(3000);
  {
    TVFSFile file;
    OpenArchive(file, path);
    const int32_t node = file.Tree().AddFile("Maps\\Europe\\town.map", town);
    EXPECT_EQ(file.Tree().Node(node).Path, "Maps\\Europe\\town.map");
    const int32_t maps = file.Tree().FindPath("Maps");
    const int32_t europe = file.Tree().FindPath("maps\\EUROPE");
    ASSERT_GE(maps, 0);
    ASSERT_GE(europe, 0);
    EXPECT_TRUE(file.Tree().Node(maps).Entry.IsDirectory());
    EXPECT_EQ(file.Tree().Node(maps).RootSlot, 0);
    EXPECT_EQ(file.Tree().Node(europe).Parent, maps);
    EXPECT_EQ(file.Tree().Node(node).Parent, europe);
    EXPECT_EQ(file.Tree().Node(maps).Entry.StoredSize, kVfsEntryRecordSize);
    file.Save(false);
  }
  EXPECT_EQ(Problems(path), "");
  EXPECT_EQ(ContentAt(path, "Maps\\Europe\\town.map"), town);
  TVFSHashFile ht;
  ASSERT_TRUE(ht.Load(HashFilePath(path)));
  ASSERT_EQ(ht.Records.size(), 1u);
  EXPECT_EQ(ht.Records[0].Hash, SdbmHash("Maps\\Europe/town.map"));
  EXPECT_EQ(ht.Records[0].Valid, 1);
}

TEST(VfsTree, ANameWithoutADotLandsInTheRootUnderItsLastPart) {
  const std::string path = NewArchive("root-landing.vfs");
  TVFSFile file;
  OpenArchive(file, path);
  file.Tree().AddFile("Docs\\Readme", TextBytes(10));
  file.Tree().AddFile("plain.txt", TextBytes(10));
  file.Tree().AddFile("\\lead.txt", TextBytes(10));
  EXPECT_GE(file.Tree().FindChild(-1, "Readme"), 0);
  EXPECT_GE(file.Tree().FindChild(-1, "plain.txt"), 0);
  EXPECT_GE(file.Tree().FindChild(-1, "lead.txt"), 0);
  EXPECT_LT(file.Tree().FindPath("Docs"), 0);
  EXPECT_EQ(file.Tree().LiveCount(), 3u);
}

TEST(VfsTree, ExistingFoldersAreUsedWithoutRegardToCase) {
  const std::string path = NewArchive("reuse.vfs");
  TVFSFile file;
  OpenArchive(file, path);
  file.Tree().AddFile("Data\\Sound\\a.wav", TextBytes(10));
  file.Tree().AddFile("DATA\\sound\\b.wav", TextBytes(10));
  file.Tree().AddFile("data\\Sound\\Deep\\c.wav", TextBytes(10));
  file.Tree().AddFile("data\\x.txt", TextBytes(10));
  EXPECT_EQ(file.Tree().LiveCount(), 7u);  // Data, Sound, Deep and four files
  EXPECT_EQ(file.Tree().Node(file.Tree().FindPath("Data\\Sound\\b.wav")).Path, "Data\\Sound\\b.wav");
  file.Save(false);
  file.Close();
  EXPECT_EQ(Problems(path), "");
}

TEST(VfsTree, AReplacedFileTakesTheFreedPositionAndTheTableIsRewrittenInPlace) {
  const std::string path = NewArchive("replace.vfs", 256);
  TVFSFile file;
  OpenArchive(file, path);
  file.Tree().AddFile("Maps\\a.txt", TextBytes(600));
  file.Tree().AddFile("Maps\\b.txt", TextBytes(700));
  const int32_t maps = file.Tree().FindPath("Maps");
  const TVFSEntry before = file.Tree().Node(maps).Entry;
  const TBytes table_before = [&] {
    TBytes t;
    file.ReadStored(before, t);
    return t;
  }();
  const TBytes replacement = NoiseBytes(900);
  file.Tree().AddFile("maps\\A.TXT", replacement);
  const TVFSNode& dir = file.Tree().Node(maps);
  EXPECT_EQ(dir.Entry.FirstBlock, before.FirstBlock);
  EXPECT_EQ(dir.Entry.StoredSize, 2 * kVfsEntryRecordSize);
  ASSERT_EQ(dir.Children.size(), 2u);
  EXPECT_EQ(file.Tree().Node(dir.Children[0]).Entry.Name, "A.TXT");  // first position, as a.txt had
  EXPECT_EQ(file.Tree().Node(dir.Children[1]).Entry.Name, "b.txt");
  TBytes table_after;
  ASSERT_TRUE(file.ReadStored(dir.Entry, table_after));
  EXPECT_NE(table_after, table_before);
  EXPECT_EQ(TBytes(table_after.begin() + 88, table_after.end()), TBytes(table_before.begin() + 88, table_before.end()));
  file.Save(false);
  file.Close();
  EXPECT_EQ(Problems(path), "");
  EXPECT_EQ(ContentAt(path, "Maps\\a.txt"), replacement);
}

TEST(VfsTree, ReplacingARootFileNeedsASecondRootSlotUntilReopened) {
  const std::string path = NewArchive("root-replace.vfs", 256, 64, 2);
  const TBytes first = TextBytes(100), second = TextBytes(200), third = TextBytes(300);
  {
    TVFSFile file;
    OpenArchive(file, path);
    file.Tree().AddFile("a.txt", first);
    file.Tree().AddFile("a.txt", second);  // takes slot 1; slot 0 is zeroed but stays taken
    EXPECT_EQ(file.Tree().Node(file.Tree().FindPath("a.txt")).RootSlot, 1);
    EXPECT_EQ(file.FreeRootSlots(), 0u);
    // A third write finds no slot: refused before the file in slot 1 is touched.
    try {
      file.Tree().AddFile("a.txt", third);
      FAIL() << "no error raised";
    } catch (const ESetupError& e) {
      EXPECT_STREQ(e.what(), "CreateNewFileDir: ROOT Result = Cardinal(-1)");
    }
    file.Save(false);
  }
  EXPECT_EQ(Problems(path), "");
  EXPECT_EQ(ContentAt(path, "a.txt"), second);
  const TBytes bytes = ReadFile(path);
  const size_t root = 52 + 256 + 8 * 64;
  EXPECT_EQ(TBytes(bytes.begin() + root, bytes.begin() + root + 88), TBytes(88, 0));
  {
    TVFSFile file;
    OpenArchive(file, path);
    EXPECT_EQ(file.FreeRootSlots(), 1u);
    file.Tree().AddFile("A.TXT", third);
    EXPECT_EQ(file.Tree().Node(file.Tree().FindPath("a.txt")).RootSlot, 0);
    file.Save(false);
  }
  EXPECT_EQ(Problems(path), "");
  EXPECT_EQ(ContentAt(path, "A.TXT"), third);
}

TEST(VfsTree, AGrowingTableMovesToANewChainAndIsRecordedUpToTheRoot) {
  // Blocks of 128 bytes: one record fits, two do not.
  const std::string path = NewArchive("moving.vfs", 128, 128, 4);
  TVFSFile file;
  OpenArchive(file, path);
  file.Tree().AddFile("Top\\Mid\\one.txt", TextBytes(10));
  const int32_t top = file.Tree().FindPath("Top");
  const int32_t mid = file.Tree().FindPath("Top\\Mid");
  const TVFSEntry top_before = file.Tree().Node(top).Entry;
  const TVFSEntry mid_before = file.Tree().Node(mid).Entry;
  file.Tree().AddFile("Top\\Mid\\two.txt", TextBytes(10));
  // Mid's table grew to two blocks: its chain was freed and written anew (from the lowest free
  // block, its old first block among them), and Top's table, which lists Mid's size, was
  // rewritten in place.
  std::vector<uint32_t> blocks;
  std::string error;
  ASSERT_TRUE(file.WalkChain(file.Tree().Node(mid).Entry.FirstBlock, blocks, error));
  EXPECT_EQ(blocks.size(), 2u);
  EXPECT_EQ(file.Tree().Node(mid).Entry.StoredSize, 2 * kVfsEntryRecordSize);
  EXPECT_EQ(file.Tree().Node(top).Entry.FirstBlock, top_before.FirstBlock);
  EXPECT_EQ(file.Tree().Node(top).Entry.StoredSize, top_before.StoredSize);
  TBytes top_table;
  ASSERT_TRUE(file.ReadStored(file.Tree().Node(top).Entry, top_table));
  EXPECT_EQ(Le32(top_table, 80), 2 * kVfsEntryRecordSize);
  EXPECT_NE(mid_before.StoredSize, 2 * kVfsEntryRecordSize);
  file.Tree().AddFile("Top\\three.txt", TextBytes(10));
  // Top's table grew too: its root slot, on disk and in memory, names the new chain and size.
  EXPECT_EQ(file.Tree().Node(top).Entry.StoredSize, 2 * kVfsEntryRecordSize);
  EXPECT_EQ(file.RootTable()[0].StoredSize, 2 * kVfsEntryRecordSize);
  EXPECT_EQ(file.RootTable()[0].FirstBlock, file.Tree().Node(top).Entry.FirstBlock);
  file.Flush();
  const TBytes bytes = ReadFile(path);
  EXPECT_EQ(Le32(bytes, file.RootTableOffset() + 80), 2 * kVfsEntryRecordSize);
  file.Save(false);
  file.Close();
  EXPECT_EQ(Problems(path), "");
  EXPECT_EQ(ContentAt(path, "Top\\Mid\\two.txt"), TextBytes(10));
}

// ---------------------------------------------------------------- content forms

TEST(VfsTree, ContentIsCompressedInChunksOf50000Bytes) {
  const std::string path = NewArchive("chunks.vfs", 4096, 64, 4);
  const TBytes content = TextBytes(120000);
  TVFSFile file;
  OpenArchive(file, path);
  const TVFSEntry e = file.Tree().Node(file.Tree().AddFile("big.txt", content)).Entry;
  EXPECT_EQ(e.Flags, kVfsFlagFile | kVfsFlagCompressed);
  EXPECT_EQ(e.ContentSize, 120000u);
  TBytes stored;
  ASSERT_TRUE(file.ReadStored(e, stored));
  EXPECT_EQ(stored.size(), e.StoredSize);
  std::vector<size_t> chunk_sizes;
  size_t at = 0;
  while (at < stored.size()) {
    const uint32_t length = Le32(stored, at);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(stored[at + 4], 0x78);  // a zlib header
    EXPECT_EQ(stored[at + 5], 0xDA);  // at level 9
    TBytes out(60000);
    uLongf out_length = out.size();
    ASSERT_EQ(uncompress(out.data(), &out_length, &stored[at + 4], length), Z_OK);
    chunk_sizes.push_back(out_length);
    at += 4 + length;
  }
  EXPECT_EQ(at, stored.size());
  EXPECT_EQ(chunk_sizes, (std::vector<size_t>{50000, 50000, 20000}));
  TBytes back;
  ASSERT_TRUE(file.ReadContent(e, back));
  EXPECT_EQ(back, content);
}

TEST(VfsTree, IncompressibleContentIsStoredPlainAndAnEmptyFileGetsOneZeroBlock) {
  const std::string path = NewArchive("plain.vfs", 512, 64, 4);
  TVFSFile file;
  OpenArchive(file, path);
  const TBytes noise = NoiseBytes(10000);
  const TVFSEntry plain = file.Tree().Node(file.Tree().AddFile("noise.bin", noise)).Entry;
  EXPECT_EQ(plain.Flags, kVfsFlagFile);
  EXPECT_EQ(plain.ContentSize, 0u);
  EXPECT_EQ(plain.StoredSize, 10000u);
  EXPECT_EQ(plain.Date, kTestDate);
  const uint32_t free_before = file.FreeBlocks();
  const TVFSEntry empty = file.Tree().Node(file.Tree().AddFile("empty.txt", {})).Entry;
  EXPECT_EQ(empty.Flags, kVfsFlagFile);
  EXPECT_EQ(empty.StoredSize, 0u);
  EXPECT_EQ(empty.ContentSize, 0u);
  EXPECT_EQ(free_before - file.FreeBlocks(), 1u);
  EXPECT_EQ(file.Links()[empty.FirstBlock - 1].Next, kVfsChainEnd);
  file.Save(false);
  file.Close();
  EXPECT_EQ(Problems(path), "");
  EXPECT_EQ(ContentAt(path, "noise.bin"), noise);
  EXPECT_EQ(ContentAt(path, "empty.txt"), TBytes());
}

TEST(VfsTree, CompressionGivesUpWhenAChunkWouldMakeItLonger) {
  TBytes out;
  EXPECT_FALSE(TVFSTree::InternalCompressFile(nullptr, 0, out));
  const TBytes noise = NoiseBytes(50000);
  EXPECT_FALSE(TVFSTree::InternalCompressFile(noise.data(), noise.size(), out));
  EXPECT_TRUE(out.empty());
  // Text then noise: the first chunk shrinks, the second does not, but together they still
  // come out shorter.
  TBytes mixed = TextBytes(50000);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  EXPECT_TRUE(TVFSTree::InternalCompressFile(mixed.data(), mixed.size(), out));
  EXPECT_LT(out.size(), mixed.size());
  // Noise first: the first chunk alone is longer than the content would allow only at the end.
  TBytes short_noise = NoiseBytes(100);
  EXPECT_FALSE(TVFSTree::InternalCompressFile(short_noise.data(), short_noise.size(), out));
}

// ---------------------------------------------------------------- deleting

TEST(VfsTree, DeletingAFolderFreesEverythingBelowIt) {
  const std::string path = NewArchive("delete.vfs", 256, 128, 4);
  TVFSFile file;
  OpenArchive(file, path);
  file.Tree().AddFile("Keep\\k.txt", TextBytes(300));
  const uint32_t free_with_keep = file.FreeBlocks();
  file.Tree().AddFile("Gone\\Deep\\a.txt", TextBytes(3000));
  file.Tree().AddFile("Gone\\Deep\\b.bin", NoiseBytes(3000));
  file.Tree().AddFile("Gone\\c.txt", TextBytes(30));
  file.Tree().DeleteEntry(file.Tree().FindPath("Gone"));
  EXPECT_EQ(file.FreeBlocks(), free_with_keep);
  EXPECT_LT(file.Tree().FindPath("Gone\\Deep\\a.txt"), 0);
  EXPECT_EQ(file.Tree().LiveCount(), 2u);
  // The freed node slots are taken first by new nodes.
  const int32_t reused = file.Tree().AddFile("new.txt", TextBytes(5));
  EXPECT_EQ(reused, 2);
  file.Save(false);
  file.Close();
  EXPECT_EQ(Problems(path), "");
}

TEST(VfsTree, TheLastFileOfAFolderLeavesAnEmptyTableOfOneZeroBlock) {
  const std::string path = NewArchive("empty-folder.vfs", 256, 64, 4);
  TVFSFile file;
  OpenArchive(file, path);
  file.Tree().AddFile("Dir\\only.txt", TextBytes(30));
  const int32_t dir = file.Tree().FindPath("Dir");
  file.Tree().DeleteEntry(file.Tree().FindPath("Dir\\only.txt"));
  file.Tree().RewriteDirectory(dir);
  EXPECT_EQ(file.Tree().Node(dir).Entry.StoredSize, 0u);
  EXPECT_EQ(file.UsedBlocks(), 1u);
  // An archive left with no files after the update has no ".ht" file.
  WriteFile(HashFilePath(path), {0, 0, 0, 0});
  file.Save(false);
  file.Close();
  EXPECT_FALSE(FileExists(HashFilePath(path)));
  EXPECT_EQ(Problems(path), "");
}

// ---------------------------------------------------------------- refusals that keep the archive

TEST(VfsTree, AFileWhereAFolderBelongsIsRefusedAndKept) {
  const std::string path = NewArchive("in-the-way.vfs");
  TVFSFile file;
  OpenArchive(file, path);
  file.Tree().AddFile("Maps", TextBytes(500));
  file.Flush();
  const TBytes before = ReadFile(path);
  try {
    file.Tree().AddFile("Maps\\town.map", TextBytes(10));
    FAIL() << "no error raised";
  } catch (const ESetupError& e) {
    EXPECT_NE(std::string(e.what()).find("a file has that path"), std::string::npos) << e.what();
  }
  file.Flush();
  EXPECT_EQ(ReadFile(path), before);
  TBytes content;
  ASSERT_TRUE(file.ReadContent(file.Tree().Node(file.Tree().FindPath("Maps")).Entry, content));
  EXPECT_EQ(content, TextBytes(500));
}

TEST(VfsTree, AFileThatDoesNotFitIsRefusedBeforeTheOldOneIsDeleted) {
  const std::string path = NewArchive("too-big.vfs", 128, 16, 4);
  TVFSFile file;
  OpenArchive(file, path);
  file.Tree().AddFile("Dir\\keep.bin", NoiseBytes(600));  // 5 blocks, Dir 1 block
  file.Flush();
  const TBytes before = ReadFile(path);
  EXPECT_THROW(file.Tree().AddFile("Dir\\keep.bin", NoiseBytes(3000)), ESetupError);
  EXPECT_THROW(file.Tree().AddFile("Other\\x.bin", NoiseBytes(1500)), ESetupError);
  file.Flush();
  EXPECT_EQ(ReadFile(path), before);
  // One that fits in the blocks the old file gives back is written.
  file.Tree().AddFile("Dir\\keep.bin", NoiseBytes(1200));
  file.Save(false);
  file.Close();
  EXPECT_EQ(Problems(path), "");
  EXPECT_EQ(ContentAt(path, "Dir\\keep.bin"), NoiseBytes(1200));
}

TEST(VfsTree, NamesAreCutTo65CharactersAndFoundAgain) {
  const std::string path = NewArchive("long-names.vfs");
  const std::string folder(70, 'F');
  const std::string name = std::string(68, 'n') + ".txt";
  TVFSFile file;
  OpenArchive(file, path);
  file.Tree().AddFile(folder + "\\" + name, TextBytes(10));
  file.Tree().AddFile(folder + "\\" + name, TextBytes(20));
  EXPECT_EQ(file.Tree().LiveCount(), 2u);
  const int32_t node = file.Tree().FindPath(folder.substr(0, 65) + "\\" + name.substr(0, 65));
  ASSERT_GE(node, 0);
  EXPECT_EQ(file.Tree().Node(node).Entry.StoredSize, 20u);
  file.Save(false);
  file.Close();
  EXPECT_EQ(Problems(path), "");
  // A 65-character name fills its field with no zero byte and reads back whole.
  EXPECT_EQ(ContentAt(path, folder.substr(0, 65) + "\\" + name.substr(0, 65)), TextBytes(20));
}

TEST(VfsTree, PackageNamesWithEmptyPartsAreRefused) {
  const std::string path = NewArchive("empty-parts.vfs");
  TVFSFile file;
  OpenArchive(file, path);
  EXPECT_THROW(file.Tree().AddFile("Dir.x\\", TextBytes(1)), ESetupError);
  EXPECT_THROW(file.Tree().AddFile("a\\\\b.txt", TextBytes(1)), ESetupError);
  EXPECT_THROW(file.Tree().AddFile("", TextBytes(1)), ESetupError);
  EXPECT_EQ(file.Tree().LiveCount(), 0u);
  EXPECT_EQ(file.FreeBlocks(), 256u);
}

// ---------------------------------------------------------------- ".ht" records

TEST(VfsTree, HashRecordsAreSortedAndASharedHashKeepsTheFirstFileMarkedNotValid) {
  const std::string path = NewArchive("hashes.vfs", 256, 64, 8);
  TVFSFile file;
  OpenArchive(file, path);
  // "bbb0.dat" and "AaAo.dat" share their sdbm hash, in the root and in any folder alike.
  file.Tree().AddFile("bbb0.dat", TextBytes(10));
  file.Tree().AddFile("Data\\AaAo.dat", TextBytes(11));
  file.Tree().AddFile("Data\\bbb0.dat", TextBytes(12));
  file.Tree().AddFile("AaAo.dat", TextBytes(13));
  file.Tree().AddFile("aiFXbLD", TextBytes(14));  // hash 0: no record
  file.Tree().AddFile("z.txt", TextBytes(15));
  const std::vector<TVFSHashRecord> records = file.Tree().HashRecords();
  ASSERT_EQ(records.size(), 3u);
  for (size_t i = 1; i < records.size(); ++i) EXPECT_LT(records[i - 1].Hash, records[i].Hash);
  for (const TVFSHashRecord& r : records) {
    if (r.Hash == SdbmHash("bbb0.dat")) {
      EXPECT_EQ(r.Valid, 0);
      EXPECT_EQ(r.StoredSize, 10u);  // the first in node order
    } else if (r.Hash == SdbmHash("Data/bbb0.dat")) {
      EXPECT_EQ(r.Valid, 0);
      EXPECT_EQ(r.StoredSize, 11u);
    } else {
      EXPECT_EQ(r.Hash, SdbmHash("z.txt"));
      EXPECT_EQ(r.Valid, 1);
    }
  }
  file.Save(false);
  file.Close();
  EXPECT_EQ(ReadFile(HashFilePath(path)), TVFSHashFile::Serialize(records));
  EXPECT_EQ(Problems(path), "");
}

TEST(VfsTree, HashRecordsCompareHashesAsUnsignedNumbers) {
  const std::string path = NewArchive("unsigned.vfs", 256, 64, 8);
  TVFSFile file;
  OpenArchive(file, path);
  for (const char* name : {"a", "b", "zzzzzz", "Q7", "long name with spaces.txt"}) file.Tree().AddFile(name, TextBytes(3));
  const std::vector<TVFSHashRecord> records = file.Tree().HashRecords();
  ASSERT_EQ(records.size(), 5u);
  bool high = false;
  for (size_t i = 0; i < records.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(records[i - 1].Hash, records[i].Hash);
    }
    high = high || records[i].Hash >= 0x80000000u;
  }
  EXPECT_TRUE(high) << "no hash with the top bit set: the order is not tested";
}

}  // namespace
}  // namespace setup

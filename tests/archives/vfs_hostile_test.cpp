// Damaged VFS archives: every truncation, byte flips all over a written archive, and
// hand-made headers, tables and folders that claim more than the file holds or loop.
// None may crash, loop or reach outside the file; changes to a damaged archive either work or
// raise ESetupError.
#include <gtest/gtest.h>

#include "archives/vfs_check.h"
#include "archives/vfs_file.h"
#include "core/deflate.h"
#include "core/error.h"
#include "vfs_fixtures.h"

namespace setup {
namespace {

using namespace setup::testing;

// A small archive with folders, a compressed file, a plain file, an empty one and its index.
TBytes PopulatedArchive() {
  static const TBytes image = [] {
    const std::string path = NewArchive("populated.vfs", 64, 48, 3);
    TVFSFile file;
    OpenArchive(file, path);
    file.Tree().AddFile("Maps\\Europe\\town.map", TextBytes(900));
    file.Tree().AddFile("Maps\\noise.bin", NoiseBytes(150));
    file.Tree().AddFile("empty.txt", {});
    file.Tree().AddFile("Maps\\Europe\\b.txt", TextBytes(40));
    file.Save(false);
    file.Close();
    EXPECT_EQ(Problems(path), "");
    return ReadFile(path);
  }();
  return image;
}

// Opens a damaged image, reads everything, and changes it; returns whether it opened. An
// archive that checks sound once saved must still check sound after the changes went through.
bool Exercise(const std::string& path) {
  TVFSFile file;
  if (!file.Open(path, true)) {
    EXPECT_FALSE(file.ErrorText().empty());
    return false;
  }
  for (const TVFSNode& node : file.Tree().Nodes()) {
    TBytes content;
    if (node.Index >= 0) file.ReadContent(node.Entry, content);
  }
  bool sound_before = false;
  try {
    file.Save(true);
    sound_before = CheckVfsArchive(path).Sound();
    file.Tree().AddFile("Maps\\Europe\\town.map", TextBytes(300));
    file.Tree().AddFile("Maps\\new\\added.txt", NoiseBytes(100));
    file.Save(true);
  } catch (const ESetupError&) {
    // A damaged chain or a full archive: refused, as it should be.
    return true;
  }
  file.Close();
  if (sound_before) {
    EXPECT_EQ(Problems(path), "") << "a sound archive broken by the changes";
  }
  return true;
}

TEST(VfsHostile, EveryTruncationFailsToOpen) {
  const TBytes image = PopulatedArchive();
  const std::string path = ScratchPath("truncated.vfs");
  // Every length through the tables, then every 37th through the data area.
  const size_t tables = 52 + 256 + 8 * 48 + 88 * 3;
  for (size_t length = 0; length < image.size(); length += length < tables ? 1 : 37) {
    WriteFile(path, TBytes(image.begin(), image.begin() + length));
    TVFSFile file;
    ASSERT_FALSE(file.Open(path, true)) << length;
    ASSERT_FALSE(file.Open(path, false)) << length;
    ASSERT_FALSE(CheckVfsArchive(path).Sound());
  }
}

TEST(VfsHostile, ByteFlipsAnywhereNeverCrash) {
  const TBytes image = PopulatedArchive();
  const std::string path = ScratchPath("flipped.vfs");
  size_t opened = 0;
  // Every byte before the data area and the first blocks, each flipped whole.
  const size_t dense = std::min<size_t>(image.size(), 52 + 256 + 8 * 48 + 88 * 3 + 64 * 8);
  for (size_t at = 0; at < dense; ++at) {
    TBytes damaged = image;
    damaged[at] ^= 0xFF;
    WriteFile(path, damaged);
    opened += Exercise(path);
  }
  // Then about 1% of the bytes at once, a few hundred times.
  uint32_t x = 12345;
  auto next = [&x] { return x ^= x << 13, x ^= x >> 17, x ^= x << 5; };
  for (int round = 0; round < 200; ++round) {
    TBytes damaged = image;
    for (size_t n = 0; n < image.size() / 100; ++n) damaged[next() % damaged.size()] ^= static_cast<uint8_t>(next() | 1);
    WriteFile(path, damaged);
    opened += Exercise(path);
  }
  EXPECT_GT(opened, 0u);
}

TEST(VfsHostile, HeadersThatClaimMoreThanTheFileAreRefused) {
  struct Case {
    const char* name;
    void (*damage)(TRawArchive&);
    const char* message;
  };
  const Case cases[] = {
      {"block size 0", [](TRawArchive& r) { StoreLE32(&r.Bytes[4], 0); }, "block size 0"},
      {"huge block size", [](TRawArchive& r) { StoreLE32(&r.Bytes[4], 0x80000000); }, "block size 2147483648"},
      {"more blocks", [](TRawArchive& r) { StoreLE32(&r.Bytes[8], 0xFFFFFFFF); }, "the file has"},
      {"more root slots", [](TRawArchive& r) { StoreLE32(&r.Bytes[12], 0xFFFFFFFF); }, "the file has"},
      {"short text", [](TRawArchive& r) { StoreLE32(&r.Bytes[44], 255); }, "text length 255"},
      {"huge text", [](TRawArchive& r) { StoreLE32(&r.Bytes[44], 0xFFFFFF00); }, "text length 4294967040"},
      {"text past the end", [](TRawArchive& r) { StoreLE32(&r.Bytes[44], 4000); }, "the file has"},
  };
  for (const Case& c : cases) {
    TRawArchive raw(32, 8, 2);
    c.damage(raw);
    TVFSFile file;
    EXPECT_FALSE(file.Open(raw.Write("header.vfs"), true)) << c.name;
    EXPECT_NE(file.ErrorText().find(c.message), std::string::npos) << c.name << ": " << file.ErrorText();
    EXPECT_FALSE(file.IsOpen());
  }
}

TEST(VfsHostile, FoldersThatLoopOrClaimTooMuchAreRefusedAtOpening) {
  {
    // A folder whose table lists itself: the walk would go on for ever.
    TRawArchive raw(128, 4, 1);
    raw.Root(0, Entry("A", kVfsFlagDirectory, 1, 88));
    raw.Link(1, -1);
    raw.Record(1, 0, Entry("A", kVfsFlagDirectory, 1, 88));
    TVFSFile file;
    EXPECT_FALSE(file.Open(raw.Write("self.vfs"), true));
    EXPECT_NE(file.ErrorText().find("loop"), std::string::npos) << file.ErrorText();
  }
  {
    // Two records per table, each naming the same table: doubles at every level.
    TRawArchive raw(256, 64, 1);
    raw.Root(0, Entry("A", kVfsFlagDirectory, 1, 176));
    raw.Link(1, -1);
    raw.Record(1, 0, Entry("x", kVfsFlagDirectory, 1, 176));
    raw.Record(1, 1, Entry("y", kVfsFlagDirectory, 1, 176));
    TVFSFile file;
    EXPECT_FALSE(file.Open(raw.Write("doubling.vfs"), true));
    EXPECT_NE(file.ErrorText().find("more than the archive has blocks and root slots"), std::string::npos) << file.ErrorText();
  }
  {
    // A record count past the data: a table claiming far more bytes than the blocks hold.
    TRawArchive raw(64, 4, 1);
    raw.Root(0, Entry("A", kVfsFlagDirectory, 1, 88 * 1000));
    raw.Link(1, -1);
    TVFSFile file;
    EXPECT_FALSE(file.Open(raw.Write("count.vfs"), true));
    EXPECT_NE(file.ErrorText().find("more than the 4 blocks of 64 hold"), std::string::npos) << file.ErrorText();
  }
  {
    // A table claiming more than its chain holds.
    TRawArchive raw(64, 4, 1);
    raw.Root(0, Entry("A", kVfsFlagDirectory, 1, 176));
    raw.Link(1, -1);
    TVFSFile file;
    EXPECT_FALSE(file.Open(raw.Write("short-table.vfs"), true));
    EXPECT_NE(file.ErrorText().find("ends after 1 blocks"), std::string::npos) << file.ErrorText();
  }
  {
    // A table of whole records and a few bytes more: the whole records are read, and the
    // check names the rest.
    TRawArchive raw(256, 4, 1);
    raw.Root(0, Entry("A", kVfsFlagDirectory, 1, 100));
    raw.Link(1, -1);
    raw.Record(1, 0, Entry("f", kVfsFlagFile, 2, 5));
    raw.Link(2, -1);
    const std::string path = raw.Write("ragged.vfs");
    TVFSFile file;
    ASSERT_TRUE(file.Open(path, true)) << file.ErrorText();
    EXPECT_EQ(file.Tree().LiveCount(), 2u);
    EXPECT_NE(Problems(path).find("not whole records"), std::string::npos);
  }
}

TEST(VfsHostile, ChangesMeetingABrokenChainRaiseInsteadOfLooping) {
  TRawArchive raw(128, 8, 2);
  raw.Root(0, Entry("Dir", kVfsFlagDirectory, 1, 88));
  raw.Link(1, -1);
  raw.Record(1, 0, Entry("old.txt", kVfsFlagFile, 2, 100));
  raw.Link(2, 3);
  raw.Link(3, 2);  // loops
  const std::string path = raw.Write("broken-replace.vfs");
  TVFSFile file;
  OpenArchive(file, path);
  const TBytes before = ReadFile(path);
  try {
    file.Tree().AddFile("Dir\\old.txt", TextBytes(10));
    FAIL() << "no error raised";
  } catch (const ESetupError& e) {
    EXPECT_NE(std::string(e.what()).find("loops"), std::string::npos) << e.what();
  }
  file.Close();
  EXPECT_EQ(ReadFile(path), before);
}

TEST(VfsHostile, CompressedContentThatDoesNotDecodeIsAnError) {
  const std::string path = NewArchive("bad-chunks.vfs", 256, 32, 2);
  TVFSFile file;
  OpenArchive(file, path);
  auto write = [&file](const TBytes& stored, uint32_t content_size) {
    TVFSEntry e = Entry("c", kVfsFlagFile | kVfsFlagCompressed, 0, 0, content_size);
    file.WriteFile(e, stored.data(), stored.size());
    e.ContentSize = content_size;
    TBytes out;
    const bool ok = file.ReadContent(e, out);
    file.FreeChain(e);
    return ok ? "ok" : file.ErrorText();
  };
  const TBytes text = TextBytes(1000);
  TBytes chunk = Deflate(text.data(), text.size());
  TBytes good(4);
  StoreLE32(good.data(), static_cast<uint32_t>(chunk.size()));
  good.insert(good.end(), chunk.begin(), chunk.end());
  EXPECT_EQ(write(good, 1000), "ok");
  EXPECT_NE(write(good, 999).find("does not unpack to 999"), std::string::npos);
  EXPECT_NE(write(good, 1001).find("does not unpack to 1001"), std::string::npos);
  EXPECT_NE(write(good, 51000).find("does not unpack to 50000"), std::string::npos);
  TBytes trailing = good;
  trailing.push_back(0);
  EXPECT_NE(write(trailing, 1000).find("1 stored bytes after the last chunk"), std::string::npos);
  TBytes padded = trailing;  // the chunk's length counts a byte behind its stream
  StoreLE32(padded.data(), static_cast<uint32_t>(chunk.size() + 1));
  EXPECT_NE(write(padded, 1000).find("does not unpack to 1000"), std::string::npos);
  TBytes overlong = good;
  StoreLE32(overlong.data(), 0x7FFFFFFF);
  EXPECT_NE(write(overlong, 1000).find("claims 2147483647 bytes"), std::string::npos);
  TBytes zero = good;
  StoreLE32(zero.data(), 0);
  EXPECT_NE(write(zero, 1000).find("claims 0 bytes"), std::string::npos);
  TBytes garbage = good;
  garbage[10] ^= 0x55;
  EXPECT_NE(write(garbage, 1000).find("does not unpack"), std::string::npos);
}

}  // namespace
}  // namespace setup

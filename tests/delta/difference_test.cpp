// Differences made and applied by both methods: edits of every kind come back exactly and cost
// about what changed; the content-defined cuts follow moved content; identities of files.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "delta/content_chunks.h"
#include "delta_fixtures.h"

namespace setup::testing {
namespace {

using delta::TApplyStatus;
using delta::TDifferenceMethod;

constexpr size_t kBase = 2 << 20;

Bytes Insert(Bytes bytes, size_t at, const Bytes& inserted) {
  bytes.insert(bytes.begin() + at, inserted.begin(), inserted.end());
  return bytes;
}

Bytes Erase(Bytes bytes, size_t at, size_t n) {
  bytes.erase(bytes.begin() + at, bytes.begin() + at + n);
  return bytes;
}

Bytes Move(const Bytes& bytes, size_t from, size_t n, size_t to) {
  Bytes block = Slice(bytes, from, n);
  Bytes rest = Erase(bytes, from, n);
  return Insert(rest, to, block);
}

Bytes Overwrite(Bytes bytes, size_t at, const Bytes& with) {
  std::copy(with.begin(), with.end(), bytes.begin() + at);
  return bytes;
}

// A zip-like archive: members of incompressible bytes (as deflated ones are), each after a
// local header, then a central directory that names every member's offset.
Bytes ZipLike(size_t members, size_t changed_member, uint32_t changed_seed, size_t changed_size) {
  Bytes archive, directory;
  for (size_t i = 0; i < members; ++i) {
    const size_t size = 20000 + (i * 7919) % 40000 + (i == changed_member ? changed_size : 0);
    const Bytes content = NoiseBytes(size, i == changed_member ? changed_seed : static_cast<uint32_t>(i + 100));
    const std::string name = "textures/tile_" + std::to_string(i) + ".dds";
    const uint32_t offset = static_cast<uint32_t>(archive.size());
    const std::string local = "PK\x03\x04" + std::string(22, '\x14') + name;
    archive.insert(archive.end(), local.begin(), local.end());
    archive.insert(archive.end(), content.begin(), content.end());
    const std::string central = "PK\x01\x02" + std::string(38, '\x14') + name;
    directory.insert(directory.end(), central.begin(), central.end());
    for (int k = 0; k < 4; ++k) directory.push_back(static_cast<uint8_t>(offset >> (8 * k)));
  }
  return Concat({archive, directory, Bytes{'P', 'K', 5, 6}});
}

struct TEdit {
  const char* Name;
  Bytes New;
  size_t ChangedBytes;  // bytes of the new file that no old bytes can give
};

std::vector<TEdit> Edits(const Bytes& old_bytes) {
  Bytes scattered = old_bytes;
  for (size_t i = 0; i < 10; ++i) scattered[150000 + i * 170001] ^= 0x5A;
  return {
      {"inserted", Insert(old_bytes, 700001, NoiseBytes(3000, 9)), 3000},
      {"deleted", Erase(old_bytes, 900000, 5000), 0},
      {"moved", Move(old_bytes, 300000, 200000, 1500000), 0},
      {"changed", Overwrite(old_bytes, 1200000, NoiseBytes(1000, 10)), 1000},
      {"scattered bytes", scattered, 10},
      {"appended", Concat({old_bytes, NoiseBytes(10000, 11)}), 10000},
      {"truncated", Slice(old_bytes, 0, 1500000), 0},
      {"repeated", Concat({Slice(old_bytes, 0, 100000), Slice(old_bytes, 0, 100000), Slice(old_bytes, 0, 100000)}), 0},
      {"inserted at the start", Concat({NoiseBytes(777, 12), old_bytes}), 777},
  };
}

class DifferenceTest : public ::testing::TestWithParam<TDifferenceMethod> {};

INSTANTIATE_TEST_SUITE_P(Methods, DifferenceTest,
                         ::testing::Values(TDifferenceMethod::Reference, TDifferenceMethod::Chunks),
                         [](const auto& info) {
                           return info.param == TDifferenceMethod::Reference ? "Reference" : "Chunks";
                         });

TEST_P(DifferenceTest, EditsOfEveryKindComeBackAndCostAboutWhatChanged) {
  const Bytes old_bytes = NoiseBytes(kBase);
  for (const TEdit& edit : Edits(old_bytes)) {
    SCOPED_TRACE(edit.Name);
    const Bytes difference = Encode(old_bytes, edit.New, GetParam());
    ASSERT_FALSE(difference.empty());
    delta::TDifferenceHeader header;
    ASSERT_TRUE(delta::ReadDifferenceHeader(difference.data(), difference.size(), header));
    EXPECT_EQ(header.Method, GetParam());
    EXPECT_EQ(header.Old, IdentityOf(old_bytes));
    EXPECT_EQ(header.New, IdentityOf(edit.New));

    const TApplied applied = Apply(difference, old_bytes);
    ASSERT_TRUE(applied.Result) << applied.Result.Message;
    EXPECT_EQ(applied.Result.Written, edit.New.size());
    EXPECT_TRUE(applied.Output == edit.New);
    // The noise does not compress: what the difference carries beyond the changed bytes is the
    // cost of finding the rest in the old file.
    EXPECT_LT(difference.size(), edit.ChangedBytes + 3000) << edit.Name;
    std::printf("  %-22s %-9s %7zu bytes\n", edit.Name,
                GetParam() == TDifferenceMethod::Reference ? "reference" : "chunks", difference.size());
  }
}

TEST_P(DifferenceTest, PaddingAtAnotherAlignmentDoesNotCostTheBytesAfterAChange) {
  // Noise with 40 zero bytes every 300 (as in archives of padded members): after an insertion
  // the zeros of the new file overlap those of the old one by a few bytes at the old alignment.
  Bytes old_bytes = NoiseBytes(kBase, 13);
  for (size_t at = 0; at + 40 < old_bytes.size(); at += 300) std::fill_n(old_bytes.begin() + at, 40, 0);
  const Bytes new_bytes = Insert(old_bytes, 700001, NoiseBytes(7, 14));
  const Bytes difference = Encode(old_bytes, new_bytes, GetParam());
  const TApplied applied = Apply(difference, old_bytes);
  ASSERT_TRUE(applied.Result) << applied.Result.Message;
  EXPECT_TRUE(applied.Output == new_bytes);
  EXPECT_LT(difference.size(), 400u);
}

TEST_P(DifferenceTest, EmptyAndIdenticalFiles) {
  const Bytes some = NoiseBytes(100000, 3);
  const Bytes text = TextBytes(300000);
  for (const auto& [name, old_bytes, new_bytes] : std::vector<std::tuple<const char*, Bytes, Bytes>>{
           {"both empty", {}, {}},
           {"old empty", {}, some},
           {"new empty", some, {}},
           {"identical", NoiseBytes(kBase), NoiseBytes(kBase)},
           {"unrelated", some, text},
       }) {
    SCOPED_TRACE(name);
    const Bytes difference = Encode(old_bytes, new_bytes, GetParam());
    ASSERT_GE(difference.size(), delta::kDifferenceHeaderSize);
    const TApplied applied = Apply(difference, old_bytes);
    ASSERT_TRUE(applied.Result) << applied.Result.Message;
    EXPECT_TRUE(applied.Output == new_bytes);
    if (std::string(name) == "identical" || std::string(name) == "new empty") {
      EXPECT_LT(difference.size(), delta::kDifferenceHeaderSize + 256);
    }
  }
}

TEST_P(DifferenceTest, ZipWithOneMemberChangedInTheMiddleStaysSmall) {
  const Bytes old_zip = ZipLike(200, 100, 1, 0);
  const Bytes new_zip = ZipLike(200, 100, 2, 3000);
  ASSERT_NE(old_zip.size(), new_zip.size());
  const Bytes difference = Encode(old_zip, new_zip, GetParam());
  const TApplied applied = Apply(difference, old_zip);
  ASSERT_TRUE(applied.Result) << applied.Result.Message;
  EXPECT_TRUE(applied.Output == new_zip);
  // One member of about 45 KB and the directory's offsets changed, in an archive of 8 MB.
  EXPECT_LT(difference.size(), new_zip.size() / 100);
  std::printf("  zip of %zu bytes, one member changed: %zu bytes\n", new_zip.size(), difference.size());
  // The same files give the same bytes.
  EXPECT_TRUE(Encode(old_zip, new_zip, GetParam()) == difference);
}

TEST_P(DifferenceTest, PiecesOfAnySizeGiveTheSameFile) {
  const Bytes old_bytes = NoiseBytes(kBase);
  const Bytes new_bytes = Concat({Slice(old_bytes, 0, 500000), TextBytes(3 << 20), Slice(old_bytes, 600000, 400000)});
  const Bytes difference = Encode(old_bytes, new_bytes, GetParam());
  for (size_t piece : {size_t{1}, size_t{7}, size_t{4099}, difference.size()}) {
    SCOPED_TRACE(piece);
    const TApplied applied = Apply(difference, old_bytes, piece);
    ASSERT_TRUE(applied.Result) << applied.Result.Message;
    EXPECT_TRUE(applied.Output == new_bytes);
  }
}

TEST_P(DifferenceTest, ProgressFollowsTheBytesWrittenAboutOncePerMegabyte) {
  const Bytes old_bytes = NoiseBytes(kBase);
  const Bytes new_bytes = Concat({TextBytes(5 << 20), old_bytes});
  const Bytes difference = Encode(old_bytes, new_bytes, GetParam());
  TMemoryOld old_file(old_bytes);
  TMemoryWriter writer;
  std::vector<uint64_t> reports;
  delta::TDifferenceApplier applier(old_file, writer, [&](uint64_t written) { reports.push_back(written); });
  EXPECT_EQ(applier.Header(), nullptr);
  ASSERT_TRUE(applier.Feed(difference.data(), difference.size()));
  ASSERT_NE(applier.Header(), nullptr);
  EXPECT_EQ(applier.Header()->New.Size, new_bytes.size());
  ASSERT_TRUE(applier.Finish());
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back(), new_bytes.size());
  EXPECT_LE(reports.size(), new_bytes.size() / (1 << 20) + 1);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
}

TEST(DifferenceMethodTest, ASmallChunksStreamNamesItsSizeSoTheApplierHoldsNoLargeWindow) {
  const Bytes old_bytes = NoiseBytes(kBase);
  for (const auto& [new_bytes, names_size] :
       {std::pair{Concat({old_bytes, TextBytes(1000)}), true}, {Concat({NoiseBytes(3 << 20, 7), old_bytes}), false}}) {
    const Bytes difference = Encode(old_bytes, new_bytes, TDifferenceMethod::Chunks);
    const unsigned long long size = ZSTD_getFrameContentSize(difference.data() + delta::kDifferenceHeaderSize,
                                                             difference.size() - delta::kDifferenceHeaderSize);
    EXPECT_EQ(size != ZSTD_CONTENTSIZE_UNKNOWN, names_size);
    EXPECT_TRUE(Apply(difference, old_bytes).Result);
  }
}

TEST(DifferenceMethodTest, FilesAboveTheReferenceLimitGoInChunks) {
  const Bytes old_bytes = NoiseBytes(1000);
  const Bytes large = TextBytes(delta::kReferenceMostSize + 1);
  const std::string old_path = ScratchPath("limit-old");
  const std::string new_path = ScratchPath("limit-new");
  WriteFile(old_path, old_bytes);
  WriteFile(new_path, large);
  TMemoryWriter out;
  const delta::TEncodeResult chosen = delta::EncodeDifference(old_path, new_path, out);
  ASSERT_TRUE(chosen.Ok) << chosen.Error;
  EXPECT_EQ(chosen.Header.Method, TDifferenceMethod::Chunks);
  EXPECT_EQ(chosen.Size, out.bytes.size());
  const TApplied applied = Apply(out.bytes, old_bytes);
  ASSERT_TRUE(applied.Result) << applied.Result.Message;
  EXPECT_TRUE(applied.Output == large);

  TMemoryWriter refused;
  const delta::TEncodeResult forced =
      delta::EncodeDifference(old_path, new_path, refused, TDifferenceMethod::Reference);
  EXPECT_FALSE(forced.Ok);
  EXPECT_NE(forced.Error.find(new_path), std::string::npos) << forced.Error;

  TMemoryWriter small;
  WriteFile(new_path, old_bytes);
  EXPECT_EQ(delta::EncodeDifference(old_path, new_path, small).Header.Method, TDifferenceMethod::Reference);
  EXPECT_FALSE(delta::EncodeDifference(old_path, ScratchPath("missing"), small).Ok);
}

TEST(DifferenceMethodTest, AWriterThatRefusesFailsTheEncoding) {
  const std::string path = ScratchPath("refusing");
  WriteFile(path, NoiseBytes(300000));
  WriteFile(path + "-new", NoiseBytes(300000, 5));
  for (TDifferenceMethod method : {TDifferenceMethod::Reference, TDifferenceMethod::Chunks}) {
    for (uint64_t refuse_past : {0, 200, 100000}) {
      TMemoryWriter full;
      full.refuse_past = refuse_past;
      const delta::TEncodeResult cut = delta::EncodeDifference(path, path + "-new", full, method);
      EXPECT_FALSE(cut.Ok);
      EXPECT_FALSE(cut.Error.empty());
    }
  }
}

TEST(ContentChunksTest, CutsFollowTheContentAfterAnInsertion) {
  using namespace delta::chunks;
  const Bytes old_bytes = NoiseBytes(4 << 20);
  const Bytes new_bytes = Insert(old_bytes, 10000, NoiseBytes(100, 2));
  const auto cuts = [](const Bytes& bytes) {
    std::vector<size_t> at;
    for (size_t pos = 0; pos < bytes.size();) {
      const size_t length = ChunkLength(bytes.data() + pos, std::min(bytes.size() - pos, kChunkMost));
      EXPECT_GE(length, std::min(kChunkLeast, bytes.size() - pos));
      EXPECT_LE(length, kChunkMost);
      pos += length;
      at.push_back(pos);
    }
    return at;
  };
  const std::vector<size_t> old_cuts = cuts(old_bytes);
  const std::vector<size_t> new_cuts = cuts(new_bytes);
  const size_t average = old_bytes.size() / old_cuts.size();
  EXPECT_GT(average, kChunkAverage * 3 / 4);
  EXPECT_LT(average, kChunkAverage * 3 / 2);
  // From the third cut after the insertion on, every cut is the old one moved by 100 bytes.
  std::vector<size_t> moved_old, late_new;
  for (size_t cut : old_cuts) {
    if (cut > 10000 + 3 * kChunkMost) moved_old.push_back(cut + 100);
  }
  for (size_t cut : new_cuts) {
    if (cut > 10100 + 3 * kChunkMost) late_new.push_back(cut);
  }
  EXPECT_EQ(moved_old, late_new);
  EXPECT_NE(ChunkHash(old_bytes.data() + 8000, 5000), ChunkHash(new_bytes.data() + 8000, 5000));
  EXPECT_EQ(ChunkHash(old_bytes.data() + 20000, 5000), ChunkHash(new_bytes.data() + 20100, 5000));
}

TEST(IdentifyFileTest, SizeAndDigestInPiecesWithProgress) {
  const Bytes bytes = NoiseBytes((5 << 20) + 123);
  const std::string path = ScratchPath("identify");
  WriteFile(path, bytes);
  delta::TFileIdentity identity;
  std::vector<uint64_t> progress;
  ASSERT_TRUE(delta::IdentifyFile(path, identity, [&](uint64_t done) { progress.push_back(done); }));
  EXPECT_EQ(identity, IdentityOf(bytes));
  ASSERT_GE(progress.size(), 5u);
  EXPECT_EQ(progress.back(), bytes.size());

  const std::string empty = ScratchPath("identify-empty");
  WriteFile(empty, {});
  ASSERT_TRUE(delta::IdentifyFile(empty, identity));
  EXPECT_EQ(identity, IdentityOf({}));

  EXPECT_FALSE(delta::IdentifyFile(ScratchPath("identify-missing"), identity));
  EXPECT_FALSE(delta::IdentifyFile(ScratchFolder().string(), identity));
}

}  // namespace
}  // namespace setup::testing

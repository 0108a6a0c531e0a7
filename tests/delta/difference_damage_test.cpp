// Damaged, hostile and mismatched differences: each ends in a failure with a message, never a
// crash, never an allocation the size a header claims, never a wrong file reported sound.
#include <gtest/gtest.h>

#include <functional>

#include "delta_fixtures.h"

namespace setup::testing {
namespace {

using delta::TApplyStatus;
using delta::TDifferenceMethod;

constexpr uint64_t kTenTerabytes = 10'000'000'000'000ull;

// An old file of any claimed size whose bytes are a function of their position.
class TPatternOld : public delta::TOldFileReader {
 public:
  explicit TPatternOld(uint64_t size) : size_(size) {}
  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t position, void* buffer, size_t n) override {
    if (position >= size_) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - position));
    for (size_t i = 0; i < n; ++i) static_cast<uint8_t*>(buffer)[i] = Byte(position + i);
    return n;
  }
  static uint8_t Byte(uint64_t position) { return static_cast<uint8_t>((position * 0x9E3779B1ull) >> 24); }

 private:
  uint64_t size_;
};

struct TCase {
  Bytes Old, New, Difference;
};

TCase SmallCase(TDifferenceMethod method) {
  TCase c;
  c.Old = NoiseBytes(60000, 4);
  c.New = Concat({Slice(c.Old, 0, 20000), TextBytes(3000), Slice(c.Old, 25000, 35000)});
  c.Difference = Encode(c.Old, c.New, method);
  return c;
}

class DifferenceDamageTest : public ::testing::TestWithParam<TDifferenceMethod> {};

INSTANTIATE_TEST_SUITE_P(Methods, DifferenceDamageTest,
                         ::testing::Values(TDifferenceMethod::Reference, TDifferenceMethod::Chunks),
                         [](const auto& info) {
                           return info.param == TDifferenceMethod::Reference ? "Reference" : "Chunks";
                         });

TEST_P(DifferenceDamageTest, EveryCutIsRefusedAsDamaged) {
  const TCase c = SmallCase(GetParam());
  ASSERT_TRUE(Apply(c.Difference, c.Old).Result);
  for (size_t length = 0; length < c.Difference.size(); ++length) {
    const TApplied applied = Apply(Slice(c.Difference, 0, length), c.Old, 977);
    ASSERT_EQ(applied.Result.Status, TApplyStatus::Damaged) << "cut at " << length;
    ASSERT_FALSE(applied.Result.Message.empty());
  }
}

TEST_P(DifferenceDamageTest, FlippedBytesNeverGiveAWrongFileReportedSound) {
  const TCase c = SmallCase(GetParam());
  // The old file's SHA-256 (header bytes 16 to 47) is the caller's to check before applying.
  constexpr size_t kOldShaAt = 16, kOldShaEnd = 48;
  size_t refused = 0, flips = 0;
  for (size_t at = 0; at < c.Difference.size(); ++at) {
    for (uint8_t flip : {0x01, 0x80, 0xFF}) {
      Bytes damaged = c.Difference;
      damaged[at] ^= flip;
      const TApplied applied = Apply(damaged, c.Old);
      if (applied.Result) {
        ASSERT_TRUE(applied.Output == c.New) << "byte " << at << " flipped by " << int{flip};
      } else if (at < kOldShaAt || at >= kOldShaEnd) {
        ASSERT_FALSE(applied.Result.Message.empty());
        ASSERT_LE(applied.Result.Written, c.New.size());
        ++refused;
      }
      if (at < kOldShaAt || at >= kOldShaEnd) ++flips;
    }
  }
  // Nearly every flip is caught; the rest made the same file.
  EXPECT_GT(refused, flips * 95 / 100);
}

TEST_P(DifferenceDamageTest, AnOldFileOtherThanTheNamedOneIsRefused) {
  const TCase c = SmallCase(GetParam());
  Bytes longer = Concat({c.Old, Bytes{1}});
  const TApplied other_size = Apply(c.Difference, longer);
  EXPECT_EQ(other_size.Result.Status, TApplyStatus::WrongOld);
  EXPECT_NE(other_size.Result.Message.find("60001"), std::string::npos) << other_size.Result.Message;
  EXPECT_TRUE(other_size.Output.empty());

  Bytes edited = c.Old;
  edited[30000] ^= 1;  // in a part the new file takes over
  EXPECT_EQ(Apply(c.Difference, edited).Result.Status, TApplyStatus::WrongResult);

  TMemoryOld unreadable(c.Old);
  unreadable.fail_from_ = 30000;
  TMemoryWriter writer;
  EXPECT_EQ(delta::ApplyDifference(c.Difference.data(), c.Difference.size(), unreadable, writer).Status,
            TApplyStatus::ReadFailed);
}

TEST_P(DifferenceDamageTest, AWriterThatRefusesEndsTheApplying) {
  const Bytes old_bytes = NoiseBytes(3 << 20);
  const Bytes new_bytes = Concat({TextBytes(2 << 20), old_bytes});
  const Bytes difference = Encode(old_bytes, new_bytes, GetParam());
  TMemoryOld old_file(old_bytes);
  TMemoryWriter writer;
  writer.refuse_past = 3 << 20;
  delta::TDifferenceApplier applier(old_file, writer);
  EXPECT_FALSE(applier.Feed(difference.data(), difference.size()));
  EXPECT_FALSE(applier.Feed(difference.data(), 1));  // the failure stays
  const delta::TApplyResult result = applier.Finish();
  EXPECT_EQ(result.Status, TApplyStatus::WriteFailed);
  EXPECT_EQ(result.Written, writer.bytes.size());
  EXPECT_EQ(applier.Finish().Status, TApplyStatus::WriteFailed);
}

TEST_P(DifferenceDamageTest, BytesAfterTheEndAreRefused) {
  const TCase c = SmallCase(GetParam());
  EXPECT_EQ(Apply(Concat({c.Difference, Bytes{0}}), c.Old).Result.Status, TApplyStatus::Damaged);
  // A second frame after the first.
  const Bytes frame =
      Slice(c.Difference, delta::kDifferenceHeaderSize, c.Difference.size() - delta::kDifferenceHeaderSize);
  EXPECT_EQ(Apply(Concat({c.Difference, frame}), c.Old).Result.Status, TApplyStatus::Damaged);
}

TEST(DifferenceHeaderTest, OnlyThisFormatsHeaderIsRead) {
  const TCase c = SmallCase(TDifferenceMethod::Chunks);
  delta::TDifferenceHeader header;
  for (size_t length = 0; length < delta::kDifferenceHeaderSize; ++length) {
    EXPECT_FALSE(delta::ReadDifferenceHeader(c.Difference.data(), length, header));
  }
  ASSERT_TRUE(delta::ReadDifferenceHeader(c.Difference.data(), delta::kDifferenceHeaderSize, header));
  // magic, version (2 bytes), method, the reserved byte
  for (const auto& [at, value] : std::vector<std::pair<size_t, uint8_t>>{
           {0, 'X'}, {3, 'd'}, {4, 2}, {4, 0}, {5, 1}, {6, 0}, {6, 3}, {6, 0xFF}, {7, 1}}) {
    Bytes damaged = c.Difference;
    damaged[at] = value;
    EXPECT_FALSE(delta::ReadDifferenceHeader(damaged.data(), damaged.size(), header)) << at;
    TMemoryOld old_file(c.Old);
    TMemoryWriter writer;
    delta::TDifferenceApplier applier(old_file, writer);
    EXPECT_FALSE(applier.Feed(damaged.data(), damaged.size()));
    EXPECT_EQ(applier.Header(), nullptr);
    EXPECT_EQ(applier.Finish().Status, TApplyStatus::Damaged);
  }
}

// Records written by hand, applied against a small old file.
TEST(DifferenceRecordsTest, EveryRecordIsChecked) {
  const Bytes old_bytes = NoiseBytes(10000, 6);
  const Bytes piece = TextBytes(100);
  const auto records = [](std::initializer_list<std::function<void(Bytes&)>> steps) {
    Bytes out;
    for (const auto& step : steps) step(out);
    return out;
  };
  const auto end = [](Bytes& b) { PutEnd(b); };
  const auto copy = [](uint64_t length, int64_t step) { return [=](Bytes& b) { PutCopy(b, length, step); }; };
  const auto fresh = [](const Bytes& bytes) { return [=](Bytes& b) { PutNewBytes(b, bytes); }; };
  const auto raw = [](Bytes bytes) { return [=](Bytes& b) { b.insert(b.end(), bytes.begin(), bytes.end()); }; };

  // A sound stream: a copy, new bytes, a copy that steps back.
  const Bytes sound_new = Concat({Slice(old_bytes, 5000, 3000), piece, Slice(old_bytes, 1000, 500)});
  const Bytes sound = records({copy(3000, 5000), fresh(piece), copy(500, -7000), end});
  const TApplied good = Apply(ChunksDifference(IdentityOf(old_bytes), IdentityOf(sound_new), sound), old_bytes);
  ASSERT_TRUE(good.Result) << good.Result.Message;
  EXPECT_TRUE(good.Output == sound_new);

  struct TBad {
    const char* Name;
    Bytes Records;
    TApplyStatus Status;
  };
  const std::vector<TBad> bad = {
      {"copy past the end", records({copy(3000, 8000), end}), TApplyStatus::Damaged},
      {"copy from the end", records({copy(1, 10000), end}), TApplyStatus::Damaged},
      {"copy before the start", records({copy(10, 5000), copy(10, -5011), end}), TApplyStatus::Damaged},
      {"copy far past the end", records({copy(10, INT64_MAX), end}), TApplyStatus::Damaged},
      {"copy far before the start", records({copy(10, 5000), copy(10, INT64_MIN), end}), TApplyStatus::Damaged},
      {"copy longer than any file", records({copy(uint64_t{1} << 61, 0), end}), TApplyStatus::Damaged},
      {"unknown kind", records({raw({0x07}), end}), TApplyStatus::Damaged},
      {"end record with a length", records({raw({0x04}), end}), TApplyStatus::Damaged},
      {"empty new bytes", records({raw({0x01}), end}), TApplyStatus::Damaged},
      {"empty copy", records({raw({0x02, 0x00}), end}), TApplyStatus::Damaged},
      {"number of eleven bytes", records({raw(Bytes(10, 0x80)), raw({0x01}), end}), TApplyStatus::Damaged},
      {"number past 64 bits", records({raw(Bytes(9, 0xFF)), raw({0x02}), end}), TApplyStatus::Damaged},
      {"records after the end", records({fresh(piece), end, fresh(piece)}), TApplyStatus::Damaged},
      {"no end record", records({fresh(piece)}), TApplyStatus::Damaged},
      {"cut inside new bytes", records({raw({0x41, 'a'})}), TApplyStatus::Damaged},
      {"cut inside a copy", records({raw({0x0A})}), TApplyStatus::Damaged},
      {"more bytes than named", records({fresh(piece), fresh(piece), end}), TApplyStatus::WrongResult},
      {"a copy past the named size", records({fresh(piece), copy(1, 0), end}), TApplyStatus::WrongResult},
      {"new bytes past any size", records({raw({0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), end}),
       TApplyStatus::WrongResult},
      {"fewer bytes than named", records({raw({0x05, 'a'}), end}), TApplyStatus::WrongResult},
  };
  for (const TBad& b : bad) {
    SCOPED_TRACE(b.Name);
    const TApplied applied = Apply(ChunksDifference(IdentityOf(old_bytes), IdentityOf(piece), b.Records), old_bytes);
    EXPECT_EQ(applied.Result.Status, b.Status) << applied.Result.Message;
    EXPECT_FALSE(applied.Result.Message.empty());
    EXPECT_LE(applied.Output.size(), piece.size());
  }
}

TEST(DifferenceSizesTest, ClaimedSizesAllocateNothing) {
  const Bytes tiny = NoiseBytes(100);
  // The reference method takes files of at most kReferenceMostSize: a larger claim is refused
  // before the old file is read.
  for (const auto& [old_size, new_size] : {std::pair{uint64_t{100}, kTenTerabytes},
                                           {kTenTerabytes, uint64_t{100}},
                                           {delta::kReferenceMostSize + 1, uint64_t{0}}}) {
    TPatternOld old_file(old_size);
    TMemoryWriter writer;
    const Bytes difference = Concat({HeaderBytes(TDifferenceMethod::Reference, {old_size, {}}, {new_size, {}}),
                                     Encode(tiny, tiny, TDifferenceMethod::Reference)});
    EXPECT_EQ(delta::ApplyDifference(difference.data(), difference.size(), old_file, writer).Status,
              TApplyStatus::Damaged);
  }

  // The chunks method holds a window whatever the sizes: a copy from 9 TB into a file that
  // claims 10 TB comes out short, and is the bytes at 9 TB.
  TPatternOld huge(kTenTerabytes);
  Bytes records;
  PutCopy(records, 3 << 20, 9'000'000'000'000);
  PutEnd(records);
  const Bytes difference = ChunksDifference({kTenTerabytes, {}}, {kTenTerabytes, {}}, records);
  TMemoryWriter writer;
  const delta::TApplyResult result = delta::ApplyDifference(difference.data(), difference.size(), huge, writer);
  EXPECT_EQ(result.Status, TApplyStatus::WrongResult);
  ASSERT_EQ(writer.bytes.size(), 3u << 20);
  for (size_t i = 0; i < writer.bytes.size(); i += 4099) {
    ASSERT_EQ(writer.bytes[i], TPatternOld::Byte(9'000'000'000'000 + i));
  }
}

TEST(DifferenceSizesTest, AWindowLargerThanTheMethodsIsRefused) {
  // A chunks stream whose frame asks for a window of 128 MiB.
  Bytes records;
  PutNewBytes(records, TextBytes(1000));
  PutEnd(records);
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, 27);
  Bytes frame(ZSTD_compressBound(records.size()) + 64);
  ZSTD_inBuffer in{records.data(), records.size(), 0};
  ZSTD_outBuffer out{frame.data(), frame.size(), 0};
  // Given in two calls, so that zstd does not learn the size and keep the window small.
  ASSERT_FALSE(ZSTD_isError(ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_continue)));
  ZSTD_inBuffer none{nullptr, 0, 0};
  ASSERT_EQ(ZSTD_compressStream2(cctx, &out, &none, ZSTD_e_end), 0u);
  ZSTD_freeCCtx(cctx);
  frame.resize(out.pos);
  const Bytes new_bytes = TextBytes(1000);
  const Bytes difference =
      Concat({HeaderBytes(TDifferenceMethod::Chunks, IdentityOf({}), IdentityOf(new_bytes)), frame});
  const TApplied applied = Apply(difference, {});
  EXPECT_EQ(applied.Result.Status, TApplyStatus::Damaged) << applied.Result.Message;
}

TEST(DifferenceReferenceTest, TheFrameMustNameTheNewFilesSize) {
  const Bytes old_bytes = NoiseBytes(5000, 8);
  const Bytes new_bytes = Concat({old_bytes, TextBytes(500)});
  const Bytes header = HeaderBytes(TDifferenceMethod::Reference, IdentityOf(old_bytes), IdentityOf(new_bytes));
  const auto frame = [&](bool name_size, size_t size) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_refPrefix(cctx, old_bytes.data(), old_bytes.size());
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, name_size ? 1 : 0);
    Bytes out(ZSTD_compressBound(size));
    out.resize(ZSTD_compress2(cctx, out.data(), out.size(), new_bytes.data(), size));
    ZSTD_freeCCtx(cctx);
    return out;
  };
  ASSERT_TRUE(Apply(Concat({header, frame(true, new_bytes.size())}), old_bytes).Result);
  EXPECT_EQ(Apply(Concat({header, frame(false, new_bytes.size())}), old_bytes).Result.Status, TApplyStatus::Damaged);
  EXPECT_EQ(Apply(Concat({header, frame(true, new_bytes.size() - 1)}), old_bytes).Result.Status, TApplyStatus::Damaged);
  // A skippable frame, then nothing.
  const Bytes skippable = {0x50, 0x2A, 0x4D, 0x18, 4, 0, 0, 0, 1, 2, 3, 4};
  EXPECT_EQ(Apply(Concat({header, skippable}), old_bytes).Result.Status, TApplyStatus::Damaged);
}

}  // namespace
}  // namespace setup::testing

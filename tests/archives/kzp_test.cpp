// The KZP archive's reader on archives made by the format's own encoders: every trailer form,
// the trailer search, and endings that are unsound, cut short or damaged byte by byte.
#include "archives/kzp_format.h"

#include <gtest/gtest.h>

#include "core/byte_order.h"
#include "core/deflate.h"
#include "kzp_fixtures.h"

namespace setup {
namespace {

using namespace setup::testing;

TEST(KzpTrailer, OldFormPasswordIsTheLeadingRunOfLettersAndDigits) {
  const TBytes body = ArchiveBody(TwoEntries());
  EXPECT_EQ(IndexOf(Concat(body, OldTrailer("abcdefghi"))).Trailer.Password, "abcdefghi");
  EXPECT_EQ(IndexOf(Concat(body, OldTrailer("Abc12345 "))).Trailer.Password, "Abc12345");
  EXPECT_EQ(IndexOf(Concat(body, OldTrailer("ab-cdefgh"))).Trailer.Password, "ab");
  EXPECT_EQ(IndexOf(Concat(body, OldTrailer(std::string(9, '\0')))).Trailer.Password, "");
}

// A "KZP3" block that ends i bytes before the end, followed by i filler bytes.
TBytes WithBlockEnding(const TBytes& body, size_t i) {
  TBytes block = Ascii("KZP3");
  block.push_back(1);
  block.push_back(0);
  return Concat(Concat(body, block), TBytes(i, 'x'));
}

TEST(KzpTrailer, SearchFindsBlocksEndingOneToFiftyBytesBeforeTheEnd) {
  const TBytes body = ArchiveBody(TwoEntries());
  for (size_t i = 1; i <= kKzpTrailerSearchLimit; ++i) {
    const TKzpIndex index = IndexOf(WithBlockEnding(body, i));
    EXPECT_EQ(index.Trailer.Form, TKzpTrailerForm::Unknown) << i;
    EXPECT_EQ(index.Trailer.Length, i + 6) << i;
    EXPECT_EQ(index.Records.size(), 2u) << i;
  }
  // Ending at the very end, or 51 bytes before it, is no trailer: the footer is then looked
  // for at the end of the file and is not there.
  for (size_t i : {size_t{0}, kKzpTrailerSearchLimit + 1}) {
    const TBytes bytes = WithBlockEnding(body, i);
    EXPECT_EQ(TrailerOf(bytes).Form, TKzpTrailerForm::None) << i;
    EXPECT_EQ(TrailerOf(bytes).Length, 0u) << i;
    TMemoryArchiveFile file(std::make_shared<TBytes>(bytes));
    TKzpIndex index;
    std::string error;
    EXPECT_FALSE(ReadKzpIndex(file, index, error)) << i;
  }
}

TEST(KzpTrailer, SectionThatRunsPastTheEndIsRefused) {
  TBytes trailer = EncodeKzpTrailer("password", 0, 7, 8);
  StoreLE16(trailer.data() + 12, 9);  // one byte more than the section holds
  const TBytes tail = Tail(Concat(ArchiveBody(TwoEntries()), trailer));
  TKzpTrailer read;
  std::string error;
  EXPECT_FALSE(ParseKzpTrailer(tail.data(), tail.size(), read, error));
  EXPECT_NE(error.find("password of 9 bytes"), std::string::npos) << error;
}

std::string ReadError(const TBytes& bytes) {
  TMemoryArchiveFile file(std::make_shared<TBytes>(bytes));
  TKzpIndex index;
  std::string error;
  EXPECT_FALSE(ReadKzpIndex(file, index, error));
  return error;
}

TEST(KzpReader, UnsoundEndingsAreRefusedWithSizesNamed) {
  EXPECT_NE(ReadError(WithFooter(TwoEntries(), [](TKzpFooter& f) { f.Version = 4; })).find("format version 4"),
            std::string::npos);
  EXPECT_NE(ReadError(WithFooter(TwoEntries(), [](TKzpFooter& f) { f.Reserved = 1; })).find("reserved"),
            std::string::npos);
  EXPECT_NE(ReadError(WithFooter(TwoEntries(), [](TKzpFooter& f) { f.CompressedSize = 1u << 30; })).find("does not fit"),
            std::string::npos);
  EXPECT_NE(ReadError(WithFooter(TwoEntries(), [](TKzpFooter& f) { f.InflatedSize += 152; })).find("inflates to"),
            std::string::npos);
  EXPECT_NE(ReadError(WithFooter(TwoEntries(), [](TKzpFooter& f) { f.InflatedSize = 0xFFFFFFF0; })).find("exceeds"),
            std::string::npos);
  // More entries than records were inflated: the reader would read past its buffer.
  EXPECT_NE(ReadError(WithFooter(TwoEntries(), [](TKzpFooter& f) { f.Count = 3; })).find("entry count 3"),
            std::string::npos);
  EXPECT_NE(ReadError(TBytes(10, 0)).find("no room for the footer"), std::string::npos);
  EXPECT_NE(ReadError(TBytes()).find("no room"), std::string::npos);

  // A record whose name length byte passes 127 would run into the next record.
  TKzpRecord record;
  record.Name = "x";
  TBytes raw(kKzpRecordSize);
  EncodeKzpRecord(record, raw.data());
  raw[24] = 128;
  TBytes bytes = Deflate(raw.data(), raw.size());
  const TBytes footer = EncodeKzpFooter({static_cast<uint32_t>(bytes.size()), 152, 5, 1, 0});
  EXPECT_NE(ReadError(Concat(bytes, footer)).find("name length 128"), std::string::npos);
}

TEST(KzpReader, EveryTruncationAndByteFlipReadsSafely) {
  const TBytes whole = Concat(ArchiveBody(TwoEntries()), EncodeKzpTrailer("pw", 1, 9, 10));
  auto check = [](const TBytes& bytes, const std::string& what) {
    TMemoryArchiveFile file(std::make_shared<TBytes>(bytes));
    TKzpIndex index;
    std::string error;
    if (ReadKzpIndex(file, index, error)) {
      EXPECT_EQ(index.Records.size(), index.Footer.Count) << what;
      EXPECT_LE(index.Footer.Count * kKzpRecordSize, index.Footer.InflatedSize) << what;
      EXPECT_LE(index.DirectoryStart + index.Footer.CompressedSize + kKzpFooterSize + index.Trailer.Length,
                bytes.size())
          << what;
    } else {
      EXPECT_FALSE(error.empty()) << what;
    }
  };
  // Only cuts inside the trailer can still read: the bare body is an archive without a
  // trailer, and a "KZP3" block with a cut section is a block of unknown form.
  const size_t body_size = whole.size() - EncodeKzpTrailer("pw", 1, 9, 10).size();
  for (size_t n = 0; n < whole.size(); ++n) {
    const TBytes cut(whole.begin(), whole.begin() + static_cast<long>(n));
    check(cut, "cut at " + std::to_string(n));
    TMemoryArchiveFile file(std::make_shared<TBytes>(cut));
    TKzpIndex index;
    std::string error;
    if (ReadKzpIndex(file, index, error)) {
      EXPECT_GE(n, body_size);
      EXPECT_EQ(index.Records.size(), 2u);
    }
  }
  for (size_t i = 0; i < whole.size(); ++i) {
    TBytes flipped = whole;
    flipped[i] ^= 0x5A;
    check(flipped, "flip at " + std::to_string(i));
  }
}

}  // namespace
}  // namespace setup

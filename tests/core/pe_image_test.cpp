#include "core/pe_image.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/buffer_manager.h"
#include "core/byte_order.h"
#include "core/file_stream.h"
#include "pe_fixtures.h"
#include "test_files.h"

namespace setup {
namespace {

using testing::FixtureExecutable;
using testing::FixtureSecurityDirectory;
using testing::FixtureSigned;

std::optional<uint64_t> TableStart(const TBytes& file) {
  const auto fields = ReadPeSignatureFields(file.data(), file.size());
  return fields ? CertificateTableStart(*fields, file.size()) : std::nullopt;
}

TEST(PeImage, FindsTheTableThatClosesTheFileInBothHeaderForms) {
  for (bool plus : {false, true}) {
    EXPECT_FALSE(TableStart(FixtureExecutable(plus))) << "unsigned, PE32+ " << plus;
    const TBytes file = FixtureSigned(FixtureExecutable(plus), 3, 64, plus);
    EXPECT_EQ(TableStart(file), 0x403u) << "PE32+ " << plus;

    const std::string path = testing::ScratchPath("signed.exe");
    testing::WriteFile(path, file);
    auto stream = TFileStream::Open(path, TFileMode::Read);
    ASSERT_TRUE(stream);
    EXPECT_EQ(FindCertificateTable(*stream, file.size()), 0x403u) << "PE32+ " << plus;
  }
}

TEST(PeImage, ClearingDropsTheDirectoryAndTheChecksumOnly) {
  for (bool plus : {false, true}) {
    const TBytes signed_file = FixtureSigned(FixtureExecutable(plus), 0, 64, plus);
    TBytes cleared = signed_file;
    ASSERT_TRUE(ClearPeSignature(cleared.data(), cleared.size()));
    TBytes expected = signed_file;
    StoreLE64(expected.data() + FixtureSecurityDirectory(plus), 0);
    StoreLE32(expected.data() + testing::kFixtureOptionalHeader + 64, 0);
    EXPECT_EQ(cleared, expected) << "PE32+ " << plus;
    EXPECT_FALSE(TableStart(cleared));
  }
  TBytes text(0x400, 'x');
  EXPECT_FALSE(ClearPeSignature(text.data(), text.size()));
  EXPECT_EQ(text, TBytes(0x400, 'x'));
}

TEST(PeImage, DamagedHeadersNameNoTable) {
  const TBytes good = FixtureSigned(FixtureExecutable(), 0);
  const uint32_t size = static_cast<uint32_t>(good.size());
  const uint32_t directory = FixtureSecurityDirectory(false);
  const uint32_t pe = testing::kFixturePeHeader, optional = testing::kFixtureOptionalHeader;
  auto set32 = [](uint32_t at, uint32_t v) { return [=](TBytes& b) { StoreLE32(b.data() + at, v); }; };
  auto set16 = [](uint32_t at, uint16_t v) { return [=](TBytes& b) { StoreLE16(b.data() + at, v); }; };
  const struct {
    const char* what;
    std::function<void(TBytes&)> damage;
  } cases[] = {
      {"a byte after the table", [](TBytes& b) { b.push_back(0); }},
      {"table ending before the end", set32(directory + 4, 63)},
      {"table ending past the end", set32(directory + 4, 65)},
      {"table starting past the end", set32(directory, size + 8)},
      {"position and size wrapping to the end in 32 bits", [&](TBytes& b) {
         StoreLE32(b.data() + directory, 0xFFFFFF00u);
         StoreLE32(b.data() + directory + 4, size + 0x100);
       }},
      {"table inside the headers", [&](TBytes& b) {
         StoreLE32(b.data() + directory, 0x40);
         StoreLE32(b.data() + directory + 4, size - 0x40);
       }},
      {"table shorter than an entry header", [&](TBytes& b) {
         StoreLE32(b.data() + directory, size - 4);
         StoreLE32(b.data() + directory + 4, 4);
       }},
      {"only four data directories", set32(optional + 92, 4)},
      {"optional header too short for the directory", set16(pe + 20, 96 + 4 * 8)},
      {"optional header past the head", set16(pe + 20, 0xFFFF)},
      {"PE header past the head", set32(0x3C, kPeHeadLimit - 20)},
      {"PE header far outside the file", set32(0x3C, 0xFFFFFFF0u)},
      {"no PE signature", set32(pe, 0x4551)},
      {"unknown optional header", set16(optional, 0x107)},
      {"no MZ", set16(0, 0x4D5A)},
  };
  ASSERT_TRUE(TableStart(good));
  for (const auto& c : cases) {
    TBytes bytes = good;
    c.damage(bytes);
    EXPECT_FALSE(TableStart(bytes)) << c.what;
  }
}

TEST(PeImage, TruncatedHeadersAreReadSafely) {
  const TBytes good = FixtureSigned(FixtureExecutable(true), 0, 64, true);
  const auto whole = ReadPeSignatureFields(good.data(), good.size());
  ASSERT_TRUE(whole);
  for (size_t n = 0; n <= whole->HeadersEnd + 1; ++n) {
    const TBytes cut(good.begin(), good.begin() + static_cast<long>(n));  // exactly n bytes, for the sanitizer
    const auto fields = ReadPeSignatureFields(cut.data(), cut.size());
    EXPECT_EQ(fields.has_value(), n >= whole->HeadersEnd) << "cut at " << n;
  }
}

}  // namespace
}  // namespace setup

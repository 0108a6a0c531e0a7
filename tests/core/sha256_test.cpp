// SHA-256 natively (libcrypto behind the factory) against the FIPS 180-2 examples, fed whole,
// across block boundaries and in uneven pieces, and the factory that hands it out.
#include "core/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

namespace setup {
namespace {

const char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char kAbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char kTwoBlockText[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const char kTwoBlockDigest[] = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
const char kMillionADigest[] = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

// The digest of text fed in pieces whose lengths come from piece(0), piece(1), ...; the
// failing step when a call fails.
template <typename PieceLength>
std::string Digest(std::unique_ptr<TSha256> sha256, const std::string& text, PieceLength piece) {
  if (!sha256) return "no digest";
  size_t at = 0;
  for (size_t i = 0; at < text.size(); ++i) {
    const size_t n = std::min(piece(i), text.size() - at);
    if (!sha256->Update(reinterpret_cast<const uint8_t*>(text.data()) + at, n)) return "update failed";
    at += n;
  }
  TSha256Digest digest;
  if (!sha256->Final(digest)) return "final failed";
  return Sha256Hex(digest);
}

std::string Digest(const std::string& text, size_t piece) {
  return Digest(NewLibcryptoSha256(), text, [piece](size_t) { return piece; });
}

TEST(LibcryptoSha256, GivesTheReferenceDigestsWholeAndAcrossBlockBoundaries) {
  const struct {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", kEmptyDigest},
      {"abc", kAbcDigest},
      // 448 bits: the length no longer fits the first block's padding.
      {kTwoBlockText, kTwoBlockDigest},
      // 55, 56 and 64 bytes: the edges of the one-block padding.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.size());
    for (size_t piece : {c.text.size() + 1, size_t{1}, size_t{7}, size_t{63}, size_t{64}, size_t{65}})
      EXPECT_EQ(Digest(c.text, piece), c.digest) << "pieces of " << piece;
  }
}

TEST(LibcryptoSha256, OneMillionAInUnevenPieces) {
  const std::string text(1000000, 'a');
  EXPECT_EQ(Digest(text, text.size()), kMillionADigest);
  // Lengths 1, 2, ..., 997 and over again: pieces end at every offset within a block.
  EXPECT_EQ(Digest(NewLibcryptoSha256(), text, [](size_t i) { return i % 997 + 1; }), kMillionADigest);
}

TEST(LibcryptoSha256, EmptyUpdatesChangeNothing) {
  auto sha256 = NewLibcryptoSha256();
  ASSERT_NE(sha256, nullptr);
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_TRUE(sha256->Update(nullptr, 0));
  EXPECT_TRUE(sha256->Update(abc, 3));
  EXPECT_TRUE(sha256->Update(abc, 0));
  TSha256Digest digest;
  ASSERT_TRUE(sha256->Final(digest));
  EXPECT_EQ(Sha256Hex(digest), kAbcDigest);
}

TEST(LibcryptoSha256, AFinishedDigestRefusesMoreWork) {
  auto sha256 = NewLibcryptoSha256();
  ASSERT_NE(sha256, nullptr);
  const uint8_t abc[] = {'a', 'b', 'c'};
  TSha256Digest digest;
  ASSERT_TRUE(sha256->Final(digest));
  EXPECT_EQ(Sha256Hex(digest), kEmptyDigest);
  // Extending the finished digest would give the digest of neither "" nor "abc".
  EXPECT_FALSE(sha256->Update(abc, 3));
  EXPECT_FALSE(sha256->Final(digest));
}

TEST(LibcryptoSha256, DigestsAreIndependent) {
  auto first = NewLibcryptoSha256();
  auto second = NewLibcryptoSha256();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  const uint8_t abc[] = {'a', 'b', 'c'};
  ASSERT_TRUE(first->Update(abc, 3));
  TSha256Digest digest;
  ASSERT_TRUE(second->Final(digest));
  EXPECT_EQ(Sha256Hex(digest), kEmptyDigest);
  ASSERT_TRUE(first->Final(digest));
  EXPECT_EQ(Sha256Hex(digest), kAbcDigest);
}

TEST(Sha256Hex, LowerCaseWithLeadingZeros) {
  TSha256Digest digest{};
  digest[0] = 0x00;
  digest[1] = 0x0f;
  digest[2] = 0xf0;
  digest[3] = 0xab;
  digest[31] = 0xff;
  EXPECT_EQ(Sha256Hex(digest), "000ff0ab" + std::string(54, '0') + "ff");
}

TEST(Sha256Factory, NativeDefaultIsLibcrypto) {
  EXPECT_EQ(Digest(NewSha256(), kTwoBlockText, [](size_t) { return size_t{5}; }), kTwoBlockDigest);
}

TEST(Sha256Factory, InstalledFactoryIsUsedAndAnEmptyOneGivesNoDigest) {
  int made = 0;
  SetSha256Factory([&made] {
    ++made;
    return NewLibcryptoSha256();
  });
  EXPECT_EQ(Digest(NewSha256(), "abc", [](size_t) { return size_t{3}; }), kAbcDigest);
  EXPECT_EQ(made, 1);
  SetSha256Factory(nullptr);
  EXPECT_EQ(NewSha256(), nullptr);
  SetSha256Factory(NewLibcryptoSha256);
  EXPECT_NE(NewSha256(), nullptr);
}

}  // namespace
}  // namespace setup

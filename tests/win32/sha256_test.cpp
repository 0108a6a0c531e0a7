// SHA-256 from the Windows cryptographic service, against the FIPS 180-2 examples, and
// installed behind NewSha256 as setup.exe installs it.
#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/win32/sha256_win32.h"

namespace setup::win32 {
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
  return Digest(NewCryptoApiSha256(), text, [piece](size_t) { return piece; });
}

TEST(CryptoApiSha256, GivesTheReferenceDigestsWholeAndInPieces) {
  const struct {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", kEmptyDigest},
      {"abc", kAbcDigest},
      {kTwoBlockText, kTwoBlockDigest},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.size());
    for (size_t piece : {c.text.size() + 1, size_t{1}, size_t{7}, size_t{63}})
      EXPECT_EQ(Digest(c.text, piece), c.digest) << "pieces of " << piece;
  }
}

TEST(CryptoApiSha256, OneMillionAInUnevenPieces) {
  const std::string text(1000000, 'a');
  EXPECT_EQ(Digest(text, text.size()), kMillionADigest);
  EXPECT_EQ(Digest(NewCryptoApiSha256(), text, [](size_t i) { return i % 997 + 1; }), kMillionADigest);
}

TEST(CryptoApiSha256, EmptyUpdatesChangeNothingAndAFinishedDigestRefusesMore) {
  auto sha256 = NewCryptoApiSha256();
  ASSERT_NE(sha256, nullptr);
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_TRUE(sha256->Update(nullptr, 0));
  EXPECT_TRUE(sha256->Update(abc, 3));
  EXPECT_TRUE(sha256->Update(abc, 0));
  TSha256Digest digest;
  ASSERT_TRUE(sha256->Final(digest));
  EXPECT_EQ(Sha256Hex(digest), kAbcDigest);
  EXPECT_FALSE(sha256->Update(abc, 3));
  EXPECT_FALSE(sha256->Final(digest));
}

TEST(CryptoApiSha256, NoDigestUntilInstalledThenTheService) {
  // Tests run in one process here: leave the factory as the test found it.
  EXPECT_EQ(NewSha256(), nullptr);
  SetSha256Factory(NewCryptoApiSha256);
  EXPECT_EQ(Digest(NewSha256(), kTwoBlockText, [](size_t) { return size_t{5}; }), kTwoBlockDigest);
  SetSha256Factory(nullptr);
}

}  // namespace
}  // namespace setup::win32

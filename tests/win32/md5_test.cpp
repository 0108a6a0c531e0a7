// The VFS archive digest from the Windows cryptographic service, against the RFC 1321 values.
#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/md5_win32.h"

namespace setup::win32 {
namespace {

std::string Hex(const uint8_t* digest) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < kMd5DigestSize; ++i) {
    text += digits[digest[i] >> 4];
    text += digits[digest[i] & 15];
  }
  return text;
}

// The digest of text fed in pieces of the given length.
std::string Digest(const std::string& text, size_t piece) {
  auto md5 = NewCryptoApiMd5();
  if (!md5) return "no context";
  for (size_t at = 0; at < text.size(); at += piece) {
    const std::string part = text.substr(at, piece);
    if (!md5->Update(reinterpret_cast<const uint8_t*>(part.data()), part.size())) return "update failed";
  }
  uint8_t digest[kMd5DigestSize];
  if (!md5->Final(digest)) return "final failed";
  return Hex(digest);
}

TEST(CryptoApiMd5, GivesTheReferenceDigestsWholeAndInPieces) {
  const struct {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Digest(c.text, c.text.size() + 1), c.digest);
    EXPECT_EQ(Digest(c.text, 7), c.digest);
  }
}

TEST(CryptoApiMd5, AnEmptyUpdateChangesNothing) {
  auto md5 = NewCryptoApiMd5();
  ASSERT_NE(md5, nullptr);
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_TRUE(md5->Update(abc, 0));
  EXPECT_TRUE(md5->Update(abc, 3));
  uint8_t digest[kMd5DigestSize];
  ASSERT_TRUE(md5->Final(digest));
  EXPECT_EQ(Hex(digest), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
}  // namespace setup::win32

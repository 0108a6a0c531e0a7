#include "core/digit_cipher.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/error.h"

namespace setup {
namespace {

TEST(DigitCipher, RoundTripsEveryByteValue) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (const char* key : {kInstallLogKey, kCommandKey, "9", "090"}) {
    const std::string enciphered = EncipherDigits(key, all);
    EXPECT_EQ(enciphered.size(), all.size());
    EXPECT_EQ(DecipherDigits(key, enciphered), all);
  }
}

TEST(DigitCipher, KeyCyclesAndRestartsPerText) {
  EXPECT_EQ(EncipherDigits("123", "aaaa"), "bcdb");
  EXPECT_EQ(EncipherDigits("123", "a"), "b");  // a second text starts at the first digit again
  EXPECT_EQ(EncipherDigits("9", std::string("\xFF", 1)), std::string("\x08", 1));  // wraps modulo 256
  EXPECT_EQ(DecipherDigits("9", std::string("\x02", 1)), std::string("\xF9", 1));
  EXPECT_EQ(EncipherDigits("123", ""), "");
}

TEST(DigitCipher, NonDigitKeysRaise) {
  EXPECT_THROW(EncipherDigits("12x", "abc"), ESetupError);
  EXPECT_THROW(EncipherDigits("", "abc"), ESetupError);
  EXPECT_EQ(EncipherDigits("x", ""), "");  // no byte, no key digit read
}

TEST(DigitCipher, KeysAreWholeDigitStrings) {
  for (const char* key : {kInstallLogKey, kCommandKey}) {
    ASSERT_EQ(std::strlen(key), kDigitKeyLength);
    EXPECT_EQ(std::strspn(key, "0123456789"), kDigitKeyLength);
  }
  EXPECT_STRNE(kInstallLogKey, kCommandKey);
}

}  // namespace
}  // namespace setup

#include "core/crc.h"
#include "core/seeded_cipher.h"

namespace setup {
namespace {

// One figure over the keys of every seed, the same on every build of the program.
uint32_t AllSeedKeysCrc() {
  std::string all;
  TMerinEncryptionType c;
  for (int s = 0; s < 256; ++s) {
    c.FirstSeed = static_cast<uint8_t>(s);
    c.SecondSeed = static_cast<uint8_t>(s);
    all += c.SeedKey(true) + "|" + c.SeedKey(false) + "|";
  }
  return Crc32(all.data(), all.size());
}

TEST(SeededCipher, KeysOfEverySeedAreStable) { EXPECT_EQ(AllSeedKeysCrc(), 0xbb3ba930u); }

TEST(SeededCipher, KeysAreTheNonZeroDigitsOfSineAndCosine) {
  TMerinEncryptionType c;
  c.FirstSeed = 1;   // sin(1) = 0.841470984807897
  c.SecondSeed = 2;  // cos(2) = -0.416146836547142
  EXPECT_EQ(c.SeedKey(true), "8414798487897");
  EXPECT_EQ(c.SeedKey(false), "416146836547142");
  c.FirstSeed = 0;  // sin(0) = 0: no digit at all
  EXPECT_EQ(c.SeedKey(true), "");
  c.SecondSeed = 0;  // cos(0) = 1
  EXPECT_EQ(c.SeedKey(false), "1");
}

TEST(SeededCipher, TwoPassesInOppositeDirections) {
  TMerinEncryptionType c;
  c.FirstSeed = 0;   // first key empty: pass 1 shifts nothing
  c.SecondSeed = 0;  // second key "1"
  EXPECT_EQ(c.Encrypt("abc"), "dcb");  // reversed, each byte plus 1
  EXPECT_EQ(c.Decrypt("dcb"), "abc");
  EXPECT_EQ(c.Encrypt(""), "");
}

TEST(SeededCipher, DecryptUndoesEncryptForEverySeedPair) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  TMerinEncryptionType c;
  for (int first = 0; first < 256; first += 17) {
    for (int second = 0; second < 256; second += 23) {
      c.FirstSeed = static_cast<uint8_t>(first);
      c.SecondSeed = static_cast<uint8_t>(second);
      const std::string enciphered = c.Encrypt(all);
      ASSERT_EQ(enciphered.size(), all.size());
      ASSERT_EQ(c.Decrypt(enciphered), all) << first << " " << second;
    }
  }
}

}  // namespace
}  // namespace setup

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

#include "builder/codepage.h"

#include <gtest/gtest.h>

#include "core/text.h"

namespace setup::builder {
namespace {

// The password's code page: every byte comes back from its UTF-8, the five unassigned bytes
// too; a character the code page lacks, or text that is not UTF-8, has no bytes there.
TEST(Codepage, Windows1252BytesOfEveryCharacterItHasAndNoneOfOthers) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(Utf8ToWindows1252(Windows1252ToUtf8(byte)), byte) << b;
  }
  EXPECT_EQ(Utf8ToWindows1252("Caf\xC3\xA9 \xE2\x82\xAC \xC5\xB8"), "Caf\xE9 \x80 \x9F");
  EXPECT_EQ(Utf8ToWindows1252(""), "");
  for (const char* lacking : {"\xD0\x98", "\xE2\x9C\x93", "\xF0\x9F\x8E\xAE", "\xC4\x80"}) {
    EXPECT_EQ(Utf8ToWindows1252(std::string("a") + lacking), std::nullopt) << lacking;
  }
  EXPECT_EQ(Utf8ToWindows1252("Caf\xE9"), std::nullopt);
}

}  // namespace
}  // namespace setup::builder

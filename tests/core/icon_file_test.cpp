// The icon file reader: the first image found, and truncated or hostile heads refused.
#include "core/icon_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/byte_order.h"
#include "icon_fixtures.h"

namespace setup {
namespace {

using testing::AppendIconEntry;
using testing::IconFile;
using testing::IconImage;

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(IconFile, FirstImageIsFoundInsideTheFile) {
  const std::string file = IconFile(IconImage(1));
  TIconImagePlace place;
  ASSERT_TRUE(FindFirstIconImage(Bytes(file), kIconHeadBytes, file.size(), place));
  EXPECT_EQ(place.Offset, kIconHeadBytes);
  EXPECT_EQ(place.Size, file.size() - kIconHeadBytes);
}

TEST(IconFile, EveryTruncationIsRejected) {
  const std::string file = IconFile(IconImage(1));
  for (size_t length = 0; length < file.size(); ++length) {
    TIconImagePlace place;
    EXPECT_FALSE(FindFirstIconImage(Bytes(file), std::min(length, kIconHeadBytes), length, place)) << length;
  }
}

TEST(IconFile, HostileDirectoriesAreRejected) {
  struct Case {
    const char* what;
    uint16_t reserved, type, count;
    uint32_t size, offset;
  };
  const Case cases[] = {
      {"reserved not zero", 1, 1, 1, 100, 22},
      {"cursor file", 0, 2, 1, 100, 22},
      {"no images", 0, 1, 0, 100, 22},
      {"empty image", 0, 1, 1, 0, 22},
      {"image inside the header", 0, 1, 1, 100, 6},
      {"image inside a longer directory", 0, 1, 3, 100, 30},
      {"directory longer than the file", 0, 1, 60000, 100, 22},
      {"end past the file", 0, 1, 1, 1003, 22},
      {"offset past the file", 0, 1, 1, 1, 0xFFFFFFF0u},
      {"offset and size wrap around", 0, 1, 1, 0x20, 0xFFFFFFF0u},
      {"size wraps around", 0, 1, 1, 0xFFFFFFF0u, 0x20},
  };
  for (const Case& c : cases) {
    std::string head;
    AppendLE16(head, c.reserved);
    AppendLE16(head, c.type);
    AppendLE16(head, c.count);
    AppendIconEntry(head, c.size, c.offset);
    TIconImagePlace place;
    EXPECT_FALSE(FindFirstIconImage(Bytes(head), head.size(), 1024, place)) << c.what;
  }
}

}  // namespace
}  // namespace setup

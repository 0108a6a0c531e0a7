#include "core/buffer_manager.h"

#include <gtest/gtest.h>

#include "core/error.h"

namespace setup {
namespace {

TEST(BufferManager, FieldReadsPastTheEndRaise) {
  const uint8_t data[] = {0x05, 0x00, 'a', 'b'};
  TBufferManager cursor(data, sizeof data);
  EXPECT_THROW(cursor.ReadString(), ESetupError);
  TBufferManager c2(data, 3);
  EXPECT_EQ(c2.ReadUInt16(), 5);
  EXPECT_THROW(c2.ReadInt32(), ESetupError);
  EXPECT_EQ(c2.ReadUInt8(), 'a');
  EXPECT_THROW(c2.ReadUInt8(), ESetupError);
}

TEST(BufferManager, ChunksGiveWhatIsLeft) {
  const uint8_t data[] = {1, 2, 3};
  TBufferManager cursor(data, sizeof data);
  EXPECT_EQ(cursor.ReadChunk(2), (TBytes{1, 2}));
  EXPECT_EQ(cursor.ReadChunk(5), (TBytes{3}));
  EXPECT_TRUE(cursor.ReadChunk(1).empty());
  uint8_t out[4] = {};
  cursor.Seek(1);
  EXPECT_EQ(cursor.ReadInto(4, out), 2u);
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(cursor.ReadInto(1, out), 0u);
}

}  // namespace
}  // namespace setup

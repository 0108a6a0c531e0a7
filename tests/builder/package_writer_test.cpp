#include "builder/package_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "core/crc.h"
#include "core/pak.h"
#include "test_files.h"

namespace setup::builder {
namespace {

TEST(AutomaticLevel, CompressedDataGetsTheFastLevelOthersBySize) {
  const TBytes noise = testing::NoiseBytes(100000);
  EXPECT_EQ(AutomaticLevel(noise.data(), noise.size()), 1);
  const TBytes text = testing::TextBytes(100000);
  EXPECT_EQ(AutomaticLevel(text.data(), text.size()), 8);
  // Only the first 64 KiB are looked at: noise behind text is still text, and the size decides.
  TBytes large = testing::TextBytes(4 << 20);
  EXPECT_EQ(AutomaticLevel(large.data(), large.size()), 10);
  EXPECT_EQ(AutomaticLevel(large.data(), large.size() - 1), 8);
  // A small file cannot show 7.9 bits a byte (200 distinct bytes at most hold 7.64): never level 1.
  EXPECT_EQ(AutomaticLevel(noise.data(), 200), 8);
  EXPECT_EQ(AutomaticLevel(nullptr, 0), 8);
  // All 256 byte values equally often: exactly 8 bits a byte.
  TBytes flat(65536);
  for (size_t i = 0; i < flat.size(); ++i) flat[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(AutomaticLevel(flat.data(), flat.size()), 1);
  // Half the values only: 7 bits a byte, below the mark.
  for (size_t i = 0; i < flat.size(); ++i) flat[i] = static_cast<uint8_t>(i % 128);
  EXPECT_EQ(AutomaticLevel(flat.data(), flat.size()), 8);
}

TEST(ParseByteSize, NumbersWithBinarySuffixes) {
  uint64_t n = 0;
  EXPECT_TRUE(ParseByteSize("65536", n));
  EXPECT_EQ(n, 65536u);
  EXPECT_TRUE(ParseByteSize("64K", n));
  EXPECT_EQ(n, 65536u);
  EXPECT_TRUE(ParseByteSize("700m", n));
  EXPECT_EQ(n, 700ull << 20);
  EXPECT_TRUE(ParseByteSize("4G", n));
  EXPECT_EQ(n, 4ull << 30);
  for (const char* bad : {"", "0", "0K", "K", "-1", "1.5G", "1KB", "1T", "99999999999999999999", "9000000000G"}) {
    EXPECT_FALSE(ParseByteSize(bad, n)) << bad;
  }
}

TEST(DataFileNames, FollowTheSetupsName) {
  EXPECT_EQ(DataFileStem("out/MyGame_setup.exe"), "MyGame_setup");
  EXPECT_EQ(DataFilePath("out/MyGame_setup.exe", 12), "out/MyGame_setup-12.bin");
  EXPECT_EQ(DataFilePath("Game.v2.exe", 1), "Game.v2-1.bin");
}

// A patch's differences do not compress: they go in as they are, text-like or not, and read back.
TEST(WriteSetup, ItemsMarkedPlainAreStoredAsTheyAre) {
  const TBytes text = testing::TextBytes(50000);
  std::vector<TPackageItem> items(2);
  items[0] = {"plain.txt", 1, "", std::string(text.begin(), text.end())};
  items[0].StorePlain = true;
  items[1] = {"packed.txt", 1, "", std::string(text.begin(), text.end()) + "x"};
  TWriteOptions options;
  options.Output = testing::ScratchPath("plain.bin");
  options.HoldsDifferences = true;
  const TWriteResult result = WriteSetup(options, items);
  TPak pak(options.Output, pmRead);
  EXPECT_TRUE(pak.HoldsDifferences());
  const TPakEntry& plain = pak.Directory()[0];
  EXPECT_EQ(plain.PackedSize, 0u);
  EXPECT_EQ(plain.Size, text.size());
  EXPECT_EQ(plain.Crc, Crc32(text.data(), text.size()));
  EXPECT_EQ(pak.Extract(0), text);
  EXPECT_GT(pak.Directory()[1].PackedSize, 0u);
  EXPECT_EQ(result.StoredBytes, (std::vector<uint64_t>{text.size(), pak.Directory()[1].PackedSize}));
}

}  // namespace
}  // namespace setup::builder

// The old file fuzz_difference applies its inputs to, shared with make_fuzz_seeds, which makes
// the seed differences against it: 48 KiB of text-like runs and noise, so that copies, new
// bytes and the reference frame all have something to find.
#pragma once

#include <cstdint>
#include <vector>

namespace setup::fuzz {

inline std::vector<uint8_t> DifferenceOldFile() {
  std::vector<uint8_t> bytes(48 << 10);
  uint32_t x = 0x2545F491;
  for (size_t i = 0; i < bytes.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = (i / 4096) % 2 ? static_cast<uint8_t>(x) : static_cast<uint8_t>("old game data, level "[i % 21]);
  }
  return bytes;
}

// New files made from it: the seeds' differences turn the old file into each.
inline std::vector<std::vector<uint8_t>> DifferenceNewFiles() {
  const std::vector<uint8_t> old_file = DifferenceOldFile();
  std::vector<uint8_t> edited = old_file;
  for (size_t i = 0; i < 500; ++i) edited[20000 + i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> moved(old_file.begin() + 30000, old_file.end());
  moved.insert(moved.end(), old_file.begin(), old_file.begin() + 30000);
  return {edited, moved, {}, std::vector<uint8_t>(old_file.begin(), old_file.begin() + 100)};
}

}  // namespace setup::fuzz

// The gear table, the cut test and the chunk hash (content_chunks.h says how cuts fall).
#include "delta/content_chunks.h"

#include <array>

#include "core/byte_order.h"

namespace setup::delta::chunks {

namespace {

// splitmix64: the gear table's 256 constants, the same on every machine and in every build.
constexpr std::array<uint64_t, 256> MakeGear() {
  std::array<uint64_t, 256> gear{};
  uint64_t x = 0x5EED0FC047E475ull;
  for (uint64_t& g : gear) {
    x += 0x9E3779B97F4A7C15ull;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    g = z ^ (z >> 31);
  }
  return gear;
}
constexpr std::array<uint64_t, 256> kGear = MakeGear();

// The hash shifts one bit a byte, so its top bits hold the last 64 bytes. A cut needs the top
// kCutBits bits zero: one position in 4,096.
constexpr uint64_t kMask = ~uint64_t{0} << (64 - kCutBits);
constexpr size_t kGearReach = 64;
static_assert(kChunkLeast >= kGearReach);

inline uint64_t Rotl(uint64_t v, int s) { return (v << s) | (v >> (64 - s)); }

}  // namespace

size_t ChunkLength(const uint8_t* data, size_t n) {
  if (n <= kChunkLeast) return n;
  const size_t end = n < kChunkMost ? n : kChunkMost;
  uint64_t h = 0;
  size_t i = kChunkLeast - kGearReach;
  for (; i < kChunkLeast; ++i) h = (h << 1) + kGear[data[i]];
  for (; i < end; ++i) {
    h = (h << 1) + kGear[data[i]];
    if ((h & kMask) == 0) return i + 1;
  }
  return end;
}

uint64_t ChunkHash(const uint8_t* data, size_t n) {
  constexpr uint64_t kMulA = 0x87C37B91114253D5ull;
  constexpr uint64_t kMulB = 0x4CF5AD432745937Full;
  uint64_t h = 0x9E3779B97F4A7C15ull ^ (n * kMulB);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) h = Rotl(h ^ (LoadLE64(data + i) * kMulA), 31) * kMulB + 0x52DCE729;
  uint64_t tail = 0;
  for (size_t k = 0; i + k < n; ++k) tail |= static_cast<uint64_t>(data[i + k]) << (8 * k);
  h = Rotl(h ^ (tail * kMulA), 31) * kMulB;
  // The finishing mix of a well-known 64-bit hash: every input bit reaches every output bit.
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

}  // namespace setup::delta::chunks

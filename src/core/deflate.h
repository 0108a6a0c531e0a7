// Deflate streams in the zlib wrapper (RFC 1950), the one compressed form of the system: setup
// package entries, KZP payloads and directories, and VFS chunks all use it.
//
// The interface is two whole-buffer calls and a bound, so the codec behind them can change
// without touching the formats. A reader never allocates for an inflated size before it has
// checked the size against MostInflatedBytes of the bytes it holds: deflate cannot expand one
// input byte into more than kDeflateMaxRatio output bytes, so a larger claim is a lie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/buffer_manager.h"

namespace setup {

constexpr uint64_t kDeflateMaxRatio = 1032;  // most bytes one deflated byte can stand for

// The most bytes a stream of compressed bytes can inflate to, with room for the wrapper and
// the smallest blocks.
constexpr uint64_t MostInflatedBytes(uint64_t compressed) { return compressed * kDeflateMaxRatio + 1024; }

// Compression levels: 1 is the fastest, 12 the smallest output. The default makes streams no
// larger than zlib's level 9 on game data, in less time.
constexpr int kFastestDeflateLevel = 1;
constexpr int kSmallestDeflateLevel = 12;
constexpr int kDefaultDeflateLevel = 9;

// Deflates data into one zlib stream at level (clamped to the range above). Raises
// ESetupError when the codec cannot start.
TBytes Deflate(const uint8_t* data, size_t size, int level = kDefaultDeflateLevel);

// The fast whole-buffer inflation alone: true when the stream at data inflates to exactly
// expected bytes at out, which has room for expected + 1 (so a longer stream is seen). False
// says nothing of why: whoever needs the verdict and its words asks zlib's inflate.
bool FastInflateExactly(const uint8_t* data, size_t size, uint8_t* out, size_t expected, size_t* used = nullptr);

// Inflates the stream at data to exactly expected bytes into out. False, with out empty and a
// message naming the sizes, when expected passes MostInflatedBytes(size) (checked before out
// is allocated), or the stream is not valid, ends early or gives more. Bytes after the end of
// the stream are not read; *used, when given, receives how many input bytes the stream took.
bool InflateExactly(const uint8_t* data, size_t size, uint64_t expected, TBytes& out, std::string& error,
                    size_t* used = nullptr);

}  // namespace setup

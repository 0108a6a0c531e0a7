// Content-defined chunks: where the chunks method cuts a file, and the hash it knows a chunk by.
// Internal to src/delta (the encoder); the applier never cuts anything.
//
// A cut falls where a gear hash of the bytes before it has its top bits zero, at least
// kChunkLeast and at most kChunkMost bytes after the previous cut. The hash is rolled over the
// 64 bytes before each candidate position only, so whether a position is a cut depends on those
// bytes and on how far the previous cut lies, not on anything earlier: bytes inserted into a
// file or taken out of it move the cuts after them along with the content, and from the second
// or third cut on the two files are cut alike. Between the least size and the average the test
// is stricter than after it, which gathers the sizes around the average.
#pragma once

#include <cstddef>
#include <cstdint>

namespace setup::delta::chunks {

constexpr size_t kChunkLeast = 4 << 10;
constexpr size_t kChunkAverage = 16 << 10;
constexpr size_t kChunkMost = 64 << 10;

// The length of the chunk that starts at data, given the n bytes there (at least kChunkMost, or
// all that is left of the file): between 1 and kChunkMost; less than kChunkLeast only at the end.
size_t ChunkLength(const uint8_t* data, size_t n);

// A 64-bit hash of a chunk's bytes (the same on every machine). Equal hashes are only candidates:
// the encoder compares the bytes.
uint64_t ChunkHash(const uint8_t* data, size_t n);

}  // namespace setup::delta::chunks

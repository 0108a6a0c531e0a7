// Content-defined chunks: where the chunks method cuts a file, and the hash it knows a chunk by.
// Internal to src/delta (the encoder); the applier never cuts anything.
//
// A cut falls where a gear hash of the bytes before it has its top kCutBits bits zero, at least
// kChunkLeast and at most kChunkMost bytes after the previous cut. The hash is rolled over the
// 64 bytes before each candidate position only, so whether a position may be a cut depends on
// those bytes alone: bytes inserted into a file or taken out of it move the cuts after them along
// with the content, and from the first cut after the change that both files have in common (the
// next or the one after, mostly) the two files are cut alike. One test for the whole chunk, not a
// stricter one before an average size, keeps that catching-up short: a cut that depends on how
// far the previous one lies makes the two files disagree for longer after a change.
//
// The sizes: the smaller the chunks, the less an unmatched chunk around a change costs and the
// larger the old file's index (48 bytes a chunk). On archives of 10 and 30 MB with a few
// members changed, about 8 KiB on average gave differences 6 to 45 % smaller than about 20 KiB.
#pragma once

#include <cstddef>
#include <cstdint>

namespace setup::delta::chunks {

constexpr size_t kChunkLeast = 4 << 10;
constexpr int kCutBits = 12;
// Past the least size a cut falls on average every 2^kCutBits bytes.
constexpr size_t kChunkAverage = kChunkLeast + (size_t{1} << kCutBits);
constexpr size_t kChunkMost = 64 << 10;

// The length of the chunk that starts at data, given the n bytes there (at least kChunkMost, or
// all that is left of the file): between 1 and kChunkMost; less than kChunkLeast only at the end.
size_t ChunkLength(const uint8_t* data, size_t n);

// A 64-bit hash of a chunk's bytes (the same on every machine). Equal hashes are only candidates:
// the encoder compares the bytes.
uint64_t ChunkHash(const uint8_t* data, size_t n);

}  // namespace setup::delta::chunks

// What the encoder and the applier of differences share: the header's bytes, the zstd window of
// the reference method and the records of the chunks method's piece stream. Internal to
// src/delta; callers use difference.h.
//
// The chunks method's stream, once decompressed, is a sequence of records, each starting with
// a varint V (LEB128: seven bits a byte, low group first, at most ten bytes, no bits above 64):
//
//   V & 3 == 1   new bytes:  V >> 2 bytes follow in the stream (at least 1)
//   V & 3 == 2   a copy:     a second varint D follows; the copy takes V >> 2 bytes (at least 1)
//                            of the old file from position P + zigzag(D), where P is the end of
//                            the previous copy (0 before the first); zigzag(D) = (D >> 1) ^ -(D & 1)
//   V == 0       the end: nothing follows, the new file is complete
//
// Every other V (kind 0 with a length, kind 3) is refused.
#pragma once

#include <cstdint>

#include "delta/difference.h"

namespace setup::delta::format {

constexpr char kDifferenceMagic[4] = {'K', 'Z', 'P', 'D'};

// The header's bytes for a method and two identities.
void StoreDifferenceHeader(const TDifferenceHeader& header, uint8_t (&out)[kDifferenceHeaderSize]);
// Why the header is refused, or null when it is sound (size at least kDifferenceHeaderSize).
const char* HeaderFault(const uint8_t* data, size_t size);

// The reference method's zstd window: the smallest power of two that holds the old file (the
// reference prefix) and the new file together, so that every byte of the new file can reach
// back to the first byte of the old one. The applier accepts no larger window.
int ReferenceWindowLog(uint64_t old_size, uint64_t new_size);

// The chunks method's records.
enum TRecordKind : uint8_t {
  kRecordEnd = 0,
  kRecordNewBytes = 1,
  kRecordCopy = 2,
};
constexpr size_t kMostVarintBytes = 10;

inline uint64_t ZigZag(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }
inline int64_t UnZigZag(uint64_t v) { return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1); }

// Writes v as a varint at out (room for kMostVarintBytes); the count of bytes written.
inline size_t PutVarint(uint8_t* out, uint64_t v) {
  size_t n = 0;
  while (v >= 0x80) {
    out[n++] = static_cast<uint8_t>(v | 0x80);
    v >>= 7;
  }
  out[n++] = static_cast<uint8_t>(v);
  return n;
}

}  // namespace setup::delta::format

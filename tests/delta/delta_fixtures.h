// Old files, new files and differences in memory for the delta tests.
#pragma once

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "delta/difference.h"
#include "delta/difference_format.h"
#include "test_files.h"

namespace setup::testing {

using Bytes = std::vector<uint8_t>;

// The old file in memory; ReadAt can be made to fail from a position on.
class TMemoryOld : public delta::TOldFileReader {
 public:
  explicit TMemoryOld(Bytes bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t ReadAt(uint64_t position, void* buffer, size_t n) override {
    if (position >= bytes_.size() || position >= fail_from_) return 0;
    n = static_cast<size_t>(std::min<uint64_t>({n, bytes_.size() - position, fail_from_ - position}));
    std::memcpy(buffer, bytes_.data() + position, n);
    return n;
  }
  uint64_t fail_from_ = UINT64_MAX;

 private:
  Bytes bytes_;
};

// The new file (or a difference) in memory; Write can be made to refuse from a count on.
class TMemoryWriter : public delta::TNewFileWriter {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    if (bytes.size() + size > refuse_past) return false;
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  Bytes bytes;
  uint64_t refuse_past = UINT64_MAX;
};

inline TSha256Digest DigestOf(const Bytes& bytes) {
  TSha256Digest digest{};
  auto sha = NewSha256();
  sha->Update(bytes.data(), bytes.size());
  sha->Final(digest);
  return digest;
}

inline delta::TFileIdentity IdentityOf(const Bytes& bytes) { return {bytes.size(), DigestOf(bytes)}; }

// Encodes old into new through scratch files with the given method; fails the test on error.
inline Bytes Encode(const Bytes& old_bytes, const Bytes& new_bytes, delta::TDifferenceMethod method) {
  static int serial = 0;
  const std::string old_path = ScratchPath("old-" + std::to_string(++serial));
  const std::string new_path = ScratchPath("new-" + std::to_string(serial));
  WriteFile(old_path, old_bytes);
  WriteFile(new_path, new_bytes);
  TMemoryWriter out;
  const delta::TEncodeResult result = delta::EncodeDifference(old_path, new_path, out, method);
  std::filesystem::remove(old_path);
  std::filesystem::remove(new_path);
  if (!result.Ok || result.Size != out.bytes.size()) return {};
  return out.bytes;
}

struct TApplied {
  delta::TApplyResult Result;
  Bytes Output;
};

// Applies a difference fed in pieces of the given size.
inline TApplied Apply(const Bytes& difference, const Bytes& old_bytes, size_t piece = 1 << 20) {
  TMemoryOld old_file(old_bytes);
  TMemoryWriter writer;
  delta::TDifferenceApplier applier(old_file, writer);
  for (size_t at = 0; at < difference.size(); at += piece) {
    if (!applier.Feed(difference.data() + at, std::min(piece, difference.size() - at))) break;
  }
  return {applier.Finish(), writer.bytes};
}

// A difference's header for the given method and identities.
inline Bytes HeaderBytes(delta::TDifferenceMethod method, const delta::TFileIdentity& old_identity,
                         const delta::TFileIdentity& new_identity) {
  uint8_t raw[delta::kDifferenceHeaderSize];
  delta::format::StoreDifferenceHeader({method, old_identity, new_identity}, raw);
  return Bytes(raw, raw + sizeof raw);
}

// A chunks-method difference from hand-made records: the header, then the records as one
// zstd frame.
inline Bytes ChunksDifference(const delta::TFileIdentity& old_identity, const delta::TFileIdentity& new_identity,
                              const Bytes& records) {
  Bytes out = HeaderBytes(delta::TDifferenceMethod::Chunks, old_identity, new_identity);
  Bytes frame(ZSTD_compressBound(records.size()));
  frame.resize(ZSTD_compress(frame.data(), frame.size(), records.data(), records.size(), 3));
  out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

// Record builders for hand-made streams.
inline void PutVarint(Bytes& out, uint64_t v) {
  uint8_t raw[delta::format::kMostVarintBytes];
  out.insert(out.end(), raw, raw + delta::format::PutVarint(raw, v));
}
inline void PutNewBytes(Bytes& out, const Bytes& bytes) {
  PutVarint(out, bytes.size() << 2 | delta::format::kRecordNewBytes);
  out.insert(out.end(), bytes.begin(), bytes.end());
}
inline void PutCopy(Bytes& out, uint64_t length, int64_t step) {
  PutVarint(out, length << 2 | delta::format::kRecordCopy);
  PutVarint(out, delta::format::ZigZag(step));
}
inline void PutEnd(Bytes& out) { PutVarint(out, delta::format::kRecordEnd); }

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline Bytes Slice(const Bytes& bytes, size_t from, size_t length) {
  return Bytes(bytes.begin() + from, bytes.begin() + from + length);
}

}  // namespace setup::testing

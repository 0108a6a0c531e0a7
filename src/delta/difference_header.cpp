// The header every difference starts with, and the identity of a file (its size and SHA-256).
// Both the builder and the setup need them; neither needs zstd.
#include <algorithm>
#include <cstring>
#include <memory>

#include "core/byte_order.h"
#include "core/file_stream.h"
#include "delta/difference_format.h"

namespace setup::delta {

namespace {

// Header layout: offsets of the fields (difference.h draws it).
constexpr size_t kMagicAt = 0;
constexpr size_t kVersionAt = 4;
constexpr size_t kMethodAt = 6;
constexpr size_t kZeroAt = 7;
constexpr size_t kOldSizeAt = 8;
constexpr size_t kOldShaAt = 16;
constexpr size_t kNewSizeAt = 48;
constexpr size_t kNewShaAt = 56;

// Pieces IdentifyFile reads at a time.
constexpr size_t kIdentifyPiece = 1 << 20;

}  // namespace

namespace format {

void StoreDifferenceHeader(const TDifferenceHeader& header, uint8_t (&out)[kDifferenceHeaderSize]) {
  std::memset(out, 0, sizeof out);
  std::memcpy(out + kMagicAt, kDifferenceMagic, sizeof kDifferenceMagic);
  StoreLE16(out + kVersionAt, kDifferenceVersion);
  out[kMethodAt] = static_cast<uint8_t>(header.Method);
  StoreLE64(out + kOldSizeAt, header.Old.Size);
  std::memcpy(out + kOldShaAt, header.Old.Sha256.data(), kSha256Size);
  StoreLE64(out + kNewSizeAt, header.New.Size);
  std::memcpy(out + kNewShaAt, header.New.Sha256.data(), kSha256Size);
}

const char* HeaderFault(const uint8_t* data, size_t size) {
  if (size < kDifferenceHeaderSize) return "the header is cut short";
  if (std::memcmp(data + kMagicAt, kDifferenceMagic, sizeof kDifferenceMagic) != 0)
    return "it is not a difference (no KZPD magic)";
  if (LoadLE16(data + kVersionAt) != kDifferenceVersion) return "its version is not 1";
  const uint8_t method = data[kMethodAt];
  if (method != static_cast<uint8_t>(TDifferenceMethod::Reference) &&
      method != static_cast<uint8_t>(TDifferenceMethod::Chunks)) {
    return "its method is unknown";
  }
  if (data[kZeroAt] != 0) return "a reserved header byte is not zero";
  return nullptr;
}

int ReferenceWindowLog(uint64_t old_size, uint64_t new_size) {
  const uint64_t total = old_size + new_size;  // both at most kReferenceMostSize where it matters
  int log = 10;                                // zstd's smallest window
  while (log < 62 && (uint64_t{1} << log) < total) ++log;
  return log;
}

}  // namespace format

bool ReadDifferenceHeader(const uint8_t* data, size_t size, TDifferenceHeader& header) {
  if (format::HeaderFault(data, size)) return false;
  header.Method = static_cast<TDifferenceMethod>(data[kMethodAt]);
  header.Old.Size = LoadLE64(data + kOldSizeAt);
  std::memcpy(header.Old.Sha256.data(), data + kOldShaAt, kSha256Size);
  header.New.Size = LoadLE64(data + kNewSizeAt);
  std::memcpy(header.New.Sha256.data(), data + kNewShaAt, kSha256Size);
  return true;
}

bool IdentifyFile(const std::string& path, TFileIdentity& identity, const std::function<void(uint64_t)>& progress) {
  if (!FileExists(path)) return false;  // a folder opens for reading on some systems
  auto file = TFileStream::Open(path, TFileMode::Read);
  std::unique_ptr<TSha256> digest = NewSha256();
  if (!file || !digest) return false;
  std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kIdentifyPiece]);
  if (!piece) return false;
  const uint64_t size = file->Size();
  uint64_t done = 0;
  while (done < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kIdentifyPiece, size - done));
    if (file->Read(piece.get(), want) != want || !digest->Update(piece.get(), want)) return false;
    done += want;
    if (progress) progress(done);
  }
  // A file that grew while it was read is not the file whose size was taken.
  uint8_t probe;
  if (file->Read(&probe, 1) != 0) return false;
  TFileIdentity result;
  result.Size = size;
  if (!digest->Final(result.Sha256)) return false;
  identity = result;
  return true;
}

}  // namespace setup::delta

// Setup packages laid out by hand, for the reader's tests and the fuzz seeds.
//
// The package writer only makes what a sound build makes; these helpers write any directory,
// data-file table and trailer of the second version, sound or not, straight from the layout in
// core/pak.h, so the reader is checked against the layout rather than against its own writer.
// Files can be written at any position, leaving holes: a file of several gigabytes whose bytes
// are mostly zeros costs no disk space and no time to make.
#pragma once

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/sha256.h"

namespace setup::testing {

// One directory record of the second version, every field as it will be written.
struct TRawEntry {
  std::string Name;
  uint32_t Crc = 0;
  uint64_t Offset = 0;
  uint64_t PackedSize = 0;
  uint64_t Size = 0;
  uint16_t Group = 0;
  uint16_t DataFile = 0;
};

struct TRawDataFile {
  uint64_t Size = 0;
  TSha256Digest Sha256{};
};

// Everything a second-version directory, table and trailer say. Version, Flags, the zero
// field and TrailerSize are there to be set wrong.
struct TRawPackage {
  uint64_t DataStart = 0;
  std::vector<TRawEntry> Entries;
  std::string Stem;
  std::vector<TRawDataFile> DataFiles;
  uint16_t Version = 2;
  uint16_t Zero = 0;
  uint32_t Flags = 0;
  uint32_t TrailerSize = 48;
};

// Where each field lies in the 48-byte trailer of the second version.
namespace trailer2 {
constexpr size_t kDataStart = 0;
constexpr size_t kDirOffset = 8;
constexpr size_t kCount = 16;
constexpr size_t kDataFileCount = 20;
constexpr size_t kTableOffset = 24;
constexpr size_t kMagic = 32;
constexpr size_t kVersion = 36;
constexpr size_t kZero = 38;
constexpr size_t kFlags = 40;
constexpr size_t kTrailerSize = 44;
}  // namespace trailer2

// The records, the data-file table and the trailer of p, for a directory that starts at
// dir_offset in the package file.
inline std::vector<uint8_t> Version2Tail(const TRawPackage& p, uint64_t dir_offset) {
  std::string out;
  for (const TRawEntry& e : p.Entries) {
    AppendLE16(out, static_cast<uint16_t>(e.Name.size()));
    out += e.Name;
    AppendLE32(out, e.Crc);
    AppendLE64(out, e.Offset);
    AppendLE64(out, e.PackedSize);
    AppendLE64(out, e.Size);
    AppendLE16(out, e.Group);
    AppendLE16(out, e.DataFile);
  }
  const uint64_t table_offset = dir_offset + out.size();
  AppendLE16(out, static_cast<uint16_t>(p.Stem.size()));
  out += p.Stem;
  for (const TRawDataFile& d : p.DataFiles) {
    AppendLE64(out, d.Size);
    out.append(reinterpret_cast<const char*>(d.Sha256.data()), d.Sha256.size());
  }
  AppendLE64(out, p.DataStart);
  AppendLE64(out, dir_offset);
  AppendLE32(out, static_cast<uint32_t>(p.Entries.size()));
  AppendLE32(out, static_cast<uint32_t>(p.DataFiles.size()));
  AppendLE64(out, table_offset);
  out += "KZPF";
  AppendLE16(out, p.Version);
  AppendLE16(out, p.Zero);
  AppendLE32(out, p.Flags);
  AppendLE32(out, p.TrailerSize);
  return std::vector<uint8_t>(out.begin(), out.end());
}

// The records and trailer of a first-version directory of entries (their DataFile unused) that
// starts at dir_offset; DataStart 0.
inline std::vector<uint8_t> Version1Tail(const std::vector<TRawEntry>& entries, uint32_t dir_offset) {
  std::string out;
  for (const TRawEntry& e : entries) {
    AppendLE16(out, static_cast<uint16_t>(e.Name.size()));
    out += e.Name;
    AppendLE32(out, e.Crc);
    AppendLE32(out, static_cast<uint32_t>(e.Offset));
    AppendLE32(out, static_cast<uint32_t>(e.PackedSize));
    AppendLE32(out, static_cast<uint32_t>(e.Size));
    AppendLE16(out, e.Group);
  }
  out += "KZPF";
  AppendLE16(out, 1);
  AppendLE16(out, static_cast<uint16_t>(entries.size()));
  AppendLE32(out, 0);
  AppendLE32(out, dir_offset);
  return std::vector<uint8_t>(out.begin(), out.end());
}

// The stored bytes followed by the directory of p: a whole package file, its entries' Offsets
// counted from the file's start.
inline std::vector<uint8_t> Version2Package(const std::vector<uint8_t>& stored, const TRawPackage& p) {
  std::vector<uint8_t> out = stored;
  const std::vector<uint8_t> tail = Version2Tail(p, stored.size());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// Writes bytes at position in the file, creating it when it does not exist and keeping what
// lies elsewhere; a position past the end leaves a hole of zeros. False on any failure.
inline bool WriteAt(const std::string& path, uint64_t position, const std::vector<uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(position + done));
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && done == bytes.size();
}

// Sets the file's length, creating it when needed: growing it adds a hole of zeros.
inline bool ResizeSparse(const std::string& path, uint64_t length) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  if (fd < 0) return false;
  const bool ok = ::ftruncate(fd, static_cast<off_t>(length)) == 0;
  return ::close(fd) == 0 && ok;
}

// SHA-256 straight from libcrypto's one-shot call, independent of the package's digest code.
inline TSha256Digest Sha256Of(const std::vector<uint8_t>& bytes) {
  TSha256Digest digest{};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

}  // namespace setup::testing

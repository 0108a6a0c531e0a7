// VFS archives for the tests: new ones made with the project's writer, and hand-made byte
// images for the hostile cases the writer never produces.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archives/vfs_check.h"
#include "archives/vfs_file.h"
#include "archives/vfs_records.h"
#include "core/byte_order.h"
#include "test_files.h"

namespace setup::testing {

// A fixed date, so that records written by the tests compare byte for byte.
constexpr uint32_t kTestDate = 0x5A210000;

inline std::string NewArchive(const std::string& name, uint32_t block_size = 512, uint32_t blocks = 256,
                              uint32_t root_slots = 8) {
  const std::string path = ScratchPath(name);
  TVFSGeometry g;
  g.BlockSize = block_size;
  g.BlockCount = blocks;
  g.RootSlots = root_slots;
  g.Identifier = 0x53465621;
  EXPECT_TRUE(TVFSFile::Create(path, g)) << path;
  return path;
}

// Opens in hash mode with the fixed date; fails the test when the archive does not open.
inline void OpenArchive(TVFSFile& file, const std::string& path, bool hash_mode = true) {
  ASSERT_TRUE(file.Open(path, hash_mode)) << file.ErrorText();
  file.Today = [] { return kTestDate; };
}

// The problems CheckVfsArchive finds, one per line; empty for a sound archive.
inline std::string Problems(const std::string& path) {
  std::string text;
  for (const std::string& p : CheckVfsArchive(path).Problems) text += p + "\n";
  return text;
}

inline std::vector<uint8_t> Md5(const uint8_t* data, size_t size) {
  std::vector<uint8_t> digest(16);
  unsigned int length = 0;
  EVP_Digest(data, size, digest.data(), &length, EVP_md5(), nullptr);
  return digest;
}

inline uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) { return LoadLE32(&bytes[at]); }

// An archive image with all blocks free and a text of 256 bytes, to be damaged by hand.
struct TRawArchive {
  uint32_t B;
  uint32_t N;
  uint32_t R;
  std::vector<uint8_t> Bytes;

  TRawArchive(uint32_t block_size, uint32_t blocks, uint32_t root_slots) : B(block_size), N(blocks), R(root_slots) {
    Bytes.assign(DataAt() + static_cast<size_t>(B) * N, 0);
    StoreLE32(&Bytes[4], B);
    StoreLE32(&Bytes[8], N);
    StoreLE32(&Bytes[12], R);
    StoreLE32(&Bytes[44], kVfsStandardTextLength);
  }
  static size_t LinksAt() { return 52 + kVfsStandardTextLength; }
  size_t RootAt(uint32_t slot) const { return LinksAt() + 8 * N + kVfsEntryRecordSize * slot; }
  size_t DataAt() const { return LinksAt() + 8 * N + kVfsEntryRecordSize * R; }
  size_t BlockAt(uint32_t k) const { return DataAt() + static_cast<size_t>(k - 1) * B; }

  void Link(uint32_t k, int32_t next) {
    StoreLE32(&Bytes[LinksAt() + 8 * (k - 1)], next == 0 ? 0 : 1);
    StoreLE32(&Bytes[LinksAt() + 8 * (k - 1) + 4], static_cast<uint32_t>(next));
  }
  void Root(uint32_t slot, const TVFSEntry& e) { EncodeEntryRecord(e, &Bytes[RootAt(slot)]); }
  void Record(uint32_t k, size_t index, const TVFSEntry& e) { EncodeEntryRecord(e, &Bytes[BlockAt(k) + index * kVfsEntryRecordSize]); }
  std::string Write(const std::string& name) const {
    const std::string path = ScratchPath(name);
    WriteFile(path, Bytes);
    return path;
  }
};

inline TVFSEntry Entry(const std::string& name, uint32_t flags, uint32_t first, uint32_t stored, uint32_t content = 0) {
  TVFSEntry e;
  e.Name = name;
  e.Flags = flags;
  e.FirstBlock = first;
  e.StoredSize = stored;
  e.ContentSize = content;
  return e;
}

}  // namespace setup::testing

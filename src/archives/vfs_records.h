// The VFS archive's layout and its fixed-size records: the header, the block links and the
// 88-byte entry record that the root table and every directory's table are made of.
//
// Layout (all integers little-endian; T is the text length, N the block count, R the number
// of root slots, B the block size):
//
//   0  identifier        4  B               8  N              12  R
//  16  three values carried over unchanged (16, 20, 24)
//  28  MD5 of bytes 44 to the end of the file, as of the last save (16 bytes)
//  44  T (at least 256)  48  T header bytes (256 text bytes, then T - 256 further bytes)
//  48 + T        used block count
//  52 + T        block links, N x 8:   in-use u32 (1 or 0), next i32 (block number counted
//                                      from 1; -1 ends a chain; 0 marks a free block)
//  52 + T + 8N   root table, R x 88:   entry records; an empty name marks a free slot
//  52 + T + 8N + 88R   data area, N x B: block k at (k - 1) x B
//
//   entry record:  0 name (65 bytes, zero-padded; a 65-character name has no zero)
//                 65 zero (3)   68 flags (1 file, 2 directory, 8 compressed)
//                 72 DOS date and time (time 00:00:00)   76 first block
//                 80 stored size (bytes in the chain)     84 content size when compressed, else 0
//
// Every entry owns one chain of at least one block, the last block's tail zero. A directory's
// chain holds its children's records back to back. A compressed file's chain is a run of
// chunks: u32 length L and L bytes of a level-9 zlib stream of the next at most 50,000
// content bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/buffer_manager.h"

namespace setup {

constexpr uint32_t kVfsFixedHeaderSize = 48;     // up to and with the text length
constexpr uint32_t kVfsDigestOffset = 28;
constexpr uint32_t kVfsDigestedFrom = 44;        // the digest covers bytes 44 to the end
constexpr uint32_t kVfsStandardTextLength = 256;
constexpr uint32_t kVfsLinkSize = 8;
constexpr uint32_t kVfsEntryRecordSize = 88;
constexpr uint32_t kVfsNameLimit = 65;
constexpr uint32_t kVfsChunkSize = 50000;        // content bytes per compressed chunk
constexpr int32_t kVfsChainEnd = -1;

enum : uint32_t { kVfsFlagFile = 1, kVfsFlagDirectory = 2, kVfsFlagCompressed = 8 };

struct TVFSEntry {
  std::string Name;  // at most 65 characters; empty marks a free root slot
  uint32_t Flags = 0;
  uint32_t Date = 0;
  uint32_t FirstBlock = 0;
  uint32_t StoredSize = 0;
  uint32_t ContentSize = 0;

  bool IsFile() const { return (Flags & kVfsFlagFile) != 0; }
  bool IsDirectory() const { return (Flags & kVfsFlagDirectory) != 0; }
  bool IsCompressed() const { return (Flags & kVfsFlagCompressed) != 0; }
  // The length of the content: ContentSize when compressed, else StoredSize.
  uint32_t Length() const { return IsCompressed() ? ContentSize : StoredSize; }
};

struct TVFSLink {
  uint32_t InUse = 0;
  int32_t Next = 0;
  bool Free() const { return Next == 0; }
};

struct TVFSHeader {
  uint32_t Identifier = 0;
  uint32_t BlockSize = 0;
  uint32_t BlockCount = 0;
  uint32_t RootCount = 0;
  uint32_t Carried[3] = {0, 0, 0};
  uint8_t Digest[16] = {};
  uint32_t TextLength = kVfsStandardTextLength;
  TBytes Text;     // the first 256 header bytes after the length
  TBytes Further;  // the T - 256 bytes after them
  uint32_t UsedBlocks = 0;  // as read; a save writes the count of blocks in use
};

// The 88-byte record of an entry, and back; the name is cut at its first zero byte. Decoding
// raises ESetupError when the cursor holds fewer than 88 bytes.
void EncodeEntryRecord(const TVFSEntry& entry, uint8_t record[kVfsEntryRecordSize]);
TVFSEntry DecodeEntryRecord(TBufferManager& cursor);

}  // namespace setup

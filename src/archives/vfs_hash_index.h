// The ".ht" index beside a VFS archive: the archive's files sorted by the hash of their paths.
//
//   u32 count C, then C x 21 bytes: hash, flags, stored size, content size, first block
//   (u32 each) and a valid byte (0 when another file has the same hash); sorted by hash,
//   unsigned. The hash is sdbm over the file's path with its last "\" turned into "/".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archives/archive_file.h"
#include "core/buffer_manager.h"

namespace setup {

constexpr uint32_t kVfsHashRecordSize = 21;

struct TVFSHashRecord {
  uint32_t Hash = 0;
  uint32_t Flags = 0;
  uint32_t StoredSize = 0;
  uint32_t ContentSize = 0;
  uint32_t FirstBlock = 0;
  uint8_t Valid = 1;
};

// h = h * 65599 + byte over the key, modulo 2^32.
uint32_t SdbmHash(std::string_view key);
// The path with its last "\" turned into "/"; a name without "\" is its own key.
std::string HashKey(std::string_view full_path);
// The archive path with its extension replaced by ".ht", or ".ht" appended when it has none.
std::string HashFilePath(std::string_view archive_path);

class TVFSHashFile {
 public:
  // False, with nothing loaded, when the file is missing or its count does not match its size.
  bool Load(const std::string& path, TArchiveFileSystem& files = NativeArchiveFileSystem());
  bool LoadFromBytes(const uint8_t* data, size_t size);
  static TBytes Serialize(const std::vector<TVFSHashRecord>& records);

  std::vector<TVFSHashRecord> Records;
  bool Loaded = false;
};

}  // namespace setup

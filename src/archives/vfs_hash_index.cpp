// The ".ht" index beside a VFS archive: its records, their hash, and the file's name.
//
// The game looks files up by the sdbm hash of their path, so the records are sorted by hash;
// a hash that two files share keeps one record marked not valid, and the game falls back to
// the archive's folders for it.
#include "archives/vfs_hash_index.h"

#include <algorithm>

#include "core/byte_order.h"
#include "core/error.h"

namespace setup {

namespace {

// Named limit of the reader: the index of an archive with millions of files stays far below.
constexpr uint64_t kVfsHashFileLimit = 256u << 20;

}  // namespace

uint32_t SdbmHash(std::string_view key) {
  uint32_t h = 0;
  for (unsigned char c : key) h = h * 65599u + c;
  return h;
}

std::string HashKey(std::string_view full_path) {
  std::string key(full_path);
  const size_t last = key.rfind('\\');
  if (last != std::string::npos) key[last] = '/';
  return key;
}

std::string HashFilePath(std::string_view archive_path) {
  const size_t name_start = archive_path.find_last_of("\\/:");
  const size_t dot = archive_path.rfind('.');
  const bool has_extension = dot != std::string_view::npos && (name_start == std::string_view::npos || dot > name_start);
  return std::string(archive_path.substr(0, has_extension ? dot : archive_path.size())) + ".ht";
}

bool TVFSHashFile::LoadFromBytes(const uint8_t* data, size_t size) {
  Records.clear();
  Loaded = false;
  if (size < 4) return false;
  TBufferManager cursor(data, size);
  const uint32_t count = static_cast<uint32_t>(cursor.ReadInt32());
  if (static_cast<uint64_t>(count) * kVfsHashRecordSize > cursor.Remaining()) return false;
  Records.resize(count);
  for (TVFSHashRecord& r : Records) {
    r.Hash = static_cast<uint32_t>(cursor.ReadInt32());
    r.Flags = static_cast<uint32_t>(cursor.ReadInt32());
    r.StoredSize = static_cast<uint32_t>(cursor.ReadInt32());
    r.ContentSize = static_cast<uint32_t>(cursor.ReadInt32());
    r.FirstBlock = static_cast<uint32_t>(cursor.ReadInt32());
    r.Valid = cursor.ReadUInt8();
  }
  Loaded = true;
  return true;
}

bool TVFSHashFile::Load(const std::string& path, TArchiveFileSystem& files) {
  Records.clear();
  Loaded = false;
  auto file = files.OpenForReading(path);
  if (!file) return false;
  const uint64_t size = file->Size();
  if (size > kVfsHashFileLimit) return false;
  TBytes bytes(static_cast<size_t>(size));
  if (!bytes.empty() && file->ReadAt(0, bytes.data(), bytes.size()) != bytes.size()) return false;
  return LoadFromBytes(bytes.data(), bytes.size());
}

TBytes TVFSHashFile::Serialize(const std::vector<TVFSHashRecord>& records) {
  TBytes out(4 + records.size() * kVfsHashRecordSize);
  StoreLE32(&out[0], static_cast<uint32_t>(records.size()));
  uint8_t* p = &out[4];
  for (const TVFSHashRecord& r : records) {
    StoreLE32(p, r.Hash);
    StoreLE32(p + 4, r.Flags);
    StoreLE32(p + 8, r.StoredSize);
    StoreLE32(p + 12, r.ContentSize);
    StoreLE32(p + 16, r.FirstBlock);
    p[20] = r.Valid;
    p += kVfsHashRecordSize;
  }
  return out;
}

}  // namespace setup

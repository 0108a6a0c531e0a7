// The VFS entry record in its 88 bytes.
#include "archives/vfs_records.h"

#include <algorithm>
#include <cstring>

#include "core/byte_order.h"
#include "core/error.h"

namespace setup {

void EncodeEntryRecord(const TVFSEntry& entry, uint8_t record[kVfsEntryRecordSize]) {
  std::memset(record, 0, kVfsEntryRecordSize);
  std::memcpy(record, entry.Name.data(), std::min<size_t>(entry.Name.size(), kVfsNameLimit));
  StoreLE32(record + 68, entry.Flags);
  StoreLE32(record + 72, entry.Date);
  StoreLE32(record + 76, entry.FirstBlock);
  StoreLE32(record + 80, entry.StoredSize);
  StoreLE32(record + 84, entry.ContentSize);
}

TVFSEntry DecodeEntryRecord(TBufferManager& cursor) {
  char name[kVfsNameLimit + 3];
  if (cursor.ReadInto(sizeof name, name) != sizeof name) throw ESetupError("VFS entry record cut short");
  TVFSEntry entry;
  entry.Name.assign(name, strnlen(name, kVfsNameLimit));
  entry.Flags = static_cast<uint32_t>(cursor.ReadInt32());
  entry.Date = static_cast<uint32_t>(cursor.ReadInt32());
  entry.FirstBlock = static_cast<uint32_t>(cursor.ReadInt32());
  entry.StoredSize = static_cast<uint32_t>(cursor.ReadInt32());
  entry.ContentSize = static_cast<uint32_t>(cursor.ReadInt32());
  return entry;
}

}  // namespace setup

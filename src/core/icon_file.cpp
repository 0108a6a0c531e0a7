// Finding the first image of an icon file from its head (layout in icon_file.h).
#include "core/icon_file.h"

#include "core/byte_order.h"

namespace setup {

namespace {

// One entry of the icon directory.
constexpr size_t kIconEntryBytes = 16;

}  // namespace

bool FindFirstIconImage(const uint8_t* head, size_t head_size, uint64_t file_size, TIconImagePlace& place) {
  if (head_size < kIconHeadBytes || file_size < kIconHeadBytes) return false;
  const uint16_t reserved = LoadLE16(head + 0);
  const uint16_t type = LoadLE16(head + 2);
  const uint16_t count = LoadLE16(head + 4);
  if (reserved != 0 || type != 1 || count == 0) return false;
  const uint32_t size = LoadLE32(head + 14);
  const uint32_t offset = LoadLE32(head + 18);
  // The images follow the whole directory and end inside the file.
  const uint64_t directory_end = 6 + uint64_t{count} * kIconEntryBytes;
  if (size == 0 || size > kMaxIconImageBytes) return false;
  if (directory_end > file_size || offset < directory_end) return false;
  if (uint64_t{offset} + size > file_size) return false;
  place.Offset = offset;
  place.Size = size;
  return true;
}

}  // namespace setup

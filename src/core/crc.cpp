#include "core/crc.h"

#include <zlib.h>

namespace setup {

uint32_t Crc32(const void* data, size_t size, uint32_t crc) {
  const Bytef* p = static_cast<const Bytef*>(data);
  uLong value = crc;
  // zlib takes 32-bit lengths; feed larger buffers in slices.
  while (size > 0) {
    uInt n = size > 0x40000000 ? 0x40000000u : static_cast<uInt>(size);
    value = crc32(value, p, n);
    p += n;
    size -= n;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace setup

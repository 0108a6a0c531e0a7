// libdeflate's CRC-32 is zlib's, computed with the processor's carry-less multiply where there
// is one: about three times zlib's speed on the packages' stored bytes.
#include "core/crc.h"

#include <libdeflate.h>

namespace setup {

uint32_t Crc32(const void* data, size_t size, uint32_t crc) { return libdeflate_crc32(crc, data, size); }

}  // namespace setup

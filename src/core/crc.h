// CRC-32 (reflected polynomial 0xEDB88320, initial and final complement): the value zlib's
// crc32 gives. The setup package and the KZP archive both use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace setup {

uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);

}  // namespace setup

// Small executables for the signature tests: the headers a signed setup's stub carries, and
// signing as the signing tools lay it out (zero padding, then the certificate table named by
// the security directory).
#pragma once

#include <cstdint>
#include <vector>

#include "core/byte_order.h"

namespace setup::testing {

constexpr uint32_t kFixturePeHeader = 0x80;                         // e_lfanew
constexpr uint32_t kFixtureOptionalHeader = kFixturePeHeader + 24;  // the optional header

// The file position of the security directory of a FixtureExecutable.
inline uint32_t FixtureSecurityDirectory(bool pe32_plus) { return kFixtureOptionalHeader + (pe32_plus ? 144 : 128); }

// An executable's headers and a little body (0x400 bytes): DOS header, PE header, an optional
// header with 16 data directories, a non-zero checksum and no signature.
inline std::vector<uint8_t> FixtureExecutable(bool pe32_plus = false) {
  std::vector<uint8_t> exe(0x400, 0);
  exe[0] = 'M';
  exe[1] = 'Z';
  StoreLE32(exe.data() + 0x3C, kFixturePeHeader);
  exe[kFixturePeHeader] = 'P';
  exe[kFixturePeHeader + 1] = 'E';
  StoreLE16(exe.data() + kFixturePeHeader + 4, pe32_plus ? 0x8664 : 0x14C);
  StoreLE16(exe.data() + kFixturePeHeader + 20, pe32_plus ? 240 : 224);  // SizeOfOptionalHeader
  StoreLE16(exe.data() + kFixtureOptionalHeader, pe32_plus ? 0x20B : 0x10B);
  StoreLE32(exe.data() + kFixtureOptionalHeader + 64, 0x12345);  // CheckSum
  StoreLE32(exe.data() + kFixtureOptionalHeader + (pe32_plus ? 108 : 92), 16);
  for (size_t i = 0x200; i < exe.size(); ++i) exe[i] = static_cast<uint8_t>(i * 31);
  return exe;
}

// file followed by padding zero bytes and a certificate table of table_size bytes, which the
// security directory names.
inline std::vector<uint8_t> FixtureSigned(std::vector<uint8_t> file, size_t padding, uint32_t table_size = 64,
                                          bool pe32_plus = false) {
  file.insert(file.end(), padding, 0);
  const uint32_t table = static_cast<uint32_t>(file.size());
  std::vector<uint8_t> certificate(table_size, 0xA5);
  if (table_size >= 8) {
    StoreLE32(certificate.data(), table_size);
    StoreLE16(certificate.data() + 4, 0x200);
    StoreLE16(certificate.data() + 6, 2);
  }
  file.insert(file.end(), certificate.begin(), certificate.end());
  StoreLE32(file.data() + FixtureSecurityDirectory(pe32_plus), table);
  StoreLE32(file.data() + FixtureSecurityDirectory(pe32_plus) + 4, table_size);
  return file;
}

}  // namespace setup::testing

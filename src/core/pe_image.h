// The few fields of a Windows executable's headers that a signed setup needs: where its
// certificate table (the code signature) lies, and where the headers keep that table's
// directory entry and the image checksum, so that a copy of the executable can drop the
// signature and stay a valid unsigned program.
//
// Layout (all integers little-endian, positions relative to the start of each header):
//
//   DOS header:      0 "MZ"   0x3C e_lfanew u32 (file position of the PE header)
//   PE header:       0 "PE\0\0"   4 COFF header (20 bytes; at 16 SizeOfOptionalHeader u16)
//                    24 optional header
//   optional header: 0 Magic u16 (0x10B PE32, 0x20B PE32+)   64 CheckSum u32
//                    NumberOfRvaAndSizes u32 at 92 (PE32) / 108 (PE32+), the data directories
//                    (8 bytes each: u32, u32) from 96 / 112
//   data directory 4, the security directory: the certificate table's file position and size
//
// The certificate table is the only data directory given as a file position, not a memory
// address, and signing tools put it at the very end of the file, after any bytes appended to
// the program. Nothing read here is trusted: a header that does not fit, a table inside the
// headers or one that does not end exactly at the end of the file is no table at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace setup {

class TFileStream;

// The headers are looked for in this many bytes at the start of the file; an executable whose
// headers lie further in counts as unsigned.
constexpr size_t kPeHeadLimit = 4096;
// Every certificate table begins with one entry header: length u32, revision u16, type u16.
constexpr uint32_t kPeCertificateHeaderSize = 8;

struct TPeSignatureFields {
  uint32_t ChecksumPosition = 0;   // file position of the optional header's CheckSum
  uint32_t DirectoryPosition = 0;  // file position of the security directory (position, size)
  uint32_t HeadersEnd = 0;         // first file position past the optional header
  uint32_t TablePosition = 0;      // the certificate table as the directory gives it, unchecked
  uint32_t TableSize = 0;
};

// The fields from the first size bytes of a file; nullopt when they hold no PE header whose
// optional header has a security directory.
std::optional<TPeSignatureFields> ReadPeSignatureFields(const uint8_t* head, size_t size);

// Where the certificate table of a file of file_size bytes begins, when the directory names a
// table of at least one entry header that lies past the headers and ends exactly at file_size;
// nullopt otherwise.
std::optional<uint64_t> CertificateTableStart(const TPeSignatureFields& fields, uint64_t file_size);

// Both of the above for an open file (its position is left anywhere); nullopt when the file is
// no signed executable or cannot be read.
std::optional<uint64_t> FindCertificateTable(TFileStream& file, uint64_t file_size);

// Zeroes the security directory and the checksum in a copy of an executable's first size bytes,
// so the copy names no signature; false when the bytes hold no such header.
bool ClearPeSignature(uint8_t* head, size_t size);

}  // namespace setup

// Reading and clearing the signature fields of a Windows executable's headers.
//
// Every position is checked against the bytes at hand in 64-bit arithmetic before it is read,
// so a header that points anywhere (past the head, past 4 GiB) only makes the file unsigned.
#include "core/pe_image.h"

#include <algorithm>

#include "core/byte_order.h"
#include "core/file_stream.h"

namespace setup {

namespace {

constexpr uint64_t kNewHeaderField = 0x3C;  // e_lfanew in the DOS header
constexpr uint64_t kCoffHeader = 4;         // after "PE\0\0"
constexpr uint64_t kOptionalHeaderSizeField = kCoffHeader + 16;
constexpr uint64_t kOptionalHeader = kCoffHeader + 20;
constexpr uint64_t kChecksumField = 64;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint64_t kDirectoryEntrySize = 8;

}  // namespace

std::optional<TPeSignatureFields> ReadPeSignatureFields(const uint8_t* head, size_t size) {
  const uint64_t n = std::min<uint64_t>(size, kPeHeadLimit);
  if (head == nullptr || n < kNewHeaderField + 4 || head[0] != 'M' || head[1] != 'Z') return std::nullopt;
  const uint64_t pe = LoadLE32(head + kNewHeaderField);
  if (pe + kOptionalHeader + 2 > n) return std::nullopt;
  if (head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] != 0 || head[pe + 3] != 0) return std::nullopt;

  const uint64_t optional = pe + kOptionalHeader;
  const uint64_t optional_end = optional + LoadLE16(head + pe + kOptionalHeaderSizeField);
  const uint16_t magic = LoadLE16(head + optional);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return std::nullopt;
  // PE32+ drops BaseOfData and widens ImageBase and the four stack and heap sizes: 16 bytes more.
  const uint64_t count_field = magic == kPe32Magic ? 92 : 108;
  const uint64_t directories = count_field + 4;
  const uint64_t entry = optional + directories + kSecurityDirectory * kDirectoryEntrySize;
  // The entry must lie inside the optional header as its size gives it, inside the head, and
  // be one of the directories the header counts.
  if (entry + kDirectoryEntrySize > optional_end || optional_end > n) return std::nullopt;
  if (LoadLE32(head + optional + count_field) <= kSecurityDirectory) return std::nullopt;

  TPeSignatureFields fields;
  fields.ChecksumPosition = static_cast<uint32_t>(optional + kChecksumField);
  fields.DirectoryPosition = static_cast<uint32_t>(entry);
  fields.HeadersEnd = static_cast<uint32_t>(optional_end);
  fields.TablePosition = LoadLE32(head + entry);
  fields.TableSize = LoadLE32(head + entry + 4);
  return fields;
}

std::optional<uint64_t> CertificateTableStart(const TPeSignatureFields& fields, uint64_t file_size) {
  const uint64_t start = fields.TablePosition;
  if (start < fields.HeadersEnd || fields.TableSize < kPeCertificateHeaderSize) return std::nullopt;
  if (start + fields.TableSize != file_size) return std::nullopt;
  return start;
}

std::optional<uint64_t> FindCertificateTable(TFileStream& file, uint64_t file_size) {
  uint8_t head[kPeHeadLimit];
  const size_t n = static_cast<size_t>(std::min<uint64_t>(file_size, sizeof head));
  if (!file.Seek(0) || file.Read(head, n) != n) return std::nullopt;
  const std::optional<TPeSignatureFields> fields = ReadPeSignatureFields(head, n);
  if (!fields) return std::nullopt;
  return CertificateTableStart(*fields, file_size);
}

bool ClearPeSignature(uint8_t* head, size_t size) {
  const std::optional<TPeSignatureFields> fields = ReadPeSignatureFields(head, size);
  if (!fields) return false;
  StoreLE32(head + fields->ChecksumPosition, 0);
  StoreLE64(head + fields->DirectoryPosition, 0);
  return true;
}

}  // namespace setup

// Fuzz target: the reading of an executable's signature fields, which decides where a signed
// setup's package ends, and the clearing that makes the uninstaller's copy unsigned.
//
// The input is the head of the file; it is read once as the whole file and once as the head of
// a file of 4 GiB and more. Checks beyond the sanitizers: every position read lies inside the
// optional header and the head, a table that is accepted lies past the headers, holds an entry
// header and ends exactly at the end of the file, and a cleared copy differs only in the
// checksum and the directory and names no table.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/pe_image.h"
#include "fuzz_check.h"

namespace {

using namespace setup;

[[noreturn]] void Fail(const std::string& what) { fuzzing::FailCheck("fuzz_pe_image", what); }

void Check(const uint8_t* data, size_t size, uint64_t file_size) {
  const std::optional<TPeSignatureFields> fields = ReadPeSignatureFields(data, size);
  if (!fields) return;
  const uint64_t head = std::min<uint64_t>(size, kPeHeadLimit);
  if (fields->HeadersEnd > head) Fail("the optional header ends past the head");
  if (uint64_t{fields->ChecksumPosition} + 4 > fields->HeadersEnd ||
      uint64_t{fields->DirectoryPosition} + 8 > fields->HeadersEnd) {
    Fail("a field lies past the optional header");
  }
  if (const std::optional<uint64_t> start = CertificateTableStart(*fields, file_size)) {
    if (*start < fields->HeadersEnd) Fail("the table starts inside the headers");
    if (fields->TableSize < kPeCertificateHeaderSize) Fail("the table holds no entry header");
    if (*start + fields->TableSize != file_size) {
      Fail("the table at " + std::to_string(*start) + " does not end at the end of a file of " +
           std::to_string(file_size) + " bytes");
    }
  }
}

void CheckClearing(const uint8_t* data, size_t size) {
  const std::optional<TPeSignatureFields> fields = ReadPeSignatureFields(data, size);
  std::vector<uint8_t> copy(data, data + size);
  if (ClearPeSignature(copy.data(), copy.size()) != fields.has_value()) Fail("clearing disagrees with reading");
  if (!fields) {
    if (!std::equal(copy.begin(), copy.end(), data)) Fail("clearing changed bytes that hold no header");
    return;
  }
  for (size_t i = 0; i < size; ++i) {
    const bool field = (i >= fields->ChecksumPosition && i < fields->ChecksumPosition + 4u) ||
                       (i >= fields->DirectoryPosition && i < fields->DirectoryPosition + 8u);
    if (field ? copy[i] != 0 : copy[i] != data[i]) Fail("clearing changed byte " + std::to_string(i));
  }
  const std::optional<TPeSignatureFields> cleared = ReadPeSignatureFields(copy.data(), copy.size());
  if (!cleared || cleared->TablePosition != 0 || cleared->TableSize != 0) Fail("the cleared copy still names a table");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check(data, size, size);
  Check(data, size, (uint64_t{1} << 32) + size);
  CheckClearing(data, size);
  return 0;
}

// Fuzz target: FindFirstIconImage, the reader of an icon file's head that decides which bytes
// of the file become the uninstaller's icon.
//
// The input is the whole icon file. Its head is read as the Windows layer reads it (the first
// kIconHeadBytes bytes, or fewer), once with the input's own size and once as the head of a file
// of 4 GiB and more. Checks beyond the sanitizers: an image that is accepted lies after the whole
// directory, is not empty, not above the size cap and ends inside the file.
#include <algorithm>
#include <cstdint>
#include <string>

#include "core/byte_order.h"
#include "core/icon_file.h"
#include "fuzz_check.h"

namespace {

using namespace setup;

void Check(const uint8_t* data, size_t size, uint64_t file_size) {
  TIconImagePlace place;
  if (!FindFirstIconImage(data, std::min(size, kIconHeadBytes), file_size, place)) return;
  const uint64_t directory_end = 6 + uint64_t{LoadLE16(data + 4)} * 16;
  std::string fault;
  if (place.Offset < directory_end) fault = "the image starts inside the directory";
  if (place.Size == 0 || place.Size > kMaxIconImageBytes) fault = "the image size is outside its limits";
  if (uint64_t{place.Offset} + place.Size > file_size) fault = "the image ends past the file";
  if (!fault.empty()) {
    fuzzing::FailCheck("fuzz_icon_file", fault + " (offset " + std::to_string(place.Offset) + ", size " +
                                             std::to_string(place.Size) + ", file of " + std::to_string(file_size) +
                                             " bytes)");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check(data, size, size);
  Check(data, size, (uint64_t{1} << 32) + size);
  return 0;
}

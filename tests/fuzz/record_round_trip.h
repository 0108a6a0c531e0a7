// The check shared by the fuzz targets of the two setup records (TSetupInfoFile, TCompLines):
// a record that ends early raises ESetupError, which is allowed. A record that parses must come
// back byte for byte: bytes after the last field are ignored, so writing it again gives exactly
// the bytes it was read from, and reading that gives the same record once more.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "core/error.h"
#include "fuzz_check.h"

namespace setup::fuzzing {

// Record has LoadFromBuffer(const uint8_t*, size_t) and Serialize(); name starts the fault lines.
template <typename Record>
int CheckRecordRoundTrip(const char* name, const uint8_t* data, size_t size) {
  const auto fail = [name](const std::string& what) { FailCheck(name, what); };
  Record first;
  try {
    first.LoadFromBuffer(data, size);
  } catch (const ESetupError&) {
    return 0;
  }
  const std::string written = first.Serialize();
  if (written.size() > size || std::memcmp(written.data(), data, written.size()) != 0) {
    fail("written record (" + std::to_string(written.size()) + " bytes) is not the start of the " +
         std::to_string(size) + " bytes read");
  }
  Record second;
  try {
    second.LoadFromBuffer(reinterpret_cast<const uint8_t*>(written.data()), written.size());
  } catch (const ESetupError& e) {
    fail(std::string("written record does not read back: ") + e.what());
  }
  if (second.Serialize() != written) fail("record read back writes different bytes");
  return 0;
}

}  // namespace setup::fuzzing

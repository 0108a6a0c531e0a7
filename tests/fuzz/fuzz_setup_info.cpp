// Fuzz target: TSetupInfoFile::LoadFromBuffer, the parser of the setup information record
// (names, folders, registry slots, pages, mode).
//
// A record that ends early raises ESetupError, which is allowed. A record that parses must
// come back byte for byte: bytes after the last field are ignored, so writing it again gives
// exactly the bytes it was read from, and reading that gives the same record once more.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/error.h"
#include "core/setup_info.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_setup_info: %s\n", what.c_str());
  std::abort();
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setup::TSetupInfoFile first;
  try {
    first.LoadFromBuffer(data, size);
  } catch (const setup::ESetupError&) {
    return 0;
  }
  const std::string written = first.Serialize();
  if (written.size() > size || std::memcmp(written.data(), data, written.size()) != 0) {
    Fail("written record (" + std::to_string(written.size()) + " bytes) is not the start of the " +
         std::to_string(size) + " bytes read");
  }
  setup::TSetupInfoFile second;
  try {
    second.LoadFromBuffer(Bytes(written), written.size());
  } catch (const setup::ESetupError& e) {
    Fail(std::string("written record does not read back: ") + e.what());
  }
  if (second.Serialize() != written) Fail("record read back writes different bytes");
  return 0;
}

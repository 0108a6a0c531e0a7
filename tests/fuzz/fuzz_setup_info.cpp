// Fuzz target: TSetupInfoFile::LoadFromBuffer, the parser of the setup information record
// (names, folders, registry slots, pages, mode), with the byte-for-byte round trip of
// record_round_trip.h.
#include "core/setup_info.h"
#include "record_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return setup::fuzzing::CheckRecordRoundTrip<setup::TSetupInfoFile>("fuzz_setup_info", data, size);
}

// Fuzz target: TCompLines::LoadFromBuffer, the parser of the compiled script (a line count,
// then each line's command, position and parameters), with the byte-for-byte round trip of
// record_round_trip.h.
#include "core/setup_info.h"
#include "record_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return setup::fuzzing::CheckRecordRoundTrip<setup::TCompLines>("fuzz_comp_lines", data, size);
}

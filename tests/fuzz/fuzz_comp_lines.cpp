// Fuzz target: TCompLines::LoadFromBuffer, the parser of the compiled script (a line count,
// then each line's command, position and parameters), with the byte-for-byte round trip of
// record_round_trip.h and the conversion of an older setup's texts: every parameter is UTF-8
// after it but the enciphered archive passwords, which keep their bytes, and commands,
// positions and counts are as they were.
#include "core/setup_info.h"
#include "core/text.h"
#include "record_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto records = setup::fuzzing::CheckRecordRoundTrip<setup::TCompLines>("fuzz_comp_lines", data, size);
  if (!records) return 0;
  const auto& [first, converted] = *records;
  auto fail = [](const std::string& what) { setup::fuzzing::FailCheck("fuzz_comp_lines", what); };
  if (converted.Lines.size() != first.Lines.size()) fail("converting changed the line count");
  for (size_t n = 0; n < first.Lines.size(); ++n) {
    const setup::TCompiledLine& before = first.Lines[n];
    const setup::TCompiledLine& after = converted.Lines[n];
    if (after.Command != before.Command || after.LineIndex != before.LineIndex ||
        after.ParamCount != before.ParamCount || after.Params.size() != before.Params.size()) {
      fail("converting changed line " + std::to_string(n));
    }
    for (size_t i = 0; i < after.Params.size(); ++i) {
      if (setup::IsEncipheredParameter(after.Command, i)) {
        if (after.Params[i] != before.Params[i]) fail("converting changed the password of line " + std::to_string(n));
      } else if (!setup::IsValidUtf8(after.Params[i])) {
        fail("parameter " + std::to_string(i) + " of line " + std::to_string(n) + " is not UTF-8 once converted");
      }
    }
  }
  return 0;
}

// Fuzz target: TSetupInfoFile::LoadFromBuffer, the parser of the setup information record
// (names, folders, registry slots, pages, mode), with the byte-for-byte round trip of
// record_round_trip.h and the conversion of an older setup's texts: every text field is UTF-8
// after it, and the mode bytes and registry roots are as they were.
#include "core/setup_info.h"
#include "core/text.h"
#include "record_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto records = setup::fuzzing::CheckRecordRoundTrip<setup::TSetupInfoFile>("fuzz_setup_info", data, size);
  if (!records) return 0;
  const auto& [first, converted] = *records;
  auto fail = [](const std::string& what) { setup::fuzzing::FailCheck("fuzz_setup_info", what); };
  const std::string* texts[] = {&converted.SetupName,        &converted.ShortName,       &converted.SetupExeName,
                                &converted.UninstallExeName, &converted.UninstallPrefix, &converted.InstallDir,
                                &converted.Changelog,        &converted.Pages,           &converted.UninstallPages};
  for (const std::string* text : texts) {
    if (!setup::IsValidUtf8(*text)) fail("a converted field is not UTF-8");
  }
  for (int i = 0; i < setup::kInstallDirRegKeySlots; ++i) {
    const setup::TInstallDirRegKey& slot = converted.InstallDirRegKey[i];
    if (!setup::IsValidUtf8(slot.Path) || !setup::IsValidUtf8(slot.Key)) fail("a converted slot is not UTF-8");
    if (slot.HKey != first.InstallDirRegKey[i].HKey) fail("converting changed a registry root");
  }
  if (converted.Mode != first.Mode || converted.HasUninstaller != first.HasUninstaller) {
    fail("converting changed a mode byte");
  }
  return 0;
}

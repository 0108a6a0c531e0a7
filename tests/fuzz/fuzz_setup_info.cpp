// Fuzz target: TSetupInfoFile::LoadFromBuffer, the parser of the setup information record
// (names, folders, registry slots, pages, mode, and the named settings behind them), with the byte-for-byte round trip
// of record_round_trip.h and the conversion of an older setup's texts: every text field is UTF-8 after it, and the mode
// bytes and registry roots are as they were.
#include <cstring>

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
  if (converted.Settings.size() != first.Settings.size()) fail("converting changed the number of settings");
  for (const setup::TSetupSetting& setting : converted.Settings) {
    if (!setup::IsValidUtf8(setting.Name) || !setup::IsValidUtf8(setting.Value))
      fail("a converted setting is not UTF-8");
  }
  // The settings list is all that follows the first form's last field: without it the record
  // is the bytes in front of it.
  if (!first.Settings.empty()) {
    setup::TSetupInfoFile plain = first;
    plain.Settings.clear();
    const std::string without = plain.Serialize();
    if (std::memcmp(without.data(), data, without.size()) != 0 || size < without.size() + 6 ||
        std::memcmp(data + without.size(), "SETX", 4) != 0) {
      fail("the settings list does not follow the last field behind its mark");
    }
  }
  return 0;
}

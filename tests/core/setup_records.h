// A setup information record with every field set, for the record's tests and the fuzz seeds.
#pragma once

#include "core/setup_info.h"

namespace setup::testing {

// Both registry slot kinds are used, and the uninstaller's mode: a field that is written or
// read in the wrong place shows as a changed value.
inline TSetupInfoFile FilledSetupInfo() {
  TSetupInfoFile info;
  info.SetupName = "Demo Game Patch";
  info.ShortName = "Demo";
  info.SetupExeName = "demo_setup.exe";
  info.UninstallExeName = "demo_Uninstall.exe";
  info.UninstallPrefix = "demo_";
  info.InstallDir = "C:\\Games\\Demo";
  info.Changelog = "changes.rtf";
  info.InstallDirRegKey[0] = {1, "Software\\Demo", "Path"};
  info.InstallDirRegKey[4] = {3, "x", "y"};
  info.Pages = "default";
  info.UninstallPages = "default-uninstall";
  info.Mode = 1;
  info.HasUninstaller = 1;
  return info;
}

}  // namespace setup::testing

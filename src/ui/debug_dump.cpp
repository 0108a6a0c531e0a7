// The diagnostic dump's lines, in the order a support reader expects them.
#include "ui/debug_dump.h"

#include "core/pak.h"
#include "core/setup_info.h"

namespace setup {

std::vector<std::string> DebugDumpLines(const TPak& package, const TSetupInfoFile& info) {
  const TPakTrailer& trailer = package.Trailer();
  std::vector<std::string> lines = {
      "Header",
      "ID: " + std::string(trailer.Magic, sizeof trailer.Magic),
      "Version: " + std::to_string(trailer.Version),
      "File Count: " + std::to_string(trailer.Count),
      "",
      "Files:",
  };
  for (const TPakEntry& entry : package.Directory()) {
    lines.push_back("\"" + entry.Name + "\" Group: " + std::to_string(entry.Group));
  }
  lines.insert(lines.end(), {"", "SetupInfo:", "SetupName: " + info.SetupName, "SetupExeName: " + info.SetupExeName,
                             "InstallDir: " + info.InstallDir});
  for (const TInstallDirRegKey& slot : info.InstallDirRegKey) {
    lines.push_back("InstallDirRegKey.HKEY: " + RootIndexToLongName(slot.HKey));
    lines.push_back("InstallDirRegKey.Path: " + slot.Path);
    lines.push_back("InstallDirRegKey.Key: " + slot.Key);
  }
  lines.push_back("Changelog: " + info.Changelog);
  return lines;
}

}  // namespace setup

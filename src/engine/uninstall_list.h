// TUninstallList: what an install created, saved enciphered as the install log.
//
// Log file, little-endian, no header: u16 file count, u16 registry count, u16 folder count,
// then every file, registry and folder text as a u16 length and that many bytes, each text
// enciphered on its own with the digit cipher and the install log key.
#pragma once

#include <string>
#include <vector>

namespace setup {

class TUninstallList {
 public:
  void ClearLists();
  // Records an installed file with the path variables put back in; once, whatever the case.
  void AddFile(const std::string& path);
  bool HasFile(const std::string& path) const;
  void AddRegistryEntry(const std::string& line);
  bool HasRegistryEntry(const std::string& line) const;
  // Records a folder exactly as given; the same folder may be recorded twice.
  void AddFolder(const std::string& path) { FolderList.push_back(path); }

  // folder + "\" + prefix + "install.log"
  static std::string LogPath(const std::string& folder, const std::string& prefix);
  // Writes the log, replacing an older one; false when it could not be written whole.
  bool SaveLog(const std::string& folder, const std::string& prefix) const;
  // Replaces the lists with the log's; a missing log leaves them as they are.
  void LoadLog(const std::string& folder, const std::string& prefix);

  std::vector<std::string> FileList;
  std::vector<std::string> RegistryList;
  std::vector<std::string> FolderList;
};

// The process-wide install log.
TUninstallList& UninstallList();

}  // namespace setup

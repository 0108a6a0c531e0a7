// TUninstallList: what an install created, saved enciphered as the install log.
//
// The log has two versions (docs/formats.md, "The install log"). Version 1, written whenever
// every list has fewer than 65,535 entries:
//
//   0  u16  file count
//   2  u16  registry count
//   4  u16  folder count
//   6  the texts
//
// Version 2, written only when a list has 65,535 entries or more, or a text is not ASCII:
//
//   0  6 bytes FF     (three counts of 65,535, which version 1 never holds)
//   6  u16  version = 2
//   8  u16  flags (a reader refuses a bit it does not know)
//  10  u32  file count
//  14  u32  registry count
//  18  u32  folder count
//  22  the texts
//
// The texts of both: every file, then every registry line, then every folder, each a u16
// length and that many bytes enciphered on its own with the digit cipher and the install log
// key (the key position restarts for every text). All integers are little-endian.
//
// Flag bit 0 (kInstallLogFlagUtf8Texts) says the texts are UTF-8, and is set exactly when a text
// is not ASCII, as the setup package's flag is. A log without it (every version 1 log) holds
// its texts in the system's ANSI code page, and the reader converts them to UTF-8.
//
// Flag bit 1 (kInstallLogFlagCreatedKeys) says a fourth list follows the folders: the registry
// keys the install created, a u32 count and that many texts ("ROOT" "key"). It is set exactly
// when that list is not empty, so a log without created keys is written as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/setup_state.h"

namespace setup {

// Flags of the second version's header.
constexpr uint16_t kInstallLogFlagUtf8Texts = 1;
constexpr uint16_t kInstallLogFlagCreatedKeys = 2;
constexpr uint16_t kInstallLogKnownFlags = kInstallLogFlagUtf8Texts | kInstallLogFlagCreatedKeys;

class TUninstallList {
 public:
  void ClearLists();
  // Records an installed file with the path variables put back in; once, whatever the case.
  void AddFile(const std::string& path);
  // The same with the variables' values made once for many files (a group of entries).
  void AddFile(const std::string& path, const TPathContractor& contractor);
  bool HasFile(const std::string& path) const;
  void AddRegistryEntry(const std::string& line);
  bool HasRegistryEntry(const std::string& line) const;
  // Records a folder exactly as given; the same folder may be recorded twice.
  void AddFolder(const std::string& path) { FolderList.push_back(path); }
  // Records a registry key the install created ("ROOT" "key"); once, whatever the case.
  void AddCreatedKey(const std::string& line);

  // folder + "\" + prefix + "install.log"
  static std::string LogPath(const std::string& folder, const std::string& prefix);
  // Writes the log, replacing an older one; false when it could not be written whole. The
  // texts are written as they are (UTF-8).
  bool SaveLog(const std::string& folder, const std::string& prefix) const;
  // Replaces the lists with the log's, in UTF-8; a missing log leaves them as they are. A
  // damaged or cut log gives the whole entries in front of the damage; a log of an unknown
  // version or with an unknown flag gives empty lists.
  void LoadLog(const std::string& folder, const std::string& prefix);

  // The lists are the log's content; other code reads them directly and may append to them.
  // The duplicate checks of AddFile and AddRegistryEntry keep an index beside FileList and
  // RegistryList that takes in appended entries at the next check and is rebuilt when a list
  // was emptied, shortened or replaced (seen from its first and last indexed entries).
  std::vector<std::string> FileList;
  std::vector<std::string> RegistryList;
  std::vector<std::string> FolderList;
  std::vector<std::string> CreatedKeyList;

 private:
  // Case-folded text hash -> position in the list, for the first Indexed entries, and the
  // hashes of the first and last of them. A hit is always checked against the list itself, so
  // the index can only err by missing an entry.
  struct TListIndex {
    std::unordered_multimap<uint64_t, size_t> Positions;
    size_t Indexed = 0;
    uint64_t FirstHash = 0;
    uint64_t LastHash = 0;
  };
  static bool Contains(const std::vector<std::string>& list, TListIndex& index, const std::string& text);

  // Written by the const duplicate checks as they index; one thread uses a list at a time.
  mutable TListIndex file_index_;
  mutable TListIndex registry_index_;
  mutable TListIndex key_index_;
};

// The process-wide install log.
TUninstallList& UninstallList();

}  // namespace setup

// TPakSystem: the work of the KZP archive commands ("kzpupdate", "kzpofficial",
// "duplicateentry") on an archive of the install folder, with the archive format library
// (archives/kzp_archive.h) as its tool.
//
// This is where the program decides what a failure means. The archive path is the install
// folder, a backslash and the script's archive name. A file that does not open for writing
// brings up the retry dialog (Cancel ends the process with exit code 0); an archive that is
// corrupt, a payload or ending that is written short, and a wrong password end the program
// through the host's fatal application exit, as the script commands expect. Other unexpected
// conditions (a package entry that does not read, a password the trailer cannot hold, an
// offset past 4 GiB) raise ESetupError; every way out after the cut either writes the
// directory back or ends the program with a message that says the archive is lost.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archives/kzp_archive.h"
#include "archives/archive_file.h"
#include "engine/archive_update.h"

namespace setup {

class TPakSystem {
 public:
  // --- the script commands' work ---
  // Adds the entries of a package group to the archive InstallDir\archive_name.
  void UpdateFromPackage(uint16_t group, const std::string& archive_name, const std::string& password);
  // Sets or clears the official flag when the access code is right.
  void SetOfficial(const std::string& archive_name, const std::string& access_code, const std::string& flag_text);
  // Gives an entry's payload a second name.
  void DuplicateEntry(const std::string& archive_name, const std::string& existing_name, const std::string& new_name);

  // --- the steps they are made of ---
  // Opens the archive (with the retry dialog), reads it and cuts the file at the directory.
  void OpenForUpdate(const std::string& path);
  // Appends the payload of a package entry (unless unchanged) and records it.
  void AddPackageEntry(int index);
  // Writes directory, footer and a new trailer at the write position and closes the file.
  void WriteDirectoryAndClose();

  bool IsOpen() const { return archive_.IsOpen(); }
  // The open archive: its directory, and the password and official flag its trailer gave.
  TKzpArchive& Archive() { return archive_; }
  // The install directory, a backslash and the name.
  std::string ArchivePath(const std::string& archive_name) const;

  std::string ArchiveName;  // as the script gave it, for the status texts

  // What the object needs from outside, each replaceable by tests.
  TArchiveProgress Progress;             // status texts and progress steps
  TArchiveFileSystem* Files = nullptr;       // null: the native file system
  std::function<uint32_t()> Today;       // DOS date of today; empty: the local date
  std::function<uint8_t()> RandomByte;   // trailer seeds; empty: the archive's generator
  std::function<void()> CancelExit;      // Cancel in the retry dialog; empty: exit code 0
  void SeedRandom(uint32_t seed) { archive_.SeedRandom(seed); }

 private:
  // Opening without the cut, so a wrong password or a missing entry leaves the file as it was.
  void OpenAndRead(const std::string& path);
  [[noreturn]] void FatalStop(const std::string& message);

  TKzpArchive archive_;
};

// The process-wide object, created at first use.
TPakSystem& PakSystem();

}  // namespace setup

// "vfsupdate": one setup package group written into a VFS archive of the install folder.
#pragma once

#include <cstdint>
#include <string>

#include "archives/vfs_file.h"
#include "engine/archive_update.h"

namespace setup {

enum class TVfsUpdateResult {
  NothingToDo,     // the group has no entries
  Updated,
  ArchiveMissing,  // the box was shown; the caller ends the script as "failure" does
};

// Writes the entries of a setup package group into the archive install dir + "\" + name. The
// archive stays open for the next call unless close_after is set; an archive left open from an
// earlier call is saved and closed first. Status texts and progress steps go through progress.
// Raises ESetupError when the archive is not sound or a change fails; the archive is then
// still saved and closed when close_after is set.
TVfsUpdateResult VfsUpdateFromPackage(uint16_t group, const std::string& archive_name, bool close_after,
                                      const TArchiveProgress& progress);
// The archive an earlier update left open, saved with its digest and closed; nothing when none.
void SaveAndCloseVfsArchive(const TArchiveProgress& progress);
// The archive an earlier update left open, or null.
TVFSFile* OpenVfsArchive();
const std::string& OpenVfsArchiveName();

}  // namespace setup

// The game-archive commands: "kzpupdate", "kzpofficial", "duplicateentry" and "vfsupdate".
#pragma once

#include "core/setup_info.h"

namespace setup {

void RunKzpUpdate(TCompiledLine& line);
void RunKzpOfficial(TCompiledLine& line);
void RunDuplicateEntry(TCompiledLine& line);
void RunVfsUpdate(TCompiledLine& line);
// The VFS archive an update left open is saved and closed when the script ends.
void CloseOpenArchives();

}  // namespace setup

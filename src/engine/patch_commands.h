// "patch": brings an installed version of a game to the next one, file by file, from the whole
// files and binary differences of its package group and the group's manifest.
#pragma once

#include "core/setup_info.h"

namespace setup {

void RunPatch(TCompiledLine& line);

}  // namespace setup

// Placeholder until patching lands.
#include "engine/patch_commands.h"

namespace setup {

void RunPatch(TCompiledLine&) {}

}  // namespace setup

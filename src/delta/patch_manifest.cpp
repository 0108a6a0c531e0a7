// Placeholder until the manifest lands.
#include "delta/patch_manifest.h"

namespace setup::delta {

std::string PatchManifestName(uint16_t group) { return "PATCH-" + std::to_string(group); }
std::string WritePatchManifest(const TPatchManifest&) { return {}; }
bool ReadPatchManifest(const uint8_t*, size_t, TPatchManifest&, std::string*) { return false; }

}  // namespace setup::delta

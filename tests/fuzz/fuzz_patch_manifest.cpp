// Fuzz target: the patch manifest reader. What it takes, the writer writes back byte for byte
// (the reader is strict: no bytes it would not write), and every name it takes stays below the
// patch's folder.
#include <string>

#include "delta/patch_manifest.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace setup::delta;
  TPatchManifest manifest;
  std::string error;
  if (!ReadPatchManifest(data, size, manifest, &error)) {
    if (error.empty()) setup::fuzzing::FailCheck("fuzz_patch_manifest", "refused without a reason");
    return 0;
  }
  if (WritePatchManifest(manifest) != std::string(reinterpret_cast<const char*>(data), size)) {
    setup::fuzzing::FailCheck("fuzz_patch_manifest", "the manifest read is not the one written back");
  }
  for (const TPatchItem& item : manifest.Items) {
    std::string steps = "\\" + item.Name + "\\";
    for (char& c : steps) c = c == '/' ? '\\' : c;
    if (item.Name.empty() || item.Name.find(':') != std::string::npos || steps.find("\\..\\") != std::string::npos ||
        steps[1] == '\\') {
      setup::fuzzing::FailCheck("fuzz_patch_manifest", "took a name outside the patch's folder: " + item.Name);
    }
  }
  return 0;
}

// "patch": brings an installed version of a game to the next one, file by file, from the whole
// files and binary differences of its package group and the group's manifest.
//
// A run first checks every file it is to change, before it changes any: a file to be patched
// must be the version the patch was made against (its size, then its SHA-256) or already the
// new version, which is then left alone. Anything else (missing, another size, another
// digest, a file that cannot be written) is named in a box, nothing is changed and the script
// stops. Then each file is rebuilt beside itself under a fixed temporary name, its new SHA-256
// checked, and put in its place in one step; a failure on the way names the file, leaves it
// as it was and stops the script. A run killed half way is simply run again: the files it
// finished are the new version and are skipped.
//
// The wizard's gauge follows a patch by bytes: a step for every kPatchStepBytes of the bytes
// the check reads (the old versions' sizes) and the rebuilding writes (the new versions').
#pragma once

#include <cstdint>
#include <string>

#include "core/setup_info.h"

namespace setup {

class TPak;
namespace delta {
struct TPatchManifest;
}

// One step of the install's gauge for this many bytes of a patch's checking and writing.
constexpr uint64_t kPatchStepBytes = 1u << 20;
// What an existing file's rebuilt version is written to, beside it, until it takes its place.
// One fixed name: a run killed half way leaves at most one per file, which the next run
// overwrites or removes.
constexpr char kPatchTemporarySuffix[] = ".patch-new";

// The manifest of a patch group (group-0 entry "PATCH-<group>"): false, with the reason in
// *error (may be null), when it is missing, unreadable or damaged.
bool ReadPatchGroupManifest(TPak& pak, uint16_t group, delta::TPatchManifest& manifest, std::string* error);

// The bytes a patch run checks and writes when every file is still the old version: the old
// versions' sizes of the files it patches or replaces, and the new sizes of the files it writes.
uint64_t PatchWorkBytes(const delta::TPatchManifest& manifest);
// The gauge steps of a patch group: PatchWorkBytes in kPatchStepBytes, rounded up.
uint64_t PatchGaugeSteps(const delta::TPatchManifest& manifest);

// The free space a patch needs at its worst moment, beyond what the installed version holds:
// every added file whole, the growth of every changed file, and the largest changed file once
// more while it is rebuilt beside its old version. Removed files are not counted as freeing
// anything (they may go last).
uint64_t PatchRequiredBytes(const delta::TPatchManifest& manifest);

// The gauge's total for the running setup's script: a step for every entry of a group of files
// or an archive update (each is written with one step), and PatchGaugeSteps for every patch
// group (an entry a step when its manifest cannot be read: the run stops there anyway).
uint64_t InstallGaugeSteps();

void RunPatch(TCompiledLine& line);

}  // namespace setup

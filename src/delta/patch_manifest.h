// The patch manifest: what a "patch" line does to each file of the installed version.
//
// The builder compares the new version's folder with the old one and writes one manifest per
// patch group, the group-0 entry "PATCH-<group>"; the group itself holds an entry, named as the
// file, for every item that brings bytes (added and replaced files whole, differences as blobs).
// Unchanged files appear nowhere. Layout (integers little-endian, names UTF-8 whatever the
// package's text flag, "\" between folders, relative to the patch's folder):
//
//   0   4   Magic "KZPM"
//   4   2   Version (1)
//   6   2   zero
//   8   4   Count
//   then Count items:  Action u8, NameLength u16, Name,
//                      OldSize u64, OldSha256 [32], NewSize u64, NewSha256 [32]
//
// Identities that an action does not have are all zero (an added file has no old one, a removed
// file no new one).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "delta/difference.h"

namespace setup::delta {

enum class TPatchAction : uint8_t {
  Add = 0,         // a file the old version does not have, stored whole
  Replace = 1,     // a changed file stored whole (its difference would not have been smaller)
  Difference = 2,  // a changed file stored as a difference against its old version
  Remove = 3,      // a file the new version no longer has: deleted
};

struct TPatchItem {
  TPatchAction Action = TPatchAction::Add;
  std::string Name;
  TFileIdentity Old;  // Replace, Difference, Remove
  TFileIdentity New;  // Add, Replace, Difference
};

struct TPatchManifest {
  std::vector<TPatchItem> Items;
};

// "PATCH-7" for group 7.
std::string PatchManifestName(uint16_t group);
// The manifest's bytes; the identities an item's action does not have are written as zeros.
// Empty (which no reader takes) when a name has more than 65,535 bytes.
std::string WritePatchManifest(const TPatchManifest& manifest);
// False, with the reason in *error (may be null), for a cut, damaged or unknown manifest: bad
// magic or version, a reserved field not zero, a count past the bytes, an unknown action, an
// empty name or one with a folder step ".." or "." or an empty one, a name that is absolute or
// holds a colon or a zero byte ("/" counts as a separator too), an identity that the item's
// action does not have but that is not zero, bytes after the last item. manifest is left as it
// was on failure.
bool ReadPatchManifest(const uint8_t* data, size_t size, TPatchManifest& manifest, std::string* error);

}  // namespace setup::delta

// Planning a "patch" line: what the new version's folder changes against the old version's.
//
// The compiler lists both folders (builder/patch_tree.h). Planning (PlanPatches) matches the two lists by name as
// Windows does (letters in either case) and decides per file:
//   same size and same bytes         unchanged: nothing stored, nothing in the manifest
//   only in the new folder           Add: the file stored whole
//   only in the old folder           Remove: deleted at install
//   changed                          Difference: the difference to the old file, written to a
//                                    temporary file, unless it is not smaller than the file
//                                    packed whole (as the package writer would store it); then
//                                    Replace: the file stored whole
// The manifest lists the removals first (a file that became a folder is gone before the folder
// is made), then the rest in the new folder's walk order.
//
// The work (comparing, hashing, encoding, measuring) runs on the builder's threads, each file
// one job; results are put together in job order, so any thread count gives the same plan.
// Memory is bounded whatever the files' sizes: comparing and hashing read pieces; reference
// encodes (which hold both files and the encoder's tables) run at most kMostReferenceEncodes at
// once; measuring a file packed whole holds it and its deflated form, within a byte budget.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "builder/package_writer.h"
#include "builder/patch_tree.h"
#include "delta/difference.h"
#include "delta/patch_manifest.h"

namespace setup::builder {

// At most this many reference-method encodes at once: each holds both files (up to
// delta::kReferenceMostSize each) and the encoder's tables. A 32-bit builder holds one.
constexpr int kMostReferenceEncodes = sizeof(void*) == 4 ? 1 : 2;

struct TPatchPlanItem {
  delta::TPatchItem Item;
  // What the group's entry is made from: the new file (Add, Replace) or the temporary
  // difference (Difference); empty for Remove.
  std::string SourcePath;
  delta::TDifferenceMethod Method = delta::TDifferenceMethod::Reference;  // changed files
  uint64_t DifferenceSize = 0;  // changed files: the difference's size (also when it was not kept)
  uint64_t WholeSize = 0;       // changed files whose packed size was measured; 0 when not needed
};

struct TPatchPlan {
  int Line = 0;
  uint16_t Group = 0;
  std::vector<TPatchPlanItem> Items;  // manifest order
  size_t UnchangedFiles = 0;
  uint64_t UnchangedBytes = 0;

  delta::TPatchManifest Manifest() const;
};

struct TPlanOptions {
  int Threads = 1;
  int Level = kAutomaticLevel;  // the package writer's level: the packed-whole size is measured at it
  std::string TemporaryFolder;  // where differences are written; must exist
  // Files and bytes of both folders read so far; called on the calling thread.
  std::function<void(const TWriteProgress&)> OnProgress;
};

// Plans every patch line. Raises TBuildError at the line whose file could not be read or
// encoded; the differences written so far stay in the temporary folder for its owner to remove.
std::vector<TPatchPlan> PlanPatches(const std::vector<TPatchSource>& sources, const TPlanOptions& options);

// The size of the file's bytes as the package writer stores them whole at level (kAutomaticLevel:
// chosen from the bytes as the writer chooses): deflated when that is not larger, plain
// otherwise, and plain from kLargeEntryLimit on. Raises TBuildError when it cannot be read.
uint64_t PackedWholeSize(const std::string& path, uint64_t size, int level);

// The folder a build's differences are written to, removed with everything in it when the
// owner goes (a failed build too). A folder of that name left by a build that was killed is
// taken over when it holds nothing but differences; otherwise it is an error.
class TTemporaryFolder {
 public:
  explicit TTemporaryFolder(std::filesystem::path path);
  ~TTemporaryFolder();
  TTemporaryFolder(const TTemporaryFolder&) = delete;
  TTemporaryFolder& operator=(const TTemporaryFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The temporary folder of the setup output: "OUTPUT.differences" beside it.
std::filesystem::path DifferencesFolderFor(const std::string& output);

// What a patch line stored, for the builder's closing lines: per way of storing, the count and
// the source bytes against the bytes stored. stored[i] is what the package holds for the
// plan's item i (0 for Remove, and for an entry that shares another's bytes).
std::string PatchSavingsText(const TPatchPlan& plan, const std::vector<uint64_t>& stored);

// The stored bytes of each plan item, found by group and name among the written items.
std::vector<uint64_t> StoredOfPlan(const TPatchPlan& plan, const std::vector<TPackageItem>& items,
                                   const std::vector<uint64_t>& item_stored);

}  // namespace setup::builder

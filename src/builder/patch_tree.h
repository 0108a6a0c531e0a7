// The two folders of a "patch" line as the compiler lists them.
//
// Breadth-first, each folder's listing in the file list's order (NameOrderLess), names relative
// to the folder with "\" between folders, in UTF-8 as the package stores them. A folder with
// two names that differ only in letter case is refused: on Windows they would be one file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace setup::builder {

struct TPatchTreeFile {
  std::string Name;  // relative to the folder, "\" separated, UTF-8
  std::string Path;  // on the building machine
  uint64_t Size = 0;
};

// The files below folder in walk order. Raises TBuildError at line when folder does not exist,
// is a file, or holds two names that differ only in letter case or a name Windows cannot have.
std::vector<TPatchTreeFile> ListPatchTree(const std::filesystem::path& folder, int line);

// A "patch" line as the compiler found it.
struct TPatchSource {
  int Line = 0;
  uint16_t Group = 0;
  std::string NewFolder;  // on the building machine
  std::string OldFolder;
  std::vector<TPatchTreeFile> NewFiles;
  std::vector<TPatchTreeFile> OldFiles;
};

}  // namespace setup::builder

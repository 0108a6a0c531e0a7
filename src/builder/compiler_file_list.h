// TCompilerFileList: the build side's list of the files that go into a setup's package groups.
//
// Every command that carries files ("file", "kzpupdate", "vfsupdate") hands its source folder
// or file to the list under a fresh group number. Groups that name the same game archive
// (without regard to case) are merged: the later line's files go into the first group of that
// name, and a file whose name is already there replaces the earlier one's source in place.
// Folder sources are walked breadth-first, each listing sorted by name (ASCII case folded,
// then by bytes), so the same tree gives the same package on every machine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace setup {

struct TCompilerFile {
  std::string SourcePath;  // path on the building machine
  std::string Name;        // name in the package: prefix + name relative to the source folder, "\" separated
  uint16_t Group = 0;
  bool StorePlain = false;  // bytes that do not compress (a patch's differences)
};

struct TCompilerGroup {
  std::string Name;  // lower-cased archive name; empty for plain file groups
  std::vector<TCompilerFile> Files;
};

class TCompilerFileList {
 public:
  TCompilerFileList() { Reset(); }

  void Reset();
  // Extends the list up to group; a new group gets the lower-cased name, an existing one keeps its own.
  void EnsureGroup(uint16_t group, const std::string& name);
  // Adds the file, or every file below the folder, that source names (relative to BaseFolder
  // unless absolute). Returns false when source names neither a file nor a folder.
  bool AddSourceFolder(const std::string& source, uint16_t group, const std::string& prefix, bool absolute,
                       const std::string& group_name);
  void AddSourceFile(const std::string& source, const std::string& relative, const std::string& prefix,
                     uint16_t group);
  // The next group number for a group-owning line.
  uint16_t NextGroup() { return ++GroupCounter; }

  std::vector<TCompilerGroup> Groups;
  size_t TotalFiles = 0;
  uint16_t GroupCounter = 0;
  std::string BaseFolder;  // sources that are not absolute lie below it
  std::string LayoutIcon;  // the wizard layout's icon, never taken in by a folder walk
  std::function<void(const std::string&)> OnReplace;  // "Replacing Previous Instance of ..."
  std::function<void(const std::string&)> OnAdd;      // "Adding To List ..."
};

// A script's source path ("\" separated) as a path of the building machine.
std::filesystem::path NativePath(const std::string& text);
// The path a script's source path names below base (base itself when the path is absolute):
// as the UTF-8 it is written in, or, when nothing of that name exists, in Windows-1252, as an
// older script names a file that an older system made.
std::filesystem::path FindNativePath(const std::string& base, const std::string& text);
// A name found on disk as the UTF-8 a package stores. Windows names are UTF-16; elsewhere a
// name is bytes, and one that is not valid UTF-8 was made on an older system in Windows-1252.
std::string DiskNameText(const std::filesystem::path& name);

// Listing order of the folder walk: ASCII letters folded, then bytes.
bool NameOrderLess(const std::string& a, const std::string& b);

}  // namespace setup

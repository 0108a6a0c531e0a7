// The commands that put files on disk or take them away, and the routines they share:
// extraction of a package group, logged folder creation, target folders, registry conditions
// and removal of folder trees. Also the box every reader of the running setup's package shows
// when an entry inflates to another length than it should.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core/buffer_manager.h"
#include "core/setup_info.h"

namespace setup {

class TPak;

// Large entries are copied to disk in chunks of this size.
constexpr uint32_t kStreamChunk = 26214400;  // 25 MiB

// Shows the "DecompSize" box (caption "Error") when the package's latest read ended on an entry
// that inflates to another length than its Size; nothing for any other outcome. Called right
// after each read of the running setup's package, whose reader itself shows nothing.
void ShowExtractFailure(const TPak& pak);
// Folders this run made or found, so that the files of a folder cost no existence check of it
// or of the folders above it. Compared as the system compares names (letters in either case)
// and without trailing backslashes. Forgotten by whatever may take a folder away (removing a
// tree, a program run, another system installed), and whenever a file cannot be made
// in a folder thought known: anything the run cannot be sure of is asked again.
class TKnownFolders {
 public:
  bool Contains(std::string_view folder) const;
  void Add(std::string_view folder);
  void Clear() {
    folders_.clear();
    last_.clear();
  }

 private:
  static std::string Key(std::string_view folder);
  std::unordered_set<std::string> folders_;
  std::string last_;  // the latest added, as given: the files of a folder come one after another
};

TKnownFolders& KnownFolders();

// Creates the missing folders of a drive path ("C:\a\b"), recording each in the install log.
// Folders known to exist are not asked about.
void CreateFolderPath(const std::string& path);
// Creates the file's folders, then the file (replacing it) with the data.
void WriteBufferToFile(const std::string& path, const uint8_t* data, size_t size);
// Creates the file's folders, then the file with the package entry, inflated piece by piece.
// An existing file is replaced in one step once the new content is complete and on the disk;
// until then, and when the entry fails, it keeps its old content.
void ExtractEntryToFile(const std::string& path, int index);
// Writes every entry of the group below the folder, logging each file, one progress step each.
void ExtractGroup(const std::string& folder, uint16_t group);
// Copies a large entry to a file in chunks, never holding it whole; an existing file is replaced
// as ExtractEntryToFile replaces it.
void StreamLargeEntry(const std::string& path, const std::string& display_name, uint64_t size, int index);
// A destination parameter as a folder: absolute drive paths as they are, others below the
// install folder; always with a trailing backslash.
std::string ResolveTargetFolder(const std::string& parameter);
bool IsAbsolutePath(const std::string& path);
// Compares a registry string with the expected text; sense "0", "false" or "f" negates.
bool RegistryCondition(const std::string& root, const std::string& key, const std::string& name,
                       const std::string& expected, const std::string& sense);
// Removes a folder with everything in it; gives up on items that cannot be removed.
void RemoveFolderTree(const std::string& folder);
// The folder part of a path, without its trailing backslash ("" when there is none).
std::string FolderPart(const std::string& path);

// Run operations.
void RunFile(TCompiledLine& line);
void RunCopyFile(TCompiledLine& line);
void RunRename(TCompiledLine& line);
void RunDelete(TCompiledLine& line);
void RunCreateDirectory(TCompiledLine& line);
void RunRmDir(TCompiledLine& line);

}  // namespace setup

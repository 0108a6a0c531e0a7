// All entries of an open VFS archive as a tree of nodes, and the changes an update makes to
// it. Changing operations write through to the archive at once and raise ESetupError when
// they meet a corrupt chain, a full archive or an internal error; space and root slots are
// checked before a file is replaced, so a refused file leaves the archive unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archives/vfs_hash_index.h"
#include "archives/vfs_records.h"
#include "core/buffer_manager.h"

namespace setup {

class TVFSFile;

struct TVFSNode {
  int32_t Index = -1;  // its own slot; -1 when the slot is free
  std::string Path;    // names joined by "\"
  TVFSEntry Entry;
  std::vector<int32_t> Children;  // node indices; -1 marks a free position
  int32_t Parent = -1;            // -1 for root entries
  int32_t RootSlot = -1;          // the root table slot of a root entry, else -1
};

class TVFSTree {
 public:
  explicit TVFSTree(TVFSFile& file) : file_(file) {}

  void Clear();
  const std::vector<TVFSNode>& Nodes() const { return nodes_; }
  const TVFSNode& Node(int32_t index) const { return nodes_.at(static_cast<size_t>(index)); }
  size_t LiveCount() const { return nodes_.size() - free_slots_.size(); }

  // The first node (in table order) of the path, without regard to ASCII case; -1 when none.
  int32_t FindPath(std::string_view path) const;
  // The same, counting only directories.
  int32_t FindDirectory(std::string_view path) const;
  // A child of parent by name without regard to case; parent -1 looks among the root entries.
  int32_t FindChild(int32_t parent, std::string_view name) const;

  // Makes a file or directory entry in the root (parent -1) or under a directory. A directory
  // gets its zero block and is recorded at once; a file is recorded after its content is written.
  int32_t CreateNewFileDir(int32_t parent, std::string name, bool directory);
  // Frees the entry's chain and those of everything below it. A root entry's slot is zeroed on
  // disk but stays taken until the archive is opened again; an entry under a directory leaves
  // a free position in the child list, and the parent's table is written by the next record.
  void DeleteEntry(int32_t index);
  // Writes where the entry is listed: its root slot, or its parent's table (and, when that
  // table moves, the parent's own listing, up to the root).
  void RecordEntry(int32_t index);
  // The directory's table of children written again: in place when its length is unchanged.
  void RewriteDirectory(int32_t index);
  // The chunked zlib form of content; false when it would not be shorter than the content
  // (or the content is empty), and the file is then stored plain.
  static bool InternalCompressFile(const uint8_t* data, size_t size, TBytes& out);
  // Sets the entry's sizes and flags and writes its content (compressed when that pays) into
  // a new chain.
  void WriteFileContent(int32_t index, const TBytes& content);
  // Adds a setup package entry as a file, making its folders and replacing a file of the same
  // path. Returns the new node.
  int32_t AddFile(const std::string& package_name, const TBytes& content);

  // The ".ht" records of the files, in node-table order, sorted and with duplicates folded.
  std::vector<TVFSHashRecord> HashRecords() const;
  // Whether the tree holds a file (an archive without files has no ".ht" index).
  bool HasFiles() const;

  // --- opening ---
  void AddRootEntry(uint32_t slot, const TVFSEntry& entry);
  // Reads every directory's table into child nodes; false with a message on a corrupt one.
  bool LoadDirectories(const std::function<void(uint32_t, uint32_t)>& progress, std::string& error);

 private:
  int32_t NewNode();
  void ReleaseNode(int32_t index);
  void IndexPath(int32_t index);
  void UnindexPath(int32_t index);
  TBytes DirectoryTable(int32_t index) const;
  std::vector<int32_t> Subtree(int32_t index) const;  // the node and everything below it

  TVFSFile& file_;
  std::vector<TVFSNode> nodes_;
  std::set<int32_t> free_slots_;
  // Lower-cased full path to the live nodes of that path, ascending.
  std::unordered_map<std::string, std::vector<int32_t>> by_path_;
};

}  // namespace setup

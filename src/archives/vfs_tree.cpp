// The entries of a VFS archive as a tree of nodes, and the changes "vfsupdate" makes to it.
//
// Nodes live in one table; a freed slot is reused by the next new node and a freed position
// in a child list by the next new child, so replacing a file keeps its directory's table the
// same length and the table is rewritten in place. A table whose length changes moves to a
// new chain, and the directory is recorded again in its own parent, up to the root.
//
// Lookups by path go through an index of lower-cased full paths, so adding thousands of files
// does not search the whole table for each path.
#include "archives/vfs_tree.h"

#include <algorithm>
#include <cstdio>

#include "archives/vfs_file.h"
#include "core/byte_order.h"
#include "core/deflate.h"
#include "core/error.h"
#include "core/text.h"

namespace setup {

namespace {

// Named limits of the tree loader. Every entry owns at least one block, so a sound archive has
// no more entries than blocks and root slots together; a longer path than any file system
// keeps means the directories loop into themselves.
constexpr size_t kVfsPathLimit = 4096;

std::vector<std::string> SplitFolders(const std::string& path) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = path.find('\\', from)) != std::string::npos; from = at + 1) parts.push_back(path.substr(from, at - from));
  parts.push_back(path.substr(from));
  return parts;
}

// The stored form of a file's content: compressed when that pays.
struct TPreparedContent {
  TBytes Packed;
  bool Compressed = false;
};

TPreparedContent Prepare(const TBytes& content) {
  TPreparedContent prepared;
  prepared.Compressed = TVFSTree::InternalCompressFile(content.data(), content.size(), prepared.Packed);
  return prepared;
}

void WritePrepared(TVFSFile& file, TVFSEntry& entry, const TBytes& content, const TPreparedContent& prepared) {
  entry.StoredSize = static_cast<uint32_t>(content.size());
  entry.Date = file.Today();
  if (prepared.Compressed) {
    entry.Flags |= kVfsFlagCompressed;
    entry.ContentSize = static_cast<uint32_t>(content.size());
    file.WriteFile(entry, prepared.Packed.data(), prepared.Packed.size());
  } else {
    entry.Flags &= ~kVfsFlagCompressed;
    entry.ContentSize = 0;
    file.WriteFile(entry, content.empty() ? nullptr : content.data(), content.size());
  }
}

}  // namespace

void TVFSTree::Clear() {
  nodes_.clear();
  free_slots_.clear();
  by_path_.clear();
}

// ---------------------------------------------------------------- lookups

int32_t TVFSTree::FindPath(std::string_view path) const {
  auto it = by_path_.find(LowerAscii(path));
  return it == by_path_.end() ? -1 : it->second.front();
}

int32_t TVFSTree::FindDirectory(std::string_view path) const {
  auto it = by_path_.find(LowerAscii(path));
  if (it == by_path_.end()) return -1;
  for (int32_t i : it->second) {
    if (nodes_[i].Entry.IsDirectory()) return i;
  }
  return -1;
}

int32_t TVFSTree::FindChild(int32_t parent, std::string_view name) const {
  const std::string path = parent < 0 ? std::string(name) : Node(parent).Path + "\\" + std::string(name);
  auto it = by_path_.find(LowerAscii(path));
  if (it == by_path_.end()) return -1;
  for (int32_t i : it->second) {
    if (nodes_[i].Parent == parent) return i;
  }
  return -1;
}

void TVFSTree::IndexPath(int32_t index) {
  std::vector<int32_t>& list = by_path_[LowerAscii(nodes_[index].Path)];
  list.insert(std::lower_bound(list.begin(), list.end(), index), index);
}

void TVFSTree::UnindexPath(int32_t index) {
  auto it = by_path_.find(LowerAscii(nodes_[index].Path));
  if (it == by_path_.end()) return;
  auto& list = it->second;
  list.erase(std::remove(list.begin(), list.end(), index), list.end());
  if (list.empty()) by_path_.erase(it);
}

// ---------------------------------------------------------------- node table

int32_t TVFSTree::NewNode() {
  if (!free_slots_.empty()) {
    const int32_t index = *free_slots_.begin();
    free_slots_.erase(free_slots_.begin());
    nodes_[index] = TVFSNode();
    nodes_[index].Index = index;
    return index;
  }
  nodes_.emplace_back();
  nodes_.back().Index = static_cast<int32_t>(nodes_.size() - 1);
  return nodes_.back().Index;
}

void TVFSTree::ReleaseNode(int32_t index) {
  UnindexPath(index);
  nodes_[index] = TVFSNode();
  free_slots_.insert(index);
}

std::vector<int32_t> TVFSTree::Subtree(int32_t index) const {
  std::vector<int32_t> all{index};
  for (size_t i = 0; i < all.size(); ++i) {
    for (int32_t child : nodes_[all[i]].Children) {
      if (child >= 0) all.push_back(child);
    }
  }
  return all;
}

// ---------------------------------------------------------------- opening

void TVFSTree::AddRootEntry(uint32_t slot, const TVFSEntry& entry) {
  const int32_t index = NewNode();
  TVFSNode& node = nodes_[index];
  node.Path = entry.Name;
  node.Entry = entry;
  node.RootSlot = static_cast<int32_t>(slot);
  IndexPath(index);
}

bool TVFSTree::LoadDirectories(const std::function<void(uint32_t, uint32_t)>& progress, std::string& error) {
  const TVFSHeader& h = file_.Header();
  const uint64_t entry_limit = static_cast<uint64_t>(h.BlockCount) + h.RootCount;
  // The table grows while it is walked: directories found on the way are read in turn.
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (progress) progress(static_cast<uint32_t>(i), static_cast<uint32_t>(nodes_.size()));
    if (!nodes_[i].Entry.IsDirectory() || nodes_[i].Entry.StoredSize == 0) continue;
    TBytes table;
    if (!file_.ReadStored(nodes_[i].Entry, table)) {
      error = "folder '" + nodes_[i].Path + "': " + file_.ErrorText();
      return false;
    }
    const size_t count = table.size() / kVfsEntryRecordSize;
    if (nodes_.size() + count > entry_limit) {
      error = "folder '" + nodes_[i].Path + "' brings the entries past " + std::to_string(entry_limit) +
              ", more than the archive has blocks and root slots (its folders loop)";
      return false;
    }
    TBufferManager cursor(table.data(), count * kVfsEntryRecordSize);
    for (size_t r = 0; r < count; ++r) {
      const TVFSEntry entry = DecodeEntryRecord(cursor);
      const int32_t child = NewNode();
      TVFSNode& node = nodes_[child];
      node.Path = nodes_[i].Path + "\\" + entry.Name;
      if (node.Path.size() > kVfsPathLimit) {
        error = "folder '" + nodes_[i].Path.substr(0, 200) + "...' nests deeper than paths of " + std::to_string(kVfsPathLimit) +
                " characters (its folders loop)";
        return false;
      }
      node.Entry = entry;
      node.Parent = static_cast<int32_t>(i);
      nodes_[i].Children.push_back(child);
      IndexPath(child);
    }
  }
  return true;
}

// ---------------------------------------------------------------- changes

int32_t TVFSTree::CreateNewFileDir(int32_t parent, std::string name, bool directory) {
  if (name.size() > kVfsNameLimit) name.resize(kVfsNameLimit);
  // An empty name would read back as a free root slot or an unreachable child.
  if (name.empty()) throw ESetupError("CreateNewFileDir: empty name");
  if (parent >= 0 && !Node(parent).Entry.IsDirectory()) {
    throw ESetupError("CreateNewFileDir: '" + Node(parent).Path + "' is not a folder");
  }
  int32_t slot = -1;
  if (parent < 0) {
    slot = file_.TakeRootSlot(name);
    if (slot < 0) throw ESetupError("CreateNewFileDir: ROOT Result = Cardinal(-1)");
  }
  const int32_t index = NewNode();
  TVFSNode& node = nodes_[index];
  node.Entry.Name = name;
  node.Entry.Flags = directory ? kVfsFlagDirectory : kVfsFlagFile;
  node.Parent = parent;
  node.RootSlot = slot;
  node.Path = parent < 0 ? name : nodes_[parent].Path + "\\" + name;
  if (parent >= 0) {
    std::vector<int32_t>& children = nodes_[parent].Children;
    auto free_position = std::find(children.begin(), children.end(), -1);
    if (free_position != children.end()) *free_position = index;
    else children.push_back(index);
  }
  IndexPath(index);
  if (directory) {
    file_.WriteFile(nodes_[index].Entry, nullptr, 0);
    RecordEntry(index);
  }
  return index;
}

void TVFSTree::DeleteEntry(int32_t index) {
  const std::vector<int32_t> all = Subtree(index);
  // Everything below first, deepest last found first; nothing is recorded for them.
  for (size_t i = all.size(); i-- > 0;) file_.FreeChain(nodes_[all[i]].Entry);
  const TVFSNode& node = nodes_[index];
  if (node.Parent < 0) {
    file_.ZeroRootRecord(static_cast<uint32_t>(node.RootSlot));
  } else {
    for (int32_t& child : nodes_[node.Parent].Children) {
      if (child == index) child = -1;
    }
  }
  for (int32_t i : all) ReleaseNode(i);
}

TBytes TVFSTree::DirectoryTable(int32_t index) const {
  TBytes table;
  table.reserve(nodes_[index].Children.size() * kVfsEntryRecordSize);
  uint8_t record[kVfsEntryRecordSize];
  for (int32_t child : nodes_[index].Children) {
    if (child < 0) continue;
    EncodeEntryRecord(nodes_[child].Entry, record);
    table.insert(table.end(), record, record + sizeof record);
  }
  return table;
}

void TVFSTree::RecordEntry(int32_t index) {
  const TVFSNode& node = Node(index);
  if (node.Parent < 0) file_.WriteRootRecord(static_cast<uint32_t>(node.RootSlot), node.Entry);
  else RewriteDirectory(node.Parent);
}

void TVFSTree::RewriteDirectory(int32_t index) {
  // Up the tree for as long as a table changes length and so its owner's record changes.
  for (int32_t at = index;;) {
    const TBytes table = DirectoryTable(at);
    TVFSEntry& entry = nodes_[at].Entry;
    const uint8_t* bytes = table.empty() ? nullptr : table.data();
    if (table.size() == entry.StoredSize) {
      file_.RewriteInPlace(entry, bytes, table.size());
      return;
    }
    file_.FreeChain(entry);
    file_.WriteFile(entry, bytes, table.size());
    if (nodes_[at].Parent < 0) {
      file_.WriteRootRecord(static_cast<uint32_t>(nodes_[at].RootSlot), entry);
      return;
    }
    at = nodes_[at].Parent;
  }
}

bool TVFSTree::InternalCompressFile(const uint8_t* data, size_t size, TBytes& out) {
  out.clear();
  if (size == 0) return false;
  for (size_t from = 0; from < size; from += kVfsChunkSize) {
    const size_t n = std::min<size_t>(kVfsChunkSize, size - from);
    const TBytes chunk = Deflate(data + from, n);
    if (chunk.empty()) throw ESetupError("TVFSTree.InternalCompressFile: ACSize = 0");
    if (out.size() + 4 + chunk.size() > size) {
      out.clear();
      return false;
    }
    uint8_t length[4];
    StoreLE32(length, static_cast<uint32_t>(chunk.size()));
    out.insert(out.end(), length, length + 4);
    out.insert(out.end(), chunk.begin(), chunk.end());
  }
  return true;
}

void TVFSTree::WriteFileContent(int32_t index, const TBytes& content) {
  WritePrepared(file_, nodes_.at(static_cast<size_t>(index)).Entry, content, Prepare(content));
}

int32_t TVFSTree::AddFile(const std::string& package_name, const TBytes& content) {
  if (!file_.IsOpen()) throw ESetupError("VFS: no archive is open to add '" + package_name + "' to");
  // 1. The folders: a name with both a "." and a "\" goes below the part before its last "\";
  // any other name lands in the root under its last component. Names are cut to what a record
  // holds before they are looked up, so a long name finds the entry it made before.
  const size_t last = package_name.rfind('\\');
  const bool into_folder = package_name.find('.') != std::string::npos && last != std::string::npos;
  std::string file_name = last == std::string::npos ? package_name : package_name.substr(last + 1);
  if (file_name.size() > kVfsNameLimit) file_name.resize(kVfsNameLimit);
  if (file_name.empty()) throw ESetupError("VFS: package entry '" + package_name + "' names no file");
  std::vector<std::string> folders;
  if (into_folder && last > 0) folders = SplitFolders(package_name.substr(0, last));
  for (std::string& folder : folders) {
    if (folder.empty()) throw ESetupError("VFS: package entry '" + package_name + "' has an empty folder name");
    if (folder.size() > kVfsNameLimit) folder.resize(kVfsNameLimit);
  }

  // 2. The deepest folder of the path that exists, tried from the whole path upwards.
  int32_t at = -1;
  size_t existing = 0;
  for (size_t k = folders.size(); k > 0 && at < 0; --k) {
    std::string prefix = folders[0];
    for (size_t i = 1; i < k; ++i) prefix += "\\" + folders[i];
    at = FindDirectory(prefix);
    if (at >= 0) existing = k;
  }
  // 3 (planned). Names below it that exist are used; a file standing where a folder belongs
  // is refused, since writing a table over it would destroy its content.
  for (; existing < folders.size(); ++existing) {
    const int32_t child = FindChild(at, folders[existing]);
    if (child < 0) break;
    if (!Node(child).Entry.IsDirectory()) {
      throw ESetupError("VFS: cannot make folder '" + Node(child).Path + "' for '" + package_name + "': a file has that path");
    }
    at = child;
  }
  const size_t new_folders = folders.size() - existing;

  // 4 (planned). The entries this file replaces, and the blocks their chains give back.
  std::vector<int32_t> replaced;
  uint64_t freed = 0;
  if (new_folders == 0) {
    const std::vector<int32_t> siblings = at < 0 ? std::vector<int32_t>() : Node(at).Children;
    if (at < 0) {
      for (const TVFSNode& n : nodes_) {
        if (n.Index >= 0 && n.Parent < 0 && SameTextAscii(n.Entry.Name, file_name)) replaced.push_back(n.Index);
      }
    } else {
      for (int32_t c : siblings) {
        if (c >= 0 && SameTextAscii(nodes_[c].Entry.Name, file_name)) replaced.push_back(c);
      }
    }
    std::vector<uint32_t> blocks;
    std::string error;
    for (int32_t r : replaced) {
      for (int32_t n : Subtree(r)) {
        if (!file_.WalkChain(nodes_[n].Entry.FirstBlock, blocks, error)) {
          throw ESetupError("VFS archive " + file_.Path() + ": '" + nodes_[n].Path + "': " + error);
        }
        freed += blocks.size();
      }
    }
  }

  // Room for everything before anything changes, so a refused file leaves the archive as it
  // was: the file's chain, a block for each new folder, and for each table that gains a record
  // the blocks that record can add (a table that moves frees its old chain first).
  const TPreparedContent prepared = Prepare(content);
  const uint64_t stored = prepared.Compressed ? prepared.Packed.size() : content.size();
  const uint64_t growth = file_.BlocksFor(kVfsEntryRecordSize);
  const uint64_t needed = file_.BlocksFor(stored) + growth + new_folders * (1 + growth);
  if (needed > file_.FreeBlocks() + freed) {
    throw ESetupError("VFS archive " + file_.Path() + " is full: '" + package_name + "' needs up to " + std::to_string(needed) +
                      " blocks, " + std::to_string(file_.FreeBlocks() + freed) + " are free");
  }
  if (at < 0 && file_.FreeRootSlots() == 0) throw ESetupError("CreateNewFileDir: ROOT Result = Cardinal(-1)");

  // 3. The missing folders, 4. the replaced entries, 5. the file.
  for (size_t i = existing; i < folders.size(); ++i) at = CreateNewFileDir(at, folders[i], true);
  for (int32_t r : replaced) DeleteEntry(r);
  const int32_t index = CreateNewFileDir(at, file_name, false);
  WritePrepared(file_, nodes_[index].Entry, content, prepared);
  RecordEntry(index);
  return index;
}

// ---------------------------------------------------------------- ".ht"

std::vector<TVFSHashRecord> TVFSTree::HashRecords() const {
  std::vector<TVFSHashRecord> records;
  for (const TVFSNode& n : nodes_) {
    if (n.Index < 0 || !n.Entry.IsFile()) continue;
    TVFSHashRecord r;
    r.Hash = SdbmHash(HashKey(n.Path));
    if (r.Hash == 0) continue;  // 0 marks an empty place in the index
    r.Flags = n.Entry.Flags;
    r.StoredSize = n.Entry.StoredSize;
    r.ContentSize = n.Entry.ContentSize;
    r.FirstBlock = n.Entry.FirstBlock;
    r.Valid = 1;
    records.push_back(r);
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const TVFSHashRecord& a, const TVFSHashRecord& b) { return a.Hash < b.Hash; });
  // Of files sharing a hash the first visited keeps its record, marked not valid.
  std::vector<TVFSHashRecord> folded;
  for (const TVFSHashRecord& r : records) {
    if (!folded.empty() && folded.back().Hash == r.Hash) folded.back().Valid = 0;
    else folded.push_back(r);
  }
  return folded;
}

bool TVFSTree::HasFiles() const {
  return std::any_of(nodes_.begin(), nodes_.end(), [](const TVFSNode& n) { return n.Index >= 0 && n.Entry.IsFile(); });
}

}  // namespace setup

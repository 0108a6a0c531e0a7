// Every invariant of a VFS archive and its ".ht" index, checked on a read-only opening: what
// "vfstool check" reports and what the tests ask of each archive they change.
#include "archives/vfs_check.h"

#include <algorithm>
#include <map>
#include <set>

#include "archives/vfs_file.h"
#include "archives/vfs_hash_index.h"
#include "core/text.h"

namespace setup {

namespace {

// Orphaned or doubly owned blocks are reported one by one up to this many, then counted.
constexpr size_t kBlockReportLimit = 20;

std::string Digest(const uint8_t d[16]) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    text += digits[d[i] >> 4];
    text += digits[d[i] & 15];
  }
  return text;
}

}  // namespace

TVfsCheckResult CheckVfsArchive(const std::string& path) {
  TVfsCheckResult result;
  auto problem = [&result](const std::string& text) { result.Problems.push_back(text); };
  TVFSFile file;
  if (!file.Open(path, true, {}, true)) {
    problem(file.ErrorText());
    return result;
  }
  const TVFSHeader& h = file.Header();
  const std::vector<TVFSLink>& links = file.Links();
  const TVFSTree& tree = file.Tree();

  // Links: free ones all zero, used ones marked in use and pointing inside the archive.
  uint32_t used = 0;
  for (uint32_t k = 1; k <= h.BlockCount; ++k) {
    const TVFSLink& link = links[k - 1];
    if (link.Free()) {
      if (link.InUse != 0) problem("block " + std::to_string(k) + " is free (next 0) but marked in use " + std::to_string(link.InUse));
      continue;
    }
    ++used;
    if (link.InUse != 1) problem("block " + std::to_string(k) + " has next " + std::to_string(link.Next) + " but in-use " + std::to_string(link.InUse));
    if (link.Next != kVfsChainEnd && (link.Next < 1 || static_cast<uint32_t>(link.Next) > h.BlockCount)) {
      problem("block " + std::to_string(k) + " links to block " + std::to_string(link.Next) + " outside 1.." + std::to_string(h.BlockCount));
    }
  }
  if (h.UsedBlocks != used) {
    problem("the header counts " + std::to_string(h.UsedBlocks) + " used blocks; the links have " + std::to_string(used));
  }

  // Entries and their chains: sound, of the right length, zero tails, owned once.
  std::vector<int32_t> owner(static_cast<size_t>(h.BlockCount) + 1, -1);
  size_t shared = 0;
  std::map<std::pair<int32_t, std::string>, int32_t> names;  // (parent, lower-cased name)
  std::vector<uint32_t> blocks;
  std::string error;
  for (const TVFSNode& node : tree.Nodes()) {
    if (node.Index < 0) continue;
    const TVFSEntry& e = node.Entry;
    const std::string who = "'" + node.Path + "'";
    const uint32_t kind = e.Flags & (kVfsFlagFile | kVfsFlagDirectory);
    if (kind != kVfsFlagFile && kind != kVfsFlagDirectory) problem(who + ": flags " + std::to_string(e.Flags) + " make it neither a file nor a folder");
    if ((e.Flags & ~(kVfsFlagFile | kVfsFlagDirectory | kVfsFlagCompressed)) != 0) problem(who + ": unknown flags " + std::to_string(e.Flags));
    if (e.IsDirectory() && e.IsCompressed()) problem(who + ": a folder marked compressed");
    if (!e.IsCompressed() && e.ContentSize != 0) problem(who + ": content size " + std::to_string(e.ContentSize) + " without compression");
    if (e.IsDirectory() && e.StoredSize % kVfsEntryRecordSize != 0) {
      problem(who + ": folder table of " + std::to_string(e.StoredSize) + " bytes is not whole records");
    }
    if (e.Name.empty()) problem("an entry with an empty name in '" + (node.Parent < 0 ? std::string("root") : tree.Node(node.Parent).Path) + "'");
    if (!names.emplace(std::make_pair(node.Parent, LowerAscii(e.Name)), node.Index).second) problem(who + ": a second entry of that name");

    if (!file.WalkChain(e.FirstBlock, blocks, error)) {
      problem(who + ": " + error);
      continue;
    }
    const uint32_t expected = file.BlocksFor(e.StoredSize);
    if (blocks.size() != expected) {
      problem(who + ": chain of " + std::to_string(blocks.size()) + " blocks for " + std::to_string(e.StoredSize) +
              " stored bytes (" + std::to_string(expected) + " expected)");
    }
    for (uint32_t b : blocks) {
      if (owner[b] >= 0) {
        if (shared++ < kBlockReportLimit) problem("block " + std::to_string(b) + " belongs to '" + tree.Node(owner[b]).Path + "' and " + who);
      } else {
        owner[b] = node.Index;
      }
    }
    if (blocks.size() == expected) {
      const uint64_t in_last = e.StoredSize - static_cast<uint64_t>(expected - 1) * h.BlockSize;
      TBytes tail(static_cast<size_t>(h.BlockSize - in_last));
      if (!file.ReadAt(file.BlockOffset(blocks.back()) + in_last, tail.data(), tail.size())) {
        problem(who + ": cannot read the last block " + std::to_string(blocks.back()));
      } else {
        for (uint8_t byte : tail) {
          if (byte != 0) {
            problem(who + ": the tail of its last block " + std::to_string(blocks.back()) + " is not zero");
            break;
          }
        }
      }
    }
    TBytes content;
    if (e.IsFile() && !file.ReadContent(e, content)) problem(who + ": " + file.ErrorText());
  }
  if (shared > kBlockReportLimit) problem(std::to_string(shared) + " blocks belong to more than one entry");
  size_t orphans = 0;
  for (uint32_t k = 1; k <= h.BlockCount; ++k) {
    if (!links[k - 1].Free() && owner[k] < 0 && orphans++ < kBlockReportLimit) problem("block " + std::to_string(k) + " is in use but in no entry's chain");
  }
  if (orphans > kBlockReportLimit) problem(std::to_string(orphans) + " blocks in use are in no entry's chain");

  // The digest of bytes 44 to the end.
  const uint8_t zero[16] = {};
  if (std::equal(h.Digest, h.Digest + 16, zero)) {
    result.Notes.push_back("saved without a digest");
  } else {
    uint8_t actual[16];
    try {
      if (!file.ComputeDigest(actual)) result.Notes.push_back("no MD5 available: the digest is not checked");
      else if (!std::equal(actual, actual + 16, h.Digest)) problem("digest " + Digest(h.Digest) + " in the header, " + Digest(actual) + " computed");
    } catch (const std::exception& e) {
      problem(std::string("digest: ") + e.what());
    }
  }

  // The ".ht" index: present exactly when there are files, sorted, matching the files.
  const std::string ht_path = HashFilePath(path);
  std::map<uint32_t, std::vector<const TVFSEntry*>> by_hash;
  bool has_files = false;
  for (const TVFSNode& node : tree.Nodes()) {
    if (node.Index < 0 || !node.Entry.IsFile()) continue;
    has_files = true;
    const uint32_t hash = SdbmHash(HashKey(node.Path));
    if (hash != 0) by_hash[hash].push_back(&node.Entry);
  }
  TArchiveFileSystem& files = NativeArchiveFileSystem();
  if (!files.Exists(ht_path)) {
    if (has_files) problem("no index " + ht_path + " though the archive holds files");
    return result;
  }
  TVFSHashFile ht;
  if (!ht.Load(ht_path)) {
    problem(ht_path + ": the record count does not fit the file");
    return result;
  }
  if (!has_files) problem(ht_path + " is there though the archive holds no files");
  const std::unique_ptr<TArchiveFile> index = files.OpenForReading(ht_path);
  const int64_t size = index ? static_cast<int64_t>(index->Size()) : -1;
  if (size != static_cast<int64_t>(4 + ht.Records.size() * kVfsHashRecordSize)) {
    problem(ht_path + ": " + std::to_string(size) + " bytes for " + std::to_string(ht.Records.size()) + " records");
  }
  std::set<uint32_t> seen;
  for (size_t i = 0; i < ht.Records.size(); ++i) {
    const TVFSHashRecord& r = ht.Records[i];
    const std::string which = ht_path + " record " + std::to_string(i);
    if (i > 0 && ht.Records[i - 1].Hash >= r.Hash) problem(which + ": hash " + std::to_string(r.Hash) + " out of order");
    seen.insert(r.Hash);
    auto it = by_hash.find(r.Hash);
    if (it == by_hash.end()) {
      problem(which + ": hash " + std::to_string(r.Hash) + " names no file");
      continue;
    }
    const bool unique = it->second.size() == 1;
    if (r.Valid != (unique ? 1 : 0)) problem(which + ": valid byte " + std::to_string(r.Valid) + " for " + std::to_string(it->second.size()) + " file(s) of that hash");
    bool matches = false;
    for (const TVFSEntry* e : it->second) {
      matches = matches || (r.Flags == e->Flags && r.StoredSize == e->StoredSize && r.ContentSize == e->ContentSize &&
                            r.FirstBlock == e->FirstBlock);
    }
    if (!matches) problem(which + ": fields match no file of hash " + std::to_string(r.Hash));
  }
  for (const auto& [hash, entries] : by_hash) {
    if (!seen.count(hash)) problem(ht_path + ": no record for '" + entries.front()->Name + "' (hash " + std::to_string(hash) + ")");
  }
  return result;
}

}  // namespace setup

// VFS archives: a small file system of fixed size inside one file, patched in place by the
// "vfsupdate" script command, and the ".ht" index of its files kept beside it.
//
// Layout (all integers little-endian; T is the text length, N the block count, R the number
// of root slots, B the block size):
//
//   0  identifier        4  B               8  N              12  R
//  16  three values carried over unchanged (16, 20, 24)
//  28  MD5 of bytes 44 to the end of the file, as of the last save (16 bytes)
//  44  T (at least 256)  48  T header bytes (256 text bytes, then T - 256 further bytes)
//  48 + T        used block count
//  52 + T        block links, N x 8:   in-use u32 (1 or 0), next i32 (block number counted
//                                      from 1; -1 ends a chain; 0 marks a free block)
//  52 + T + 8N   root table, R x 88:   entry records; an empty name marks a free slot
//  52 + T + 8N + 88R   data area, N x B: block k at (k - 1) x B
//
//   entry record:  0 name (65 bytes, zero-padded; a 65-character name has no zero)
//                 65 zero (3)   68 flags (1 file, 2 directory, 8 compressed)
//                 72 DOS date and time (time 00:00:00)   76 first block
//                 80 stored size (bytes in the chain)     84 content size when compressed, else 0
//
// Every entry owns one chain of at least one block, the last block's tail zero. A directory's
// chain holds its children's records back to back. A compressed file's chain is a run of
// chunks: u32 length L and L bytes of a level-9 zlib stream of the next at most 50,000
// content bytes.
//
//   ".ht":  u32 count C, then C x 21 bytes: hash, flags, stored size, content size, first
//           block (u32 each) and a valid byte (0 when another file has the same hash);
//           sorted by hash, unsigned. The hash is sdbm over the file's path with its last
//           "\" turned into "/".
//
// Error tiers: Open, ReadStored and ReadContent report failure by their result with the
// message in ErrorText(). Operations that change the archive raise ESetupError when they meet
// a corrupt chain, a full archive or an internal error; the archive on disk is left as
// consistent as the failing step allows (space and root slots are checked before a file is
// replaced, so a refused file leaves the archive unchanged).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archives/archive_progress.h"
#include "core/buffer_manager.h"
#include "core/file_stream.h"

namespace setup {

constexpr uint32_t kVfsFixedHeaderSize = 48;     // up to and with the text length
constexpr uint32_t kVfsDigestOffset = 28;
constexpr uint32_t kVfsDigestedFrom = 44;        // the digest covers bytes 44 to the end
constexpr uint32_t kVfsStandardTextLength = 256;
constexpr uint32_t kVfsLinkSize = 8;
constexpr uint32_t kVfsEntryRecordSize = 88;
constexpr uint32_t kVfsNameLimit = 65;
constexpr uint32_t kVfsChunkSize = 50000;        // content bytes per compressed chunk
constexpr uint32_t kVfsHashRecordSize = 21;
constexpr int32_t kVfsChainEnd = -1;

enum : uint32_t { kVfsFlagFile = 1, kVfsFlagDirectory = 2, kVfsFlagCompressed = 8 };

struct TVFSEntry {
  std::string Name;  // at most 65 characters; empty marks a free root slot
  uint32_t Flags = 0;
  uint32_t Date = 0;
  uint32_t FirstBlock = 0;
  uint32_t StoredSize = 0;
  uint32_t ContentSize = 0;

  bool IsFile() const { return (Flags & kVfsFlagFile) != 0; }
  bool IsDirectory() const { return (Flags & kVfsFlagDirectory) != 0; }
  bool IsCompressed() const { return (Flags & kVfsFlagCompressed) != 0; }
  // The length of the content: ContentSize when compressed, else StoredSize.
  uint32_t Length() const { return IsCompressed() ? ContentSize : StoredSize; }
};

struct TVFSLink {
  uint32_t InUse = 0;
  int32_t Next = 0;
  bool Free() const { return Next == 0; }
};

struct TVFSHeader {
  uint32_t Identifier = 0;
  uint32_t BlockSize = 0;
  uint32_t BlockCount = 0;
  uint32_t RootCount = 0;
  uint32_t Carried[3] = {0, 0, 0};
  uint8_t Digest[16] = {};
  uint32_t TextLength = kVfsStandardTextLength;
  TBytes Text;     // the first 256 header bytes after the length
  TBytes Further;  // the T - 256 bytes after them
  uint32_t UsedBlocks = 0;  // as read; a save writes the count of blocks in use
};

// The 88-byte record of an entry, and back; the name is cut at its first zero byte.
void EncodeEntryRecord(const TVFSEntry& entry, uint8_t record[kVfsEntryRecordSize]);
TVFSEntry DecodeEntryRecord(TBufferManager& cursor);

// A read cursor over a copy of one entry's stored bytes; reads return fewer bytes at the end.
class TVFSFileBuffer {
 public:
  explicit TVFSFileBuffer(TBytes bytes) : bytes_(std::move(bytes)) {}
  size_t Read(void* destination, size_t n);
  size_t Size() const { return bytes_.size(); }
  size_t Position() const { return position_; }
  const TBytes& Bytes() const { return bytes_; }

 private:
  TBytes bytes_;
  size_t position_ = 0;
};

// ---------------------------------------------------------------- ".ht" index

struct TVFSHashRecord {
  uint32_t Hash = 0;
  uint32_t Flags = 0;
  uint32_t StoredSize = 0;
  uint32_t ContentSize = 0;
  uint32_t FirstBlock = 0;
  uint8_t Valid = 1;
};

// h = h * 65599 + byte over the key, modulo 2^32.
uint32_t SdbmHash(std::string_view key);
// The path with its last "\" turned into "/"; a name without "\" is its own key.
std::string HashKey(std::string_view full_path);
// The archive path with its extension replaced by ".ht", or ".ht" appended when it has none.
std::string HashFilePath(std::string_view archive_path);

class TVFSHashFile {
 public:
  // False, with nothing loaded, when the file is missing or its count does not match its size.
  bool Load(const std::string& path);
  bool LoadFromBytes(const uint8_t* data, size_t size);
  // Raises ESetupError when the file cannot be written.
  void Save(const std::string& path) const;
  static TBytes Serialize(const std::vector<TVFSHashRecord>& records);

  std::vector<TVFSHashRecord> Records;
  bool Loaded = false;
};

// ---------------------------------------------------------------- tree of entries

class TVFSFile;

struct TVFSNode {
  int32_t Index = -1;  // its own slot; -1 when the slot is free
  std::string Path;    // names joined by "\"
  TVFSEntry Entry;
  std::vector<int32_t> Children;  // node indices; -1 marks a free position
  int32_t Parent = -1;            // -1 for root entries
  int32_t RootSlot = -1;          // the root table slot of a root entry, else -1
};

// All entries of an open archive. Changing operations write through to the archive at once.
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
  // Deletes the ".ht" file and writes it anew when the tree holds files.
  void BuildHashFile(const std::string& path) const;

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

// ---------------------------------------------------------------- the open archive

// The geometry of a new archive.
struct TVFSGeometry {
  uint32_t BlockSize = 4096;
  uint32_t BlockCount = 1024;
  uint32_t RootSlots = 64;
  uint32_t Identifier = 0;
};

using TVFSOpenProgress = std::function<void(uint32_t position, uint32_t total)>;

class TVFSFile {
 public:
  TVFSFile();
  ~TVFSFile();
  TVFSFile(const TVFSFile&) = delete;
  TVFSFile& operator=(const TVFSFile&) = delete;

  // Writes an archive with no entries and all blocks free, with its digest. False when the
  // file cannot be written or the geometry is outside the reader's limits.
  static bool Create(const std::string& path, const TVFSGeometry& geometry);

  // Reads header, links and root table. Hash mode loads every directory into the tree;
  // otherwise the ".ht" records are read to be written back by Save. False with ErrorText()
  // when the file cannot be opened or does not hold a sound archive. Read-only opening
  // serves the tools; changes then fail.
  bool Open(const std::string& path, bool hash_mode, const TVFSOpenProgress& progress = {}, bool read_only = false);
  // Writes the header (used block count, digest) and the ".ht" file; see the header comment.
  void Save(bool without_digest);
  // Frees everything and closes the file; nothing is saved.
  void Close();
  // Hands buffered writes to the system; raises ESetupError when that fails.
  void Flush();
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& ErrorText() const { return error_; }
  const std::string& Path() const { return path_; }
  bool HashMode() const { return hash_mode_; }

  // --- reading ---
  // The entry's stored bytes (empty for stored size 0); false on a chain that loops, ends
  // early, runs through a free block or names a block out of range.
  bool ReadStored(const TVFSEntry& entry, TBytes& out);
  // A cursor over the stored bytes; null for stored size 0 or a corrupt chain.
  std::unique_ptr<TVFSFileBuffer> ReadEntry(const TVFSEntry& entry);
  // A file's content, unpacked when it is compressed; false when it does not decode.
  bool ReadContent(const TVFSEntry& entry, TBytes& out);
  // Every block of the chain from first, through the block whose next is -1; false with a
  // message on a loop, a free block or a block out of range.
  bool WalkChain(uint32_t first, std::vector<uint32_t>& blocks, std::string& error) const;
  // Up to n bytes of the file at an absolute offset; false when fewer could be read.
  bool ReadAt(uint64_t offset, void* buffer, size_t n);

  // --- changing; each raises ESetupError as the header comment says ---
  // A new chain of the lowest free blocks holding the bytes; sets first block, stored size and
  // date. No bytes and size 0 make one zero block; bytes with size 0 are an internal error.
  void WriteFile(TVFSEntry& entry, const uint8_t* bytes, size_t size);
  // The bytes written over the entry's existing chain, which must be long enough.
  void RewriteInPlace(TVFSEntry& entry, const uint8_t* bytes, size_t size);
  void FreeChain(const TVFSEntry& entry);
  void WriteRootRecord(uint32_t slot, const TVFSEntry& entry);
  void ZeroRootRecord(uint32_t slot);
  // The first root slot with an empty name, taken for name (not empty); -1 when none is free.
  int32_t TakeRootSlot(const std::string& name);

  // --- state ---
  const TVFSHeader& Header() const { return header_; }
  const std::vector<TVFSLink>& Links() const { return links_; }
  const std::vector<TVFSEntry>& RootTable() const { return root_; }
  TVFSTree& Tree() { return tree_; }
  const TVFSTree& Tree() const { return tree_; }
  TVFSHashFile& HashFile() { return hash_file_; }
  uint32_t FreeBlocks() const { return free_blocks_; }
  uint32_t FreeRootSlots() const;
  uint32_t UsedBlocks() const { return header_.BlockCount - free_blocks_; }
  // Blocks a chain of size bytes takes: at least one.
  uint32_t BlocksFor(uint64_t size) const;
  uint64_t LinkTableOffset() const { return links_offset_; }
  uint64_t RootTableOffset() const { return root_offset_; }
  uint64_t DataOffset() const { return data_offset_; }
  uint64_t BlockOffset(uint32_t block) const {
    return data_offset_ + static_cast<uint64_t>(block - 1) * header_.BlockSize;
  }
  uint64_t FileSize() const { return file_size_; }
  // The MD5 of bytes 44 to the end as the file stands; false when no digest is available.
  // Raises ESetupError("MD5 Error") when the service fails.
  bool ComputeDigest(uint8_t digest[16]);

  // The date written into changed records: today's DOS date, time 00:00:00. Tests set it.
  std::function<uint32_t()> Today;

 private:
  bool Fail(const std::string& message);
  void WriteAt(uint64_t offset, const void* data, size_t n);
  std::vector<uint32_t> CollectChain(uint32_t first) const;  // WalkChain, raising on error
  std::vector<uint32_t> AllocateBlocks(uint32_t count);
  void WriteLinks(const std::vector<uint32_t>& blocks, bool chain);
  void WriteBlocks(const std::vector<uint32_t>& blocks, const uint8_t* bytes, size_t size);

  std::unique_ptr<TFileStream> file_;
  std::string path_;
  std::string error_;
  bool hash_mode_ = false;
  uint64_t file_size_ = 0;
  TVFSHeader header_;
  std::vector<TVFSLink> links_;
  std::vector<TVFSEntry> root_;
  uint64_t links_offset_ = 0;
  uint64_t root_offset_ = 0;
  uint64_t data_offset_ = 0;
  uint32_t free_blocks_ = 0;
  uint32_t lowest_free_hint_ = 1;  // no free block lies below it
  TVFSTree tree_;
  TVFSHashFile hash_file_;
};

// Today's date as a DOS date in the high word, time 00:00:00 in the low word.
uint32_t TodayDosDate();

// ---------------------------------------------------------------- checking

// Every invariant of an archive and its ".ht" file: header and tables in the file, links
// well-formed, chains sound, disjoint and of the right length with zero tails, no block in use
// outside a chain, the used block count, records and compressed content, the digest, and the
// ".ht" records matching the files in order.
struct TVfsCheckResult {
  std::vector<std::string> Problems;
  std::vector<std::string> Notes;
  bool Sound() const { return Problems.empty(); }
};
TVfsCheckResult CheckVfsArchive(const std::string& path);

// ---------------------------------------------------------------- "vfsupdate"

enum class TVfsUpdateResult {
  NothingToDo,     // the group has no entries
  Updated,
  ArchiveMissing,  // the box was shown; the caller ends the script as "failure" does
};

// Writes the entries of a setup package group into the archive install dir + "\" + name. The
// archive stays open for the next call unless close_after is set; an archive left open from an
// earlier call is saved and closed first. Status texts and progress steps go through progress.
// Raises ESetupError when the archive is not sound or a change fails; the archive is then
// still saved and closed when close_after is set.
TVfsUpdateResult VfsUpdateFromPackage(uint16_t group, const std::string& archive_name, bool close_after,
                                      const TArchiveProgress& progress);
// The archive an earlier update left open, saved with its digest and closed; nothing when none.
void SaveAndCloseVfsArchive(const TArchiveProgress& progress);
// The archive an earlier update left open, or null.
TVFSFile* OpenVfsArchive();
const std::string& OpenVfsArchiveName();

}  // namespace setup

// The open VFS archive: header, block links and root table, chains read and written block by
// block, and the save that writes the header with its digest and the ".ht" index.
//
// Error tiers: Open, ReadStored and ReadContent report failure by their result with the
// message in ErrorText(). Operations that change the archive raise ESetupError when they meet
// a corrupt chain, a full archive, a failed write or an internal error.
//
// Everything from opening for update to the save is one change under a rollback journal
// (journaled_file.h): the archive and its index on the disk are either as they were before it
// or as saved. An archive closed without its save, or stopped anywhere in between (a killed
// process, a full disk), is given back as it was by the next opening for update or by
// RecoverVfsArchive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archives/archive_file.h"
#include "archives/journaled_file.h"
#include "archives/rollback_journal.h"
#include "archives/vfs_hash_index.h"
#include "archives/vfs_records.h"
#include "archives/vfs_tree.h"
#include "core/buffer_manager.h"

namespace setup {

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

// The geometry of a new archive.
struct TVFSGeometry {
  uint32_t BlockSize = 4096;
  uint32_t BlockCount = 1024;
  uint32_t RootSlots = 64;
  uint32_t Identifier = 0;
};

using TVFSOpenProgress = std::function<void(uint32_t position, uint32_t total)>;

// Undoes an interrupted change of the archive at path: plays back its journal and its index's
// (an index journal whose archive has none is what a committed change leaves: it is removed).
TRecovery RecoverVfsArchive(TArchiveFileSystem& files, const std::string& path);

class TVFSFile {
 public:
  explicit TVFSFile(TArchiveFileSystem& files = NativeArchiveFileSystem());
  ~TVFSFile();
  TVFSFile(const TVFSFile&) = delete;
  TVFSFile& operator=(const TVFSFile&) = delete;

  // Writes an archive with no entries and all blocks free, with its digest. False when the
  // file cannot be written or the geometry is outside the reader's limits.
  static bool Create(const std::string& path, const TVFSGeometry& geometry,
                     TArchiveFileSystem& files = NativeArchiveFileSystem());

  // Reads header, links and root table. Hash mode loads every directory into the tree;
  // otherwise the ".ht" records are read to be written back by Save. False with ErrorText()
  // when the file cannot be opened or does not hold a sound archive. Read-only opening
  // serves the tools; changes then fail. Opening for update first undoes an interrupted
  // change (Recovery() tells how); a journal that cannot be played back fails the opening.
  bool Open(const std::string& path, bool hash_mode, const TVFSOpenProgress& progress = {}, bool read_only = false);
  // Writes the header (the used block count and, unless asked not to, the digest). In hash
  // mode the ".ht" file is built anew from the tree; otherwise the records read at opening
  // are written back, if there were any. Then commits: the change since the opening or the
  // last save is whole on the disk.
  void Save(bool without_digest);
  // Frees everything and closes the file; nothing is saved, and changes since the opening or
  // the last save are undone by the next opening for update.
  void Close();
  // Hands held writes on through the journal; raises ESetupError when that fails.
  void Flush();
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& ErrorText() const { return error_; }
  const TRecovery& Recovery() const { return recovery_; }
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

  // --- changing; each raises ESetupError on a corrupt chain, a full archive or a failed write ---
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
  // Most bytes of changes held in memory before they are journaled and written (set before Open).
  size_t HeldWriteLimit = TJournaledFile::kDefaultHeldLimit;

 private:
  bool Fail(const std::string& message);
  void WriteAt(uint64_t offset, const void* data, size_t n);
  std::vector<uint32_t> CollectChain(uint32_t first) const;  // WalkChain, raising on error
  std::vector<uint32_t> AllocateBlocks(uint32_t count);
  void WriteLinks(const std::vector<uint32_t>& blocks, bool chain);
  void WriteBlocks(const std::vector<uint32_t>& blocks, const uint8_t* bytes, size_t size);

  // The .ht file written under its own journal, synced; committed after the archive.
  std::unique_ptr<TJournaledFile> WriteIndex(const TBytes& bytes);
  [[noreturn]] void WriteFailed(const std::string& what);

  TArchiveFileSystem& files_;
  std::unique_ptr<TArchiveFile> file_;
  TJournaledFile* journaled_ = nullptr;  // file_ when open for update
  TRecovery recovery_;
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

}  // namespace setup

// An archive file changed in place under a rollback journal, for updates that write many small
// ranges all over the file (the VFS update: links, blocks, records, folder tables, header).
//
// Writes are held in memory and handed on in batches: at a checkpoint the original bytes of every
// held range are saved in the journal, the journal is synced once, and only then are the ranges
// written to the archive. Reads see the held writes. A checkpoint comes when the held bytes
// pass a limit, on Flush, Sync and Truncate, and on Commit, which also syncs the archive and
// removes the journal. An object dropped without its Commit leaves the journal for the next
// open to undo every change it made; writes still held are simply lost, as the archive never
// saw them.
//
// After a failed write, sync or journal save every further change fails too: the archive must
// be given back by recovery, not patched further.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "archives/archive_file.h"
#include "archives/rollback_journal.h"

namespace setup {

class TJournaledFile : public TArchiveFile {
 public:
  // The journal is "<path>-journal", begun at the first checkpoint that has changes to make.
  TJournaledFile(TArchiveFileSystem& files, std::string path, std::unique_ptr<TArchiveFile> archive,
                 size_t held_limit = kDefaultHeldLimit);
  ~TJournaledFile() override;

  uint64_t Size() override;
  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override;
  size_t WriteAt(uint64_t offset, const void* buffer, size_t n) override;
  bool Truncate(uint64_t size) override;
  bool Flush() override { return Checkpoint(); }
  bool Sync() override { return Checkpoint() && Noted(archive_->Sync()); }
  std::string LastError() override { return error_; }

  // Syncs the archive, then removes the journal: the change is whole on the disk. True when
  // nothing was ever changed.
  bool Commit();
  bool Changed() const { return journal_.Active(); }

  static constexpr size_t kDefaultHeldLimit = 8u << 20;

 private:
  bool Checkpoint();
  bool Noted(bool ok);
  bool JournalBegun();  // begins the journal unless it is
  bool JournalFailed();

  TArchiveFileSystem& files_;
  std::string path_;
  std::unique_ptr<TArchiveFile> archive_;
  TRollbackJournal journal_;
  std::map<uint64_t, TBytes> held_;  // start -> bytes; disjoint, not touching
  size_t held_bytes_ = 0;
  size_t held_limit_;
  uint64_t size_ = 0;         // the archive's size with the held writes
  uint64_t stored_size_ = 0;  // the archive's size on the disk
  bool failed_ = false;
  std::string error_;
};

}  // namespace setup

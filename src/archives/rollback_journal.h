// The rollback journal of an archive changed in place: the original bytes of every range an
// update is about to change, kept beside the archive ("<archive>-journal") until the update is
// whole on the disk.
//
// An update begins the journal (its header holds the archive's original length) and, before it
// first changes a byte range, saves that range's original bytes in a record; the journal is
// synced to the disk before the archive is touched. When the update has closed and the archive
// is synced, removing the journal is the commit. An archive found with a journal beside it was
// stopped in the middle of a change: recovery writes every saved range back, cuts the file to
// its original length and removes the journal, so the archive is again byte for byte what it
// was before the update.
//
// Layout, little-endian:
//
//   header  0  "SETUPJNL"            magic
//           8  u32 version (1)
//          12  u64 original length of the archive
//          20  u32 CRC-32 of bytes 0..19
//   record  0  u64 offset in the archive
//           8  u32 length (1 .. kJournalRecordLimit)
//          12  u32 CRC-32 of bytes 0..11 and of the saved bytes
//          16  the saved bytes
//
// A record is written and synced before the change it covers, so a record that is cut short or
// fails its checksum was never followed by that change: it and anything after it are skipped.
// A damaged header, a record that reaches past the original length, or an original length that
// neither the archive nor the saved ranges reach (only a saved range can have been cut off)
// means the journal cannot be trusted: nothing is written back and the journal is set aside
// under another name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "archives/archive_file.h"

namespace setup {

constexpr size_t kJournalHeaderSize = 24;
constexpr size_t kJournalRecordHeaderSize = 16;
constexpr uint32_t kJournalRecordLimit = 1u << 20;  // most saved bytes in one record

// "<archive>-journal".
std::string JournalPath(const std::string& archive_path);

// The records of a journal as read: the header's original length and, in order, each complete
// record whose checksum holds, up to the first that does not.
struct TJournalContents {
  bool HeaderSound = false;
  uint64_t OriginalLength = 0;
  int Records = 0;            // complete, sound records
  bool TornTail = false;      // bytes after the last sound record (cut short or damaged)
  bool OutOfRange = false;    // a sound record reaches past the original length
  uint64_t SavedEnd = 0;      // the end of the highest range a sound record saved
};

// Walks the journal in file, calling each (when given) for every sound record in order; stops at
// the first record that is cut short or fails its checksum. Reads at most kJournalRecordLimit
// bytes at a time.
TJournalContents ReadJournal(TArchiveFile& file,
                             const std::function<void(uint64_t offset, const TBytes& bytes)>& each = {});

// One update's journal: begun before the first change, saved ranges as the update goes, removed
// as the commit.
class TRollbackJournal {
 public:
  TRollbackJournal() = default;
  TRollbackJournal(const TRollbackJournal&) = delete;
  TRollbackJournal& operator=(const TRollbackJournal&) = delete;

  // Creates the journal at path for archive (its current size is the original length) and
  // syncs its header. False, with nothing begun, when the journal cannot be written.
  bool Begin(TArchiveFileSystem& files, const std::string& path, TArchiveFile& archive);
  // Saves the original bytes of [offset, offset + length) not saved yet, and syncs the journal
  // unless asked not to (SyncSaved then must come before the change). Bytes at or past the
  // original length need no saving (the cut back to it restores them). False when the bytes
  // cannot be read or the journal cannot be written: the archive must not then be changed.
  bool Save(uint64_t offset, uint64_t length, bool sync = true);
  bool SyncSaved();
  // The commit: closes and removes the journal. The archive must be synced first.
  bool Commit();
  // Closes the journal and leaves it on the disk (an update that stops without its commit).
  void Abandon();
  bool Active() const { return journal_ != nullptr; }
  // The system's words for the last failure to write or sync the journal, or empty.
  const std::string& LastError() const { return error_; }
  uint64_t OriginalLength() const { return original_length_; }

 private:
  bool SaveRecord(uint64_t offset, uint32_t length);

  TArchiveFileSystem* files_ = nullptr;
  TArchiveFile* archive_ = nullptr;
  std::unique_ptr<TArchiveFile> journal_;
  std::string path_;
  uint64_t original_length_ = 0;
  uint64_t journal_size_ = 0;
  bool unsynced_ = false;  // records written since the last sync
  std::string error_;
  std::map<uint64_t, uint64_t> saved_;  // start -> end of the ranges saved, disjoint
};

// What recovery found and did.
enum class TRecoveryResult {
  NoJournal,   // nothing to do
  RolledBack,  // the saved ranges written back, the file cut to its length, the journal removed
  SetAside,    // the journal could not be trusted: nothing written, the journal renamed
  Failed,      // the archive could not be opened or written back: the journal stays
};

struct TRecovery {
  TRecoveryResult Result = TRecoveryResult::NoJournal;
  int Records = 0;          // records played back
  bool TornTail = false;    // a record cut short or damaged was skipped (with all after it)
  std::string SetAsideAs;   // the journal's new name for SetAside
  std::string Message;      // one line for the user
};

// Plays back a journal beside the archive, if there is one. Call before an archive is opened
// for update or read.
TRecovery RecoverArchive(TArchiveFileSystem& files, const std::string& archive_path);

// For the tools that read archives as they are: a line warning that a journal lies beside the
// archive (its bytes may be those of an interrupted update), or empty.
std::string JournalWarning(TArchiveFileSystem& files, const std::string& archive_path, const std::string& tool);

}  // namespace setup

// The rollback journal: writing it as an update goes, reading it back, and recovery.
#include "archives/rollback_journal.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "core/byte_order.h"
#include "core/crc.h"

namespace setup {

namespace {

constexpr char kMagic[8] = {'S', 'E', 'T', 'U', 'P', 'J', 'N', 'L'};
constexpr uint32_t kVersion = 1;
constexpr int kSetAsideNames = 100;  // "-journal.damaged", "-journal.damaged1", ...

bool ReadExactly(TArchiveFile& file, uint64_t offset, void* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    const size_t got = file.ReadAt(offset + done, static_cast<uint8_t*>(buffer) + done, n - done);
    if (got == 0) return false;
    done += got;
  }
  return true;
}

bool WriteExactly(TArchiveFile& file, uint64_t offset, const void* buffer, size_t n) {
  return n == 0 || file.WriteAt(offset, buffer, n) == n;
}

}  // namespace

std::string JournalPath(const std::string& archive_path) { return archive_path + "-journal"; }

TJournalContents ReadJournal(TArchiveFile& file, const std::function<void(uint64_t offset, const TBytes& bytes)>& each) {
  TJournalContents contents;
  const uint64_t size = file.Size();
  uint8_t header[kJournalHeaderSize];
  if (size < kJournalHeaderSize || !ReadExactly(file, 0, header, sizeof header)) return contents;
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || LoadLE32(header + 8) != kVersion ||
      LoadLE32(header + 20) != Crc32(header, 20)) {
    return contents;
  }
  contents.HeaderSound = true;
  contents.OriginalLength = LoadLE64(header + 12);

  uint64_t at = kJournalHeaderSize;
  TBytes bytes;
  while (at < size) {
    uint8_t head[kJournalRecordHeaderSize];
    if (size - at < sizeof head || !ReadExactly(file, at, head, sizeof head)) break;
    const uint64_t offset = LoadLE64(head);
    const uint32_t length = LoadLE32(head + 8);
    if (length == 0 || length > kJournalRecordLimit || size - at - sizeof head < length) break;
    bytes.resize(length);
    if (!ReadExactly(file, at + sizeof head, bytes.data(), length)) break;
    if (Crc32(bytes.data(), length, Crc32(head, 12)) != LoadLE32(head + 12)) break;
    if (offset > contents.OriginalLength || contents.OriginalLength - offset < length) {
      contents.OutOfRange = true;
      return contents;
    }
    ++contents.Records;
    if (offset + length > contents.SavedEnd) contents.SavedEnd = offset + length;
    if (each) each(offset, bytes);
    at += sizeof head + length;
  }
  contents.TornTail = at < size;
  return contents;
}

// ---------------------------------------------------------------- writing

bool TRollbackJournal::Begin(TArchiveFileSystem& files, const std::string& path, TArchiveFile& archive) {
  Abandon();
  error_.clear();
  std::unique_ptr<TArchiveFile> journal = files.Create(path);
  if (!journal) return false;
  original_length_ = archive.Size();
  uint8_t header[kJournalHeaderSize];
  std::memcpy(header, kMagic, sizeof kMagic);
  StoreLE32(header + 8, kVersion);
  StoreLE64(header + 12, original_length_);
  StoreLE32(header + 20, Crc32(header, 20));
  if (!WriteExactly(*journal, 0, header, sizeof header) || !journal->Sync()) {
    error_ = journal->LastError();
    journal.reset();
    files.Remove(path);
    return false;
  }
  files_ = &files;
  archive_ = &archive;
  journal_ = std::move(journal);
  path_ = path;
  journal_size_ = sizeof header;
  saved_.clear();
  return true;
}

bool TRollbackJournal::SaveRecord(uint64_t offset, uint32_t length) {
  TBytes record(kJournalRecordHeaderSize + length);
  StoreLE64(record.data(), offset);
  StoreLE32(record.data() + 8, length);
  if (!ReadExactly(*archive_, offset, record.data() + kJournalRecordHeaderSize, length)) return false;
  StoreLE32(record.data() + 12, Crc32(record.data() + kJournalRecordHeaderSize, length, Crc32(record.data(), 12)));
  if (!WriteExactly(*journal_, journal_size_, record.data(), record.size())) {
    error_ = journal_->LastError();
    return false;
  }
  journal_size_ += record.size();
  return true;
}

bool TRollbackJournal::Save(uint64_t offset, uint64_t length, bool sync) {
  if (!journal_) return false;
  if (offset >= original_length_ || length == 0) return true;
  const uint64_t end = original_length_ - offset < length ? original_length_ : offset + length;
  bool wrote = false;
  uint64_t at = offset;
  while (at < end) {
    // Skip what a saved range already covers; save up to the next saved range.
    auto next = saved_.upper_bound(at);
    if (next != saved_.begin()) {
      auto prev = std::prev(next);
      if (prev->second > at) {
        at = prev->second;
        continue;
      }
    }
    const uint64_t gap_end = next != saved_.end() && next->first < end ? next->first : end;
    while (at < gap_end) {
      const uint32_t n = static_cast<uint32_t>(gap_end - at < kJournalRecordLimit ? gap_end - at : kJournalRecordLimit);
      if (!SaveRecord(at, n)) return false;
      saved_[at] = at + n;
      at += n;
      wrote = true;
    }
  }
  if (!wrote) return true;
  unsynced_ = true;
  // Join neighbouring ranges so the map stays small.
  for (auto it = saved_.begin(); it != saved_.end();) {
    auto next = std::next(it);
    if (next != saved_.end() && next->first <= it->second) {
      if (next->second > it->second) it->second = next->second;
      saved_.erase(next);
    } else {
      it = next;
    }
  }
  return !sync || SyncSaved();
}

bool TRollbackJournal::SyncSaved() {
  if (!journal_) return false;
  if (!unsynced_) return true;
  unsynced_ = false;
  if (journal_->Sync()) return true;
  error_ = journal_->LastError();
  return false;
}

bool TRollbackJournal::Commit() {
  if (!journal_) return false;
  journal_.reset();
  const bool removed = files_->Remove(path_);
  saved_.clear();
  return removed;
}

void TRollbackJournal::Abandon() {
  journal_.reset();
  saved_.clear();
  unsynced_ = false;
}

// ---------------------------------------------------------------- recovery

TRecovery RecoverArchive(TArchiveFileSystem& files, const std::string& archive_path) {
  TRecovery recovery;
  const auto failed = [&recovery](std::string message) {
    recovery.Result = TRecoveryResult::Failed;
    recovery.Message = std::move(message);
    return recovery;
  };
  const std::string path = JournalPath(archive_path);
  if (!files.Exists(path)) {
    recovery.Message = archive_path + ": no interrupted update to undo";
    return recovery;
  }

  std::unique_ptr<TArchiveFile> journal = files.OpenForReading(path);
  if (!journal) return failed("The journal " + path + " of an interrupted update cannot be read");
  const TJournalContents contents = ReadJournal(*journal);
  uint64_t archive_size = 0;
  if (std::unique_ptr<TArchiveFile> reading = files.OpenForReading(archive_path)) archive_size = reading->Size();
  const bool reachable = contents.OriginalLength <= archive_size || contents.OriginalLength <= contents.SavedEnd;
  if (!contents.HeaderSound || contents.OutOfRange || !reachable) {
    journal.reset();
    for (int n = 0; n < kSetAsideNames; ++n) {
      const std::string name = path + ".damaged" + (n ? std::to_string(n) : "");
      if (files.Exists(name)) continue;
      if (files.Rename(path, name)) {
        recovery.Result = TRecoveryResult::SetAside;
        recovery.SetAsideAs = name;
        recovery.Message = "The journal beside " + archive_path +
                           " is damaged; nothing was restored from it (kept as " + name + ")";
        return recovery;
      }
      break;
    }
    return failed("The damaged journal " + path + " cannot be set aside");
  }

  std::unique_ptr<TArchiveFile> archive = files.OpenForUpdate(archive_path);
  if (!archive) {
    return failed("The archive " + archive_path + " cannot be opened to undo an interrupted update");
  }
  bool written = true;
  ReadJournal(*journal, [&](uint64_t offset, const TBytes& bytes) {
    written = written && WriteExactly(*archive, offset, bytes.data(), bytes.size());
  });
  journal.reset();
  if (!written || !archive->Truncate(contents.OriginalLength) || !archive->Sync()) {
    return failed("The interrupted update of " + archive_path + " cannot be undone: the archive cannot be written");
  }
  archive.reset();
  if (!files.Remove(path)) {
    return failed("The archive " + archive_path + " was restored, but its journal cannot be removed");
  }
  recovery.Result = TRecoveryResult::RolledBack;
  recovery.Records = contents.Records;
  recovery.TornTail = contents.TornTail;
  recovery.Message = "Undid an interrupted update of " + archive_path + ": " + std::to_string(contents.Records) +
                     " saved range(s) written back, length " + std::to_string(contents.OriginalLength) + " bytes";
  return recovery;
}

std::string JournalWarning(TArchiveFileSystem& files, const std::string& archive_path, const std::string& tool) {
  if (!files.Exists(JournalPath(archive_path))) return {};
  return "warning: " + archive_path + " has the journal of an interrupted update beside it; \"" + tool + " recover " +
         archive_path + "\" gives the archive back as it was before that update";
}

}  // namespace setup

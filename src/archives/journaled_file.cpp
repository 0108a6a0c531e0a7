// Held writes merged into disjoint ranges, a checkpoint that journals them before they reach the
// archive, and the commit.
#include "archives/journaled_file.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace setup {

TJournaledFile::TJournaledFile(TArchiveFileSystem& files, std::string path, std::unique_ptr<TArchiveFile> archive,
                               size_t held_limit)
    : files_(files), path_(std::move(path)), archive_(std::move(archive)), held_limit_(held_limit) {
  size_ = stored_size_ = archive_->Size();
}

TJournaledFile::~TJournaledFile() { journal_.Abandon(); }

bool TJournaledFile::JournalBegun() {
  return journal_.Active() || journal_.Begin(files_, JournalPath(path_), *archive_);
}

bool TJournaledFile::JournalFailed() {
  const std::string& why = journal_.LastError();
  error_ = "cannot write the journal " + JournalPath(path_) + (why.empty() ? "" : ": " + why);
  failed_ = true;
  return false;
}

bool TJournaledFile::Noted(bool ok) {
  if (!ok) {
    failed_ = true;
    if (error_.empty()) error_ = archive_->LastError();
  }
  return ok;
}

uint64_t TJournaledFile::Size() { return size_; }

size_t TJournaledFile::ReadAt(uint64_t offset, void* buffer, size_t n) {
  if (offset >= size_) return 0;
  if (n > size_ - offset) n = static_cast<size_t>(size_ - offset);
  auto* out = static_cast<uint8_t*>(buffer);
  const size_t stored = offset < stored_size_ ? static_cast<size_t>(std::min<uint64_t>(n, stored_size_ - offset)) : 0;
  const size_t got = stored ? archive_->ReadAt(offset, out, stored) : 0;
  if (got < stored) return got;  // the archive does not give what it holds
  // Past the archive's end the held writes have made the file longer; what none covers is zero.
  std::memset(out + got, 0, n - got);
  const uint64_t end = offset + n;
  auto it = held_.upper_bound(offset);
  if (it != held_.begin()) --it;
  for (; it != held_.end() && it->first < end; ++it) {
    const uint64_t from = std::max(offset, it->first);
    const uint64_t to = std::min(end, it->first + it->second.size());
    if (from < to) {
      std::memcpy(out + (from - offset), it->second.data() + (from - it->first), static_cast<size_t>(to - from));
    }
  }
  return n;
}

size_t TJournaledFile::WriteAt(uint64_t offset, const void* buffer, size_t n) {
  if (failed_ || n == 0) return 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  const uint64_t end = offset + n;
  // The held ranges this write overlaps or touches are merged with it into one.
  auto first = held_.upper_bound(offset);
  if (first != held_.begin() && std::prev(first)->first + std::prev(first)->second.size() >= offset) --first;
  auto last = first;
  uint64_t start = offset, stop = end;
  while (last != held_.end() && last->first <= end) {
    start = std::min(start, last->first);
    stop = std::max(stop, last->first + last->second.size());
    ++last;
  }
  for (auto it = first; it != last; ++it) held_bytes_ -= it->second.size();
  TBytes merged;
  auto copy_from = first;
  if (first != last && first->first == start) {
    merged = std::move(first->second);  // a write that extends a range grows it in place
    ++copy_from;
  }
  merged.resize(static_cast<size_t>(stop - start));
  for (auto it = copy_from; it != last; ++it) {
    std::memcpy(merged.data() + (it->first - start), it->second.data(), it->second.size());
  }
  std::memcpy(merged.data() + (offset - start), in, n);
  held_.erase(first, last);
  held_bytes_ += merged.size();
  held_.emplace(start, std::move(merged));
  size_ = std::max(size_, stop);
  if (held_bytes_ >= held_limit_ && !Checkpoint()) return 0;
  return n;
}

bool TJournaledFile::Checkpoint() {
  if (failed_) return false;
  if (held_.empty()) return Noted(archive_->Flush());
  if (!JournalBegun()) return JournalFailed();
  for (const auto& [offset, bytes] : held_) {
    if (!journal_.Save(offset, bytes.size(), false)) return JournalFailed();
  }
  if (!journal_.SyncSaved()) return JournalFailed();
  for (const auto& [offset, bytes] : held_) {
    if (!Noted(archive_->WriteAt(offset, bytes.data(), bytes.size()) == bytes.size())) return false;
    stored_size_ = std::max<uint64_t>(stored_size_, offset + bytes.size());
  }
  held_.clear();
  held_bytes_ = 0;
  return Noted(archive_->Flush());
}

bool TJournaledFile::Truncate(uint64_t size) {
  if (!Checkpoint()) return false;
  const uint64_t now = stored_size_;
  if (size == now) return true;
  if (!JournalBegun()) return JournalFailed();
  if (size < now && !journal_.Save(size, now - size)) return JournalFailed();
  if (!Noted(archive_->Truncate(size))) return false;
  size_ = stored_size_ = size;
  return true;
}

bool TJournaledFile::Commit() {
  if (!Sync()) return false;
  if (!journal_.Active()) return true;
  if (!journal_.Commit()) {
    error_ = "cannot remove the journal " + JournalPath(path_);
    return Noted(false);
  }
  return true;
}

}  // namespace setup

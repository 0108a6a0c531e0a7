// The KZP archive open for update: its directory list, the cut, appended payloads and the
// new ending.
//
// A payload is appended only when it differs from the one the archive already holds under
// that name (same sizes and CRC-32), so running an update twice leaves the second run's
// records, dates included, as the first left them.
//
// The trailer is written under fresh seeds each time. Two things can make a trailer unreadable:
// a seed whose cipher key has no digit, and enciphered password bytes that happen to spell
// "KZP3" (which the reader would take for the start of the trailer) or make the last 13 bytes
// begin with "KZP2" (the old form). Every trailer is read back before it is written, and new
// seeds are drawn until it reads as written.
#include "archives/kzp_archive.h"

#include <chrono>
#include <cstdint>
#include <ctime>

#include "archives/local_date.h"
#include "core/crc.h"
#include "core/error.h"
#include "core/seeded_cipher.h"
#include "core/text.h"

namespace setup {

namespace {

constexpr int kRandomSeedDraws = 1024;  // before the seed pairs are tried in order

bool KeysHaveDigits(uint8_t seed_a, uint8_t seed_b) {
  TMerinEncryptionType cipher;
  cipher.FirstSeed = seed_a;
  cipher.SecondSeed = seed_b;
  return !cipher.SeedKey(true).empty() && !cipher.SeedKey(false).empty();
}

// The trailer bytes are the end of the file: a reader must find exactly them, in the new
// form, with the password and flag written. A false "KZP3" could only lie inside the trailer
// (the search stops at the real block), so the trailer alone decides.
bool ReadsBackAsWritten(const TBytes& trailer, const std::string& password, uint8_t official) {
  TKzpTrailer read;
  std::string error;
  return ParseKzpTrailer(trailer.data(), trailer.size(), read, error) && read.Form == TKzpTrailerForm::Eih2 &&
         read.Length == trailer.size() && read.Password == password && read.Official == official;
}

}  // namespace

std::string KzpRecordName(std::string_view name) {
  return std::string(name.substr(0, name.size() < kKzpMaxNameBytes ? name.size() : kKzpMaxNameBytes));
}

// ---------------------------------------------------------------- directory list

void TKzpDirectory::Clear() {
  slots_.clear();
  by_name_.clear();
  count_ = 0;
}

void TKzpDirectory::Append(TKzpRecord record) {
  by_name_[LowerAscii(record.Name)].push_back(slots_.size());
  slots_.emplace_back(std::move(record));
  ++count_;
}

TKzpRecord* TKzpDirectory::Find(std::string_view name) {
  const auto it = by_name_.find(LowerAscii(name));
  return it == by_name_.end() ? nullptr : &*slots_[it->second.front()];
}

void TKzpDirectory::Remove(std::string_view name) {
  const auto it = by_name_.find(LowerAscii(name));
  if (it == by_name_.end()) return;
  for (size_t slot : it->second) slots_[slot].reset();
  count_ -= it->second.size();
  by_name_.erase(it);
}

std::vector<TKzpRecord> TKzpDirectory::Records() const {
  std::vector<TKzpRecord> out;
  out.reserve(count_);
  for (const auto& slot : slots_) {
    if (slot) out.push_back(*slot);
  }
  return out;
}

// ---------------------------------------------------------------- the open archive

// The generator draws only the trailer's two seed bytes, which vary between archives but
// protect nothing; the clock, a fine counter and the object's address seed it well enough
// without the system's entropy source and the library code behind std::random_device.
TKzpArchive::TKzpArchive() {
  const auto ticks = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const auto where = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(this));
  std::seed_seq seeds{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32), static_cast<uint32_t>(where),
                      static_cast<uint32_t>(std::time(nullptr))};
  random_.seed(seeds);
}

TKzpArchive::~TKzpArchive() = default;

void TKzpArchive::Close() {
  journal_.Abandon();
  file_.reset();
  directory_.Clear();
  directory_start_ = 0;
  write_position_ = 0;
  cut_ = false;
}

TKzpOpenResult TKzpArchive::Open(TArchiveFileSystem& files, const std::string& path) {
  Close();
  path_ = path;
  error_.clear();
  files_ = &files;
  recovery_ = RecoverArchive(files, path);
  if (recovery_.Result == TRecoveryResult::Failed) {
    error_ = recovery_.Message;
    return TKzpOpenResult::Unwritable;
  }
  bool stuck_read_only = false;
  if (files.Exists(path) && files.IsReadOnly(path)) stuck_read_only = !files.ClearAttributes(path);
  file_ = files.OpenForUpdate(path);
  if (!file_) {
    if (stuck_read_only) return TKzpOpenResult::AttributesStuck;
    return files.Exists(path) ? TKzpOpenResult::Unwritable : TKzpOpenResult::NotFound;
  }

  TKzpIndex index;
  if (!ReadKzpIndex(*file_, index, error_)) {
    Close();
    return TKzpOpenResult::Corrupt;
  }
  // The password and flag describe this archive only.
  Password.clear();
  HasPassword = false;
  Official = 0;
  switch (index.Trailer.Form) {
    case TKzpTrailerForm::Eih2:
      Official = index.Trailer.Official;
      [[fallthrough]];
    case TKzpTrailerForm::Old:
    case TKzpTrailerForm::Eih1:
      Password = index.Trailer.Password;
      HasPassword = !Password.empty();
      break;
    case TKzpTrailerForm::None:
    case TKzpTrailerForm::Unknown:
      break;
  }
  for (TKzpRecord& record : index.Records) directory_.Append(std::move(record));
  directory_start_ = index.DirectoryStart;
  write_position_ = directory_start_;
  return TKzpOpenResult::Opened;
}

void TKzpArchive::CutAtDirectory() {
  if (!file_) throw ESetupError("No archive is open to cut at its directory");
  if (Password.size() > kKzpMaxPasswordBytes) {
    const size_t length = Password.size();
    Close();
    throw ESetupError("Archive password of " + std::to_string(length) + " bytes for " + path_ + " exceeds the " +
                      std::to_string(kKzpMaxPasswordBytes) + " bytes its trailer can hold");
  }
  const uint64_t size = file_->Size();
  if (!journal_.Begin(*files_, JournalPath(path_), *file_) || !journal_.Save(directory_start_, size - directory_start_)) {
    Close();
    files_->Remove(JournalPath(path_));  // nothing was changed: a partial journal is of no use
    throw ESetupError("Cannot write the journal " + JournalPath(path_) + "; " + path_ + " was not changed");
  }
  if (!file_->Truncate(directory_start_)) {
    const uint64_t at = directory_start_;
    Close();
    throw ESetupError("Cannot set the end of " + path_ + " at offset " + std::to_string(at));
  }
  cut_ = true;
}

bool TKzpArchive::ReadsBackUnchanged(const TKzpRecord& record, const TBytes& payload) {
  // Only bytes of the data region (old or just appended) can be the entry's payload.
  if (static_cast<uint64_t>(record.Offset) + record.StoredSize > write_position_) return false;
  TBytes stored(record.StoredSize);
  if (file_->ReadAt(record.Offset, stored.data(), stored.size()) != stored.size()) return false;
  return Crc32(stored.data(), stored.size()) == Crc32(payload.data(), payload.size());
}

bool TKzpArchive::AddPayload(std::string_view entry_name, uint8_t method, uint32_t content_size,
                             const TBytes& payload) {
  if (!file_ || !cut_) throw ESetupError("No archive is open to add " + std::string(entry_name) + " to");
  const std::string name = KzpRecordName(entry_name);
  const TKzpRecord* existing = directory_.Find(name);
  if (existing && existing->StoredSize == payload.size() && existing->ContentSize == content_size &&
      ReadsBackUnchanged(*existing, payload)) {
    return true;
  }

  if (payload.size() > UINT32_MAX || write_position_ + payload.size() > UINT32_MAX) {
    throw ESetupError("Archive " + path_ + ": a payload of " + std::to_string(payload.size()) + " bytes at offset " +
                      std::to_string(write_position_) + " would pass the 4 GiB its offsets reach");
  }
  if (file_->WriteAt(write_position_, payload.data(), payload.size()) != payload.size()) return false;

  TKzpRecord record;
  record.Method = method;
  record.Name = existing ? existing->Name : name;  // a replaced entry keeps the archive's spelling
  record.FileDate = Today ? Today() : TodayDosDate();
  record.StoredSize = static_cast<uint32_t>(payload.size());
  record.ContentSize = content_size;
  record.Offset = static_cast<uint32_t>(write_position_);
  write_position_ += payload.size();
  if (existing) directory_.Remove(name);
  directory_.Append(std::move(record));
  return true;
}

TBytes TKzpArchive::FreshTrailer() {
  auto draw = [this]() -> uint8_t {
    return RandomByte ? RandomByte() : static_cast<uint8_t>(random_() & 0xFF);
  };
  for (int attempt = 0; attempt < kRandomSeedDraws; ++attempt) {
    const uint8_t seed_a = draw();
    const uint8_t seed_b = draw();
    if (!KeysHaveDigits(seed_a, seed_b)) continue;
    TBytes trailer = EncodeKzpTrailer(Password, Official, seed_a, seed_b);
    if (ReadsBackAsWritten(trailer, Password, Official)) return trailer;
  }
  // Each pair spells other bytes; one that reads back exists for any password that fits.
  for (int seed_a = 0; seed_a < 256; ++seed_a) {
    for (int seed_b = 0; seed_b < 256; ++seed_b) {
      if (!KeysHaveDigits(static_cast<uint8_t>(seed_a), static_cast<uint8_t>(seed_b))) continue;
      TBytes trailer = EncodeKzpTrailer(Password, Official, static_cast<uint8_t>(seed_a), static_cast<uint8_t>(seed_b));
      if (ReadsBackAsWritten(trailer, Password, Official)) return trailer;
    }
  }
  throw ESetupError("No cipher seeds give " + path_ + " a trailer that reads back");
}

bool TKzpArchive::WriteDirectoryAndClose() {
  if (!file_) return true;
  TBytes out = EncodeKzpDirectoryAndFooter(directory_.Records());
  const TBytes trailer = FreshTrailer();
  out.insert(out.end(), trailer.begin(), trailer.end());
  const bool written = file_->WriteAt(write_position_, out.data(), out.size()) == out.size() &&
                       file_->Truncate(write_position_ + out.size()) && file_->Sync();
  file_.reset();
  const bool committed = written && (!journal_.Active() || journal_.Commit());
  Close();
  return committed;
}

}  // namespace setup

// TPakSystem: patching a KZP archive in place from the setup package.
//
// One archive is open at a time. Opening reads the ending of the file and only then cuts the
// file at the directory, so a wrong password or a missing entry leaves the archive as it was;
// from the cut until the new directory is written the file has no valid ending, and every way
// out of that window either writes the directory or ends the program with a message that
// says the archive is lost. A payload is appended only when it differs from the one the
// archive already holds under that name (same sizes and CRC-32), so running an update twice
// leaves the second run's records, dates included, as the first left them.
//
// The trailer is written under fresh seeds each time. Two things can make a trailer unreadable:
// a seed whose cipher key has no digit, and enciphered password bytes that happen to spell
// "KZP3" (which the reader would take for the start of the trailer) or make the last 13 bytes
// begin with "KZP2" (the old form). Every trailer is read back before it is written, and new
// seeds are drawn until it reads as written.
#include "archives/local_date.h"
#include "archives/kzp_archive.h"

#include <cstdlib>
#include <ctime>

#include "core/crc.h"
#include "core/deflate.h"
#include "core/error.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/seeded_cipher.h"
#include "core/setup_state.h"
#include "core/text.h"

namespace setup {

namespace {

constexpr char kAccessCode[] = "vormelt";
constexpr int kRandomSeedDraws = 1024;  // before the seed pairs are tried in order
constexpr uint16_t kStringProgress = 19;
constexpr uint16_t kStringSaving = 20;

std::string RecordName(std::string_view name) {
  return std::string(name.substr(0, name.size() < kKzpMaxNameBytes ? name.size() : kKzpMaxNameBytes));
}

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

TPak& Package() {
  TPak* pak = Globals().Package.get();
  if (!pak) throw ESetupError("No setup package is open for the archive update");
  return *pak;
}

// The content of a package entry, whole. Entries at the large-entry limit carry no CRC and
// are read plain.
TBytes EntryContent(TPak& pak, int index) {
  const TPakEntry& e = pak.Directory()[index];
  if (e.Size == 0) return {};
  if (e.Size >= kLargeEntryLimit && e.PackedSize == 0) {
    TBytes content(e.Size);
    if (pak.ReadAt(e.Offset, content.data(), content.size()) != content.size()) {
      throw ESetupError("Package entry " + e.Name + ": cannot read " + std::to_string(e.Size) + " bytes at offset " +
                        std::to_string(e.Offset));
    }
    return content;
  }
  TBytes content = pak.Extract(index);
  if (content.empty()) throw ESetupError("Package entry " + e.Name + " cannot be read or unpacked");
  return content;
}

// Method 2: the package's own zlib stream when it keeps the entry compressed, else a new one.
TBytes ZlibPayload(TPak& pak, int index, uint32_t& content_size) {
  const TPakEntry& e = pak.Directory()[index];
  TBytes stream;
  if (e.PackedSize != 0 && e.PackedSize != e.Size) {
    stream = pak.ReadStored(index);
    if (stream.empty()) throw ESetupError("Package entry " + e.Name + " fails its CRC test");
    content_size = e.Size;
  } else {
    const TBytes content = EntryContent(pak, index);
    stream = DeflateBest(content.data(), content.size());
    content_size = static_cast<uint32_t>(content.size());
  }
  ScrambleKzpStream(stream);
  return stream;
}

std::u16string StatusText(uint16_t string_number, const std::string& archive_name, int done, int total) {
  std::u16string text = GetString(string_number);
  text = ReplaceText(text, u"<%KZPNAME%>", Host().AnsiToWide(archive_name));
  text = ReplaceText(text, u"<%FNUM%>", WidenAscii(std::to_string(done)));
  return ReplaceText(text, u"<%FTOTAL%>", WidenAscii(std::to_string(total)));
}

}  // namespace

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

// ---------------------------------------------------------------- TPakSystem

TPakSystem::TPakSystem() {
  std::random_device device;
  std::seed_seq seeds{device(), device(), static_cast<unsigned>(std::time(nullptr))};
  random_.seed(seeds);
}

TPakSystem::~TPakSystem() = default;

TPakSystem& PakSystem() {
  static TPakSystem system;
  return system;
}

std::string TPakSystem::ArchivePath(const std::string& archive_name) const {
  return Globals().SetupInfo.InstallDir + "\\" + archive_name;
}

void TPakSystem::FatalStop(const std::string& message) {
  stopped_ = true;
  file_.reset();
  directory_.Clear();
  cut_ = false;
  Host().FatalAppExit(message);
  std::abort();  // a host's fatal exit never returns
}

void TPakSystem::Discard() {
  file_.reset();
  directory_.Clear();
  directory_start_ = 0;
  write_position_ = 0;
  cut_ = false;
}

void TPakSystem::ReleaseUnchanged() {
  file_.reset();
  directory_.Clear();
  cut_ = false;
}

std::unique_ptr<TKzpFile> TPakSystem::OpenWithRetry(const std::string& path) {
  TKzpFileSystem& files = FileSystem();
  for (;;) {
    bool stuck_read_only = false;
    if (files.Exists(path) && files.IsReadOnly(path)) stuck_read_only = !files.ClearAttributes(path);
    if (auto file = files.OpenForUpdate(path)) return file;
    std::string text;
    if (stuck_read_only) {
      text = "Unable to modify \"" + path + "\" attributes";
    } else if (!files.Exists(path)) {
      text = "File not found: \"" + path + "\".";
    } else {
      text = "Unable to modify file:\"" + path + "\", file may be in use or drive is write protected...";
    }
    if (Host().ShowMessageBox(text, "Error", kMbRetryCancel | kMbIconWarning) != kIdRetry) {
      if (CancelExit) CancelExit();
      std::_Exit(0);
    }
  }
}

void TPakSystem::OpenAndRead(const std::string& path) {
  Discard();
  stopped_ = false;
  path_ = path;
  file_ = OpenWithRetry(path);

  TKzpIndex index;
  std::string error;
  if (!ReadKzpIndex(*file_, index, error)) FatalStop("File " + path + " has corrupted header.");

  // The object's password and flag describe this archive only.
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
}

void TPakSystem::CutAtDirectory() {
  if (!file_->Truncate(directory_start_)) {
    ReleaseUnchanged();
    throw ESetupError("Cannot set the end of " + path_ + " at offset " + std::to_string(directory_start_));
  }
  cut_ = true;
}

void TPakSystem::RefuseUnwritablePassword() {
  if (Password.size() <= kKzpMaxPasswordBytes) return;
  const size_t length = Password.size();
  ReleaseUnchanged();
  throw ESetupError("Archive password of " + std::to_string(length) + " bytes for " + path_ + " exceeds the " +
                    std::to_string(kKzpMaxPasswordBytes) + " bytes its trailer can hold");
}

void TPakSystem::OpenForUpdate(const std::string& path) {
  OpenAndRead(path);
  RefuseUnwritablePassword();
  CutAtDirectory();
}

uint32_t TPakSystem::TodayDate() {
  if (Today) return Today();
  const std::tm local = LocalToday();
  return KzpDosDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

bool TPakSystem::ReadsBackUnchanged(const TKzpRecord& record, const TBytes& payload) {
  // Only bytes of the data region (old or just appended) can be the entry's payload.
  if (static_cast<uint64_t>(record.Offset) + record.StoredSize > write_position_) return false;
  TBytes stored(record.StoredSize);
  if (file_->ReadAt(record.Offset, stored.data(), stored.size()) != stored.size()) return false;
  return Crc32(stored.data(), stored.size()) == Crc32(payload.data(), payload.size());
}

void TPakSystem::AddPackageEntry(int index) {
  if (!file_ || !cut_) throw ESetupError("No archive is open to add package entry " + std::to_string(index) + " to");
  TPak& pak = Package();
  if (index < 0 || static_cast<size_t>(index) >= pak.Directory().size()) {
    throw ESetupError("Package entry " + std::to_string(index) + " does not exist");
  }
  const std::string entry_name = pak.Directory()[index].Name;

  TBytes payload;
  uint8_t method = kKzpMethodZlib;
  uint32_t content_size = 0;
  if (IsKzpWavName(entry_name)) {
    const TBytes content = EntryContent(pak, index);
    if (!BuildKzpWavPayload(entry_name, content.data(), content.size(), payload)) return;  // not plain PCM: skipped
    method = kKzpMethodWav;
    content_size = static_cast<uint32_t>(content.size());
  } else {
    payload = ZlibPayload(pak, index, content_size);
  }

  const std::string name = RecordName(entry_name);
  const TKzpRecord* existing = directory_.Find(name);
  if (existing && existing->StoredSize == payload.size() && existing->ContentSize == content_size &&
      ReadsBackUnchanged(*existing, payload)) {
    return;
  }

  if (payload.size() > UINT32_MAX || write_position_ + payload.size() > UINT32_MAX) {
    throw ESetupError("Archive " + path_ + ": a payload of " + std::to_string(payload.size()) + " bytes at offset " +
                      std::to_string(write_position_) + " would pass the 4 GiB its offsets reach");
  }
  if (file_->WriteAt(write_position_, payload.data(), payload.size()) != payload.size()) {
    FatalStop("Disk full, " + path_ + " is lost. Restore it from backup and try again. ");
  }

  TKzpRecord record;
  record.Method = method;
  record.Name = existing ? existing->Name : name;  // a replaced entry keeps the archive's spelling
  record.FileDate = TodayDate();
  record.StoredSize = static_cast<uint32_t>(payload.size());
  record.ContentSize = content_size;
  record.Offset = static_cast<uint32_t>(write_position_);
  write_position_ += payload.size();
  if (existing) directory_.Remove(name);
  directory_.Append(std::move(record));
}

TBytes TPakSystem::FreshTrailer() {
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

void TPakSystem::WriteDirectoryAndClose() {
  if (!file_) return;
  const std::vector<TKzpRecord> records = directory_.Records();
  TBytes out = EncodeKzpDirectory(records);
  TKzpFooter footer;
  footer.CompressedSize = static_cast<uint32_t>(out.size());
  footer.InflatedSize = static_cast<uint32_t>(records.size() * kKzpRecordSize);
  footer.Version = kKzpFormatVersion;
  footer.Count = static_cast<uint32_t>(records.size());
  const TBytes footer_bytes = EncodeKzpFooter(footer);
  const TBytes trailer = FreshTrailer();
  out.insert(out.end(), footer_bytes.begin(), footer_bytes.end());
  out.insert(out.end(), trailer.begin(), trailer.end());

  // Without its ending the archive cannot be read at all: a short write here loses it as
  // surely as a short payload write does, and is reported the same way.
  const bool written = file_->WriteAt(write_position_, out.data(), out.size()) == out.size() &&
                       file_->Truncate(write_position_ + out.size()) && file_->Flush();
  if (!written) FatalStop("Disk full, " + path_ + " is lost. Restore it from backup and try again. ");
  file_.reset();
  cut_ = false;
}

void TPakSystem::UpdateFromPackage(uint16_t group, const std::string& archive_name, const std::string& password) {
  TPak& pak = Package();
  const int total = pak.CountInGroup(group);
  if (total == 0) return;

  ArchiveName = archive_name;
  OpenAndRead(ArchivePath(archive_name));
  if (HasPassword) {
    if (password != Password) {
      ReleaseUnchanged();
      FatalStop("Error Incorrect Password\rFile: " + archive_name);
    }
  } else {
    Password = password;
    HasPassword = !Password.empty();
  }
  RefuseUnwritablePassword();
  CutAtDirectory();

  auto finish = [&] {
    Progress.Status(StatusText(kStringSaving, archive_name, total, total));
    WriteDirectoryAndClose();
    Discard();
  };
  Progress.Status(StatusText(kStringProgress, archive_name, 0, total));
  int done = 0;
  int index = 0;
  TPercentGate gauge(total);
  try {
    for (bool found = pak.FirstIndexInGroup(group, index); found; found = pak.NextIndexInGroup(group, index)) {
      const bool refresh = gauge.Refresh(done);
      Progress.Status(StatusText(kStringProgress, archive_name, done, total));
      AddPackageEntry(index);
      Progress.Step(refresh);
      ++done;
    }
  } catch (...) {
    // An error in one entry still leaves the archive whole with the entries done so far;
    // after a fatal stop nothing more is written.
    if (!stopped_ && file_) finish();
    throw;
  }
  finish();
}

void TPakSystem::SetOfficial(const std::string& archive_name, const std::string& access_code,
                             const std::string& flag_text) {
  if (LowerAscii(access_code) != kAccessCode) return;
  ArchiveName = archive_name;
  OpenForUpdate(ArchivePath(archive_name));
  const std::string flag = LowerAscii(flag_text);
  Official = (flag == "t" || flag == "true" || flag_text == "1") ? 1 : 0;
  WriteDirectoryAndClose();
  Discard();
}

void TPakSystem::DuplicateEntry(const std::string& archive_name, const std::string& existing_name,
                                const std::string& new_name) {
  ArchiveName = archive_name;
  OpenAndRead(ArchivePath(archive_name));
  const TKzpRecord* found = directory_.Find(RecordName(existing_name));
  if (!found) {
    ReleaseUnchanged();
    Discard();
    return;
  }
  const TKzpRecord source = *found;
  RefuseUnwritablePassword();
  CutAtDirectory();

  // A new name gets a record of its own; a name already in use is pointed at the payload only
  // when it points there already (it may then take the other fields over).
  const std::string target_name = RecordName(LowerAscii(new_name));
  TKzpRecord* target = directory_.Find(target_name);
  const bool fresh = target == nullptr;
  if (fresh) {
    TKzpRecord zero;
    zero.Marker = 0;
    zero.Name = target_name;
    directory_.Append(std::move(zero));
    target = directory_.Find(target_name);
  }
  if (fresh || (target->Offset == source.Offset && target->ContentSize == source.ContentSize &&
                target->StoredSize == source.StoredSize)) {
    target->Marker = source.Marker;
    target->Method = source.Method;
    target->FileDate = source.FileDate;
    target->StoredSize = source.StoredSize;
    target->ContentSize = source.ContentSize;
    target->Offset = source.Offset;
  }
  WriteDirectoryAndClose();
  Discard();
}

}  // namespace setup

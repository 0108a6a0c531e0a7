// The setup package's directory in both versions, the names of its data files and where a
// setup finds them, and the look-ups that walk the directory. Reading entries' bytes is pak.cpp's.
#include "core/pak.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>
#include <optional>

#include "core/byte_order.h"
#include "core/error.h"
#include "core/host.h"
#include "core/pak_state.h"
#include "core/pe_image.h"
#include "core/text.h"

namespace setup {

namespace {

// Signing tools pad the file with zeros to a multiple of 8 bytes before the certificate table.
constexpr size_t kMostSignaturePadding = 7;

// Where the package of a file of file_size bytes ends: where a certificate table that closes
// the file begins, less the zero padding before it, when a trailer with the magic ends there;
// otherwise the end of the file, as for every unsigned setup.
uint64_t PackageEnd(TFileStream& file, uint64_t file_size) {
  const std::optional<uint64_t> table = FindCertificateTable(file, file_size);
  if (!table || *table < kPakTrailerSize) return file_size;
  uint8_t tail[kPakTrailerSize + kMostSignaturePadding];
  const size_t n = static_cast<size_t>(std::min<uint64_t>(*table, sizeof tail));
  if (!file.Seek(*table - n) || file.Read(tail, n) != n) return file_size;
  for (size_t padding = 0; padding + kPakTrailerSize <= n; ++padding) {
    const uint8_t* trailer = tail + n - padding - kPakTrailerSize;
    if (padding > 0 && tail[n - padding] != 0) break;  // the padding grows by one byte a round
    if (std::memcmp(trailer, "KZPF", 4) == 0) return *table - padding;
  }
  return file_size;
}

// with long names, far beyond any setup.
constexpr uint64_t kMostDirectoryBytes = 256ull << 20;

// A text of a package whose texts are not UTF-8 (in the system's ANSI code page) as UTF-8.
void LegacyToUtf8(std::string& text) {
  if (!IsAscii(text)) text = LegacyTextToUtf8(text);
}

uint64_t ReadUInt64(TBufferManager& cursor) {
  const uint64_t low = static_cast<uint32_t>(cursor.ReadInt32());
  return low | static_cast<uint64_t>(static_cast<uint32_t>(cursor.ReadInt32())) << 32;
}

}  // namespace

std::string DataFileName(const std::string& stem, uint32_t number) {
  return stem + "-" + std::to_string(number) + ".bin";
}

std::vector<std::string> DataFileCandidates(const std::string& setup_path, const std::string& stem, uint32_t number) {
  const size_t separator = setup_path.find_last_of("\\/");
  const std::string folder = separator == std::string::npos ? std::string() : setup_path.substr(0, separator + 1);
  const std::string name = FileNamePart(setup_path);
  const size_t dot = name.rfind('.');
  const std::string running_stem = dot == std::string::npos ? name : name.substr(0, dot);
  std::vector<std::string> candidates;
  if (LowerAscii(running_stem) != LowerAscii(stem)) {
    candidates.push_back(folder + DataFileName(running_stem, number));
    // The setup's own name with a copy mark after it: the mark goes after the number.
    const std::string mark = running_stem.substr(std::min(stem.size(), running_stem.size()));
    if (LowerAscii(running_stem.substr(0, stem.size())) == LowerAscii(stem) && StripCopyMarks(mark).empty()) {
      candidates.push_back(folder + stem + "-" + std::to_string(number) + mark + ".bin");
    }
  }
  candidates.push_back(folder + DataFileName(stem, number));
  return candidates;
}

std::vector<TDataFileLookup> AttachDataFiles(TPak& pak, const std::string& setup_path) {
  std::vector<TDataFileLookup> found(pak.DataFiles().size());
  for (uint32_t number = 1; number <= found.size(); ++number) {
    TDataFileLookup& lookup = found[number - 1];
    const std::vector<std::string> candidates = DataFileCandidates(setup_path, pak.DataFileStem(), number);
    lookup.Path = candidates.back();
    for (const std::string& path : candidates) {
      const int64_t length = FileLength(path);
      if (length < 0) continue;
      if (static_cast<uint64_t>(length) == pak.DataFiles()[number - 1].Size && pak.AttachDataFile(number, path)) {
        lookup = {TDataFileStatus::Found, path};
        break;
      }
      if (lookup.Status == TDataFileStatus::Missing) lookup = {TDataFileStatus::WrongSize, path};
    }
  }
  return found;
}


void TPak::ReadDirectory() {
  directory_.clear();
  trailer_ = TPakTrailer{};
  directory_sound_ = true;
  data_file_stem_.clear();
  data_files_.clear();
  data_file_states_.clear();
  bytes_from_.clear();
  if (!file_) return;
  file_size_ = PackageEnd(*file_, file_->Size());
  if (file_size_ < kPakTrailerSize) return;

  uint8_t tail[kPakTrailerSize];
  if (!file_->Seek(file_size_ - kPakTrailerSize) || file_->Read(tail, sizeof tail) != sizeof tail) return;
  std::memcpy(trailer_.Magic, tail, 4);
  if (!trailer_.HasMagic()) return;
  trailer_.Version = LoadLE16(tail + 4);
  // The first version's Version was never checked: any value but a later version's is read as
  // the first. A version after the second is not misread: its directory is refused.
  bool sound;
  if (trailer_.Version == kPakVersion2) sound = ReadVersion2(tail);
  else if (trailer_.Version > kPakVersion2) sound = false;
  else sound = ReadVersion1(tail);
  if (!sound) {
    directory_.clear();
    data_file_stem_.clear();
    data_files_.clear();
    bytes_from_.clear();
    directory_sound_ = false;
  }
}

bool TPak::ReadVersion1(const uint8_t* tail) {
  trailer_.Count = LoadLE16(tail + 6);
  trailer_.DataStart = LoadLE32(tail + 8);
  trailer_.DirOffset = LoadLE32(tail + 12);
  // The records must fit between DirOffset and the trailer; read that span once.
  const uint64_t dir_end = file_size_ - kPakTrailerSize;
  const uint64_t dir_start = trailer_.DirOffset;
  const uint64_t smallest = static_cast<uint64_t>(trailer_.Count) * kPakRecordFixedSize;
  if (dir_start > dir_end || dir_end - dir_start < smallest) return false;
  // A directory never needs more than Count records of the longest name.
  const uint64_t largest = static_cast<uint64_t>(trailer_.Count) * (kPakRecordFixedSize + 0xFFFF);
  const uint64_t span = std::min(dir_end - dir_start, largest);
  TBytes records(static_cast<size_t>(span));
  if (!file_->Seek(dir_start) || file_->Read(records.data(), records.size()) != records.size()) return false;
  return ParseRecords(records, kPakVersion1);
}

bool TPak::ReadVersion2(const uint8_t* tail) {
  if (file_size_ < kPakTrailer2Size) return false;
  uint8_t raw[kPakTrailer2Size];
  const uint64_t trailer_start = file_size_ - kPakTrailer2Size;
  if (!file_->Seek(trailer_start) || file_->Read(raw, sizeof raw) != sizeof raw) return false;
  trailer_.DataStart = LoadLE64(raw);
  trailer_.DirOffset = LoadLE64(raw + 8);
  trailer_.Count = LoadLE32(raw + 16);
  trailer_.DataFileCount = LoadLE32(raw + 20);
  trailer_.TableOffset = LoadLE64(raw + 24);
  trailer_.Flags = LoadLE32(tail + 8);
  const uint32_t trailer_size = LoadLE32(tail + 12);
  // A flag this reader does not know means a later writer stored something it would misread.
  if (LoadLE16(tail + 6) != 0 || (trailer_.Flags & ~kPakKnownFlags) != 0 || trailer_size != kPakTrailer2Size) {
    return false;
  }
  if (trailer_.DataFileCount > kMostDataFiles) return false;
  const uint64_t dir_start = trailer_.DirOffset;
  const uint64_t table_start = trailer_.TableOffset;
  if (trailer_.DataStart > dir_start || dir_start > table_start || table_start > trailer_start) return false;
  const uint64_t records_span = table_start - dir_start;
  const uint64_t table_span = trailer_start - table_start;
  if (records_span < static_cast<uint64_t>(trailer_.Count) * kPakRecord2FixedSize) return false;
  if (records_span > kMostDirectoryBytes || table_span > kMostDirectoryBytes) return false;

  // The data-file table: the stem, then each data file's size and digest, filling its span.
  TBytes table(static_cast<size_t>(table_span));
  if (!file_->Seek(table_start) || file_->Read(table.data(), table.size()) != table.size()) return false;
  try {
    TBufferManager cursor(table.data(), table.size());
    data_file_stem_ = cursor.ReadString();
    if (!TextsUtf8()) LegacyToUtf8(data_file_stem_);
    // The stem names files beside the setup: it may not lead into another folder.
    if (data_file_stem_.find_first_of("\\/:") != std::string::npos || data_file_stem_ == "." ||
        data_file_stem_ == "..") {
      return false;
    }
    if (cursor.Remaining() != static_cast<uint64_t>(trailer_.DataFileCount) * kPakDataFileRecordSize) return false;
    data_files_.resize(trailer_.DataFileCount);
    for (TPakDataFile& d : data_files_) {
      d.Size = ReadUInt64(cursor);
      if (cursor.ReadInto(kSha256Size, d.Sha256.data()) != kSha256Size) return false;
    }
  } catch (const ESetupError&) {
    return false;
  }
  // Bytes from the start of each data file to the end of the last, for the entries' bounds.
  bytes_from_.assign(data_files_.size(), 0);
  uint64_t after = 0;
  for (size_t i = data_files_.size(); i-- > 0;) {
    if (data_files_[i].Size > UINT64_MAX - after) return false;
    after += data_files_[i].Size;
    bytes_from_[i] = after;
  }
  data_file_states_.resize(data_files_.size());

  TBytes records(static_cast<size_t>(records_span));
  if (!file_->Seek(dir_start) || file_->Read(records.data(), records.size()) != records.size()) return false;
  return ParseRecords(records, kPakVersion2);
}

bool TPak::ParseRecords(const TBytes& records, uint16_t version) {
  const bool utf8 = TextsUtf8();
  try {
    TBufferManager cursor(records.data(), records.size());
    directory_.resize(trailer_.Count);
    for (TPakEntry& e : directory_) {
      e.Name = cursor.ReadString();
      if (!utf8) LegacyToUtf8(e.Name);
      e.Crc = static_cast<uint32_t>(cursor.ReadInt32());
      if (version == kPakVersion1) {
        e.Offset = static_cast<uint32_t>(cursor.ReadInt32());
        e.PackedSize = static_cast<uint32_t>(cursor.ReadInt32());
        e.Size = static_cast<uint32_t>(cursor.ReadInt32());
        e.Group = cursor.ReadUInt16();
      } else {
        e.Offset = ReadUInt64(cursor);
        e.PackedSize = ReadUInt64(cursor);
        e.Size = ReadUInt64(cursor);
        e.Group = cursor.ReadUInt16();
        e.DataFile = cursor.ReadUInt16();
        if (e.DataFile > data_files_.size()) return false;
      }
    }
  } catch (const ESetupError&) {
    return false;
  }
  return true;
}

uint64_t TPak::ExecutablePartLength() const {
  if (trailer_.Version == kPakVersion2) return trailer_.DataStart;
  return directory_.empty() ? file_size_ : directory_.front().Offset;
}

bool TPak::AttachDataFile(uint32_t number, const std::string& path) {
  if (number == 0 || number > data_files_.size()) return false;
  auto file = TFileStream::Open(path, TFileMode::Read);
  if (!file) return false;
  auto state = std::make_unique<TDataFileState>();
  TPakDataFile& d = data_files_[number - 1];
  d.Path = path;
  d.FoundSize = file->Size();
  state->File = std::move(file);
  if (take_digests_) {
    state->Digest = NewSha256();
    state->DigestFailed = !state->Digest;
  }
  data_file_states_[number - 1] = std::move(state);
  return true;
}

std::vector<int> TPak::EarlierSharing() const {
  std::vector<int> earlier(directory_.size(), -1);
  std::map<std::tuple<uint16_t, uint64_t, uint64_t>, int> first;
  for (size_t i = 0; i < directory_.size(); ++i) {
    const TPakEntry& e = directory_[i];
    if (e.StoredLength() == 0) continue;
    const auto [at, fresh] = first.emplace(std::make_tuple(e.DataFile, e.Offset, e.StoredLength()), static_cast<int>(i));
    if (!fresh) earlier[i] = at->second;
  }
  return earlier;
}

std::vector<int> TPak::SharingEntries(int index) const {
  std::vector<int> sharing;
  if (!ValidIndex(index)) return sharing;
  const TPakEntry& e = directory_[index];
  for (size_t i = 0; i < directory_.size(); ++i) {
    if (static_cast<int>(i) == index || (directory_[i].StoredLength() != 0 && directory_[i].SamePlace(e))) {
      sharing.push_back(static_cast<int>(i));
    }
  }
  return sharing;
}

std::string DecompSizeMessage(const std::string& name, uint64_t inflated, uint64_t size) {
  return name + "\r\rError: DecompSize - " + std::to_string(inflated) + " OrigSize - " + std::to_string(size);
}

int TPak::IndexOfName(const std::string& name, uint16_t group) const {
  const std::string wanted = lower_(name);
  const bool ascii = IsAscii(name);
  for (size_t i = 0; i < directory_.size(); ++i) {
    const TPakEntry& e = directory_[i];
    if (e.Group != group) continue;
    // Only ASCII keeps its length when lowered: the Kelvin sign (three bytes) lowers to "k".
    if (ascii && e.Name.size() != name.size() && IsAscii(e.Name)) continue;
    if (lower_(e.Name) == wanted) return static_cast<int>(i);
  }
  return -1;
}
bool TPak::FirstIndexInGroup(uint16_t group, int& index) {
  group_cursor_ = 0;
  return NextIndexInGroup(group, index);
}

bool TPak::NextIndexInGroup(uint16_t group, int& index) {
  for (size_t i = group_cursor_ < 0 ? 0 : static_cast<size_t>(group_cursor_); i < directory_.size(); ++i) {
    if (directory_[i].Group == group) {
      index = static_cast<int>(i);
      group_cursor_ = static_cast<int32_t>(i + 1);
      return true;
    }
  }
  return false;
}

TGroupItem TPak::FirstInGroup(uint16_t group, bool extract) {
  group_cursor_ = 0;
  return NextInGroup(group, extract);
}

TGroupItem TPak::NextInGroup(uint16_t group, bool extract) {
  TGroupItem item;
  int index = 0;
  if (extract) ForgetExtract();
  if (!NextIndexInGroup(group, index)) return item;
  if (extract) item.Data = Extract(index);
  item.Size = directory_[index].Size;
  item.Name = directory_[index].Name;
  return item;
}

void TPak::ForEachInGroup(uint16_t group, const std::function<void(int)>& callback) {
  int index = 0;
  for (bool found = FirstIndexInGroup(group, index); found; found = NextIndexInGroup(group, index)) callback(index);
}

int TPak::CountGrouped() const {
  int n = 0;
  for (const TPakEntry& e : directory_) n += e.Group != 0;
  return n;
}

int TPak::CountInGroup(uint16_t group) const {
  int n = 0;
  for (const TPakEntry& e : directory_) n += e.Group == group;
  return n;
}

}  // namespace setup

// The setup package reader and writer.
//
// The reader trusts nothing it reads: the directory must lie between DirOffset and the
// trailer (the data-file table, in the second version), every record and name inside it, and
// an entry's stored bytes inside the files the directory describes before any buffer is
// allocated for them. A directory that breaks these rules reads as an empty directory; an
// entry that breaks them fails verification.
//
// Data files are read through one routine that knows where each begins and ends, so an entry
// that runs from one data file into the next reads as one run of bytes. Verification reads
// every entry in directory order, which is the order the writer put them in the data files;
// the reads that continue a data file where the previous one ended feed its SHA-256, so the
// digests cost no second pass over the files.
#include "core/pak.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "core/byte_order.h"
#include "core/crc.h"
#include "core/deflate.h"
#include "core/error.h"
#include "core/pe_image.h"
#include "core/text.h"

namespace setup {

namespace {

constexpr size_t kCopyChunk = 4 << 20;  // chunk of the plain copy of a large source file

// One zlib inflate stream, ended whatever way the reading ends.
class TInflateStream {
 public:
  TInflateStream() {
    if (inflateInit(&zs_) != Z_OK) throw ESetupError("error");
  }
  ~TInflateStream() { inflateEnd(&zs_); }
  TInflateStream(const TInflateStream&) = delete;
  TInflateStream& operator=(const TInflateStream&) = delete;
  z_stream* operator->() { return &zs_; }
  z_stream* get() { return &zs_; }

 private:
  z_stream zs_{};
};

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

constexpr uint64_t kMostCounted = 0xFFFFFFFFull;  // a longer stream is not counted further
// A directory span larger than this is refused before it is read: more than a million entries
// with long names, far beyond any setup.
constexpr uint64_t kMostDirectoryBytes = 256ull << 20;

uint64_t ReadUInt64(TBufferManager& cursor) {
  const uint64_t low = static_cast<uint32_t>(cursor.ReadInt32());
  return low | static_cast<uint64_t>(static_cast<uint32_t>(cursor.ReadInt32())) << 32;
}
constexpr size_t kSmallestOutPiece = 16384;  // room to count what a stream gives past Size

}  // namespace

// ---------------------------------------------------------------- construction

struct TPak::TDataFileState {
  std::unique_ptr<TFileStream> File;
  std::unique_ptr<TSha256> Digest;  // while digests are taken
  uint64_t Hashed = 0;              // bytes from the start fed to Digest
  bool DigestFailed = false;
};

struct TPak::TDataFileWriter {
  uint64_t SliceSize = 0;
  std::function<std::string(uint32_t)> PathOf;
  std::unique_ptr<TFileStream> File;  // the data file being written, the last of data_files_
  std::unique_ptr<TSha256> Digest;
  bool Failed = false;
};

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

TPak::TPak(const std::string& file_name, TPakOpenMode mode) : lower_(LowerLatin1) {
  switch (mode) {
    case pmRead:
      file_ = TFileStream::Open(file_name, TFileMode::Read);
      ReadDirectory();
      break;
    case pmCreate:
      file_ = TFileStream::Open(file_name, TFileMode::Create);
      writer_ = true;
      break;
    case pmAppend:
      file_ = TFileStream::Open(file_name, TFileMode::ReadWrite);
      writer_ = true;
      if (file_) {
        file_size_ = file_->Size();
        trailer_.DataStart = file_size_;
      }
      break;
  }
}

TPak::~TPak() = default;

void TPak::Close() {
  CloseDataFile();
  data_file_writer_.reset();
  data_file_states_.clear();
  file_.reset();
}

// ---------------------------------------------------------------- reading

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
  // No flag is known yet: a set one means a later writer stored something this reader would
  // misread.
  if (LoadLE16(tail + 6) != 0 || trailer_.Flags != 0 || trailer_size != kPakTrailer2Size) return false;
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
  try {
    TBufferManager cursor(records.data(), records.size());
    directory_.resize(trailer_.Count);
    for (TPakEntry& e : directory_) {
      e.Name = cursor.ReadString();
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

bool TPak::StoredInside(const TPakEntry& e) const {
  const uint64_t length = e.StoredLength();
  if (e.DataFile == 0) return e.Offset <= file_size_ && length <= file_size_ - e.Offset;
  if (e.DataFile > data_files_.size()) return false;
  const size_t i = e.DataFile - 1u;
  return e.Offset < data_files_[i].Size && length <= bytes_from_[i] - e.Offset;
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

void TPak::TakeDataFileDigests() {
  take_digests_ = true;
  for (auto& state : data_file_states_) {
    if (!state || state->Digest || state->DigestFailed) continue;
    state->Digest = NewSha256();
    state->DigestFailed = !state->Digest;
  }
}

bool TPak::DataFileDigestMatches(uint32_t number) {
  if (number == 0 || number > data_files_.size()) return false;
  const TPakDataFile& d = data_files_[number - 1];
  TDataFileState* state = data_file_states_[number - 1].get();
  if (!state || !state->Digest || state->DigestFailed || d.FoundSize != d.Size) return false;
  // What no entry read: the bytes after the last one read in order.
  if (stored_piece_.size() < kPieceSize) stored_piece_.resize(kPieceSize);
  while (state->Hashed < d.Size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kPieceSize, d.Size - state->Hashed));
    if (ReadFromFile(number, state->Hashed, stored_piece_.data(), n) != n) return false;
  }
  TSha256Digest digest{};
  const bool ok = !state->DigestFailed && state->Digest->Final(digest) && digest == d.Sha256;
  state->Digest.reset();
  state->DigestFailed = true;  // the digest is spent; asking again is a failure, not a pass
  return ok;
}

size_t TPak::ReadFromFile(uint32_t file, uint64_t offset, uint8_t* buffer, size_t n) {
  size_t got = 0;
  if (file == 0) {
    if (!file_ || offset >= file_size_) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, file_size_ - offset));
    if (!file_->Seek(offset)) return 0;
    got = file_->Read(buffer, n);
  } else {
    if (file > data_file_states_.size() || !data_file_states_[file - 1]) return 0;
    TDataFileState& state = *data_file_states_[file - 1];
    const uint64_t size = data_files_[file - 1].Size;
    if (offset >= size) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size - offset));
    if (!state.File->Seek(offset)) return 0;
    got = state.File->Read(buffer, n);
    if (state.Digest && !state.DigestFailed && offset == state.Hashed && got > 0) {
      state.DigestFailed = !state.Digest->Update(buffer, got);
      state.Hashed += got;
    }
  }
  if (progress_ && got > 0) progress_(got);
  return got;
}

size_t TPak::ReadSpan(TPlace& place, uint8_t* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    if (place.File != 0 && place.File <= data_files_.size() && place.Offset >= data_files_[place.File - 1].Size) {
      if (place.File >= data_files_.size()) break;  // past the last data file
      ++place.File;
      place.Offset = 0;
      continue;
    }
    const size_t got = ReadFromFile(place.File, place.Offset, buffer + done, n - done);
    if (got == 0) break;
    done += got;
    place.Offset += got;
  }
  return done;
}

size_t TPak::ReadStoredAt(int index, uint64_t position, void* buffer, size_t n) {
  if (!ValidIndex(index)) return 0;
  const TPakEntry& e = directory_[index];
  const uint64_t length = e.StoredLength();
  if (position >= length || !StoredInside(e)) return 0;
  n = static_cast<size_t>(std::min<uint64_t>(n, length - position));
  TPlace place{e.DataFile, e.Offset};
  if (e.DataFile == 0) {
    place.Offset += position;
  } else {
    // Skip whole data files first: an entry may start several data files before position.
    uint64_t skip = position;
    while (place.File <= data_files_.size() && skip >= data_files_[place.File - 1].Size - place.Offset) {
      skip -= data_files_[place.File - 1].Size - place.Offset;
      ++place.File;
      place.Offset = 0;
      if (place.File > data_files_.size()) return 0;
    }
    place.Offset += skip;
  }
  return ReadSpan(place, static_cast<uint8_t*>(buffer), n);
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

TBytes TPak::ReadStored(int index) {
  if (!ValidIndex(index) || !file_) return {};
  const TPakEntry& e = directory_[index];
  const uint64_t length = e.StoredLength();
  if (length == 0 || length > SIZE_MAX / 2) return {};
  if (!StoredInside(e)) return {};  // would read past the end
  TBytes stored(static_cast<size_t>(length));
  TPlace place{e.DataFile, e.Offset};
  if (ReadSpan(place, stored.data(), stored.size()) != stored.size()) return {};
  if (Crc32(stored.data(), stored.size()) != e.Crc) return {};
  return stored;
}

TBytes TPak::Extract(int index) {
  if (ValidIndex(index) && directory_[index].Size > SIZE_MAX / 2) {  // cannot be held in memory here
    ForgetExtract(index);
    return {};
  }
  TBytes out;
  const TExtractResult whole = ExtractTo(index, [&](const uint8_t* data, size_t size) {
    if (out.empty()) {
      // Room for the whole entry, but never for more than its stream can give.
      const TPakEntry& e = directory_[index];
      const uint64_t reachable = e.PackedSize != 0 ? MostInflatedBytes(e.StoredLength()) : e.Size;
      out.reserve(static_cast<size_t>(std::min(e.Size, reachable)));
    }
    out.insert(out.end(), data, data + size);
  });
  if (!whole) return {};
  return out;
}

std::string DecompSizeMessage(const std::string& name, uint64_t inflated, uint64_t size) {
  return name + "\r\rError: DecompSize - " + std::to_string(inflated) + " OrigSize - " + std::to_string(size);
}

TExtractResult TPak::ExtractTo(int index, const TPieceSink& sink) {
  // A stream error leaves the entry unreadable rather than a stale outcome of an earlier read.
  ForgetExtract(index);
  if (ExtractPieces(index, sink)) last_extract_.Status = kExtractOk;
  return last_extract_;
}

bool TPak::ExtractPieces(int index, const TPieceSink& sink) {
  if (!ValidIndex(index) || !file_) return false;
  const TPakEntry& e = directory_[index];
  const uint64_t length = e.StoredLength();
  if (length == 0 || e.Size == 0) return false;
  if (!StoredInside(e)) return false;  // would read past the end
  const bool packed = e.PackedSize != 0;
  // A compressed entry is never large; a record that says otherwise is damaged.
  if (packed && (length > kPakVersion1MostValue || e.Size > kPakVersion1MostValue)) return false;

  // A Size no stream of these bytes can reach goes the counting way, which reports it.
  const bool whole = packed && e.Size <= kWholeInflateLimit && e.Size <= MostInflatedBytes(length);
  if (whole && ExtractWhole(e, sink)) return true;

  // The buffers grow to what the entries need, up to a piece; small packages stay small.
  // Whatever the whole-buffer reading did not take (a stream that does not inflate to Size,
  // bytes that fail the CRC) is read again here, where zlib gives the outcome and its numbers.
  const size_t in_room = static_cast<size_t>(std::min<uint64_t>(length, kPieceSize));
  if (stored_piece_.size() < in_room) stored_piece_.resize(in_room);
  std::optional<TInflateStream> zs;
  if (packed) {
    const size_t out_room =
        static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(e.Size, kSmallestOutPiece), kPieceSize));
    if (inflated_piece_.size() < out_room) inflated_piece_.resize(out_room);
    zs.emplace();
  }
  const size_t in_piece = stored_piece_.size();
  const size_t out_piece = inflated_piece_.size();
  // A stream error is only reported once the CRC has proven the stored bytes: damaged bytes
  // fail verification, they are not an error.
  bool broken = false;
  bool ended = false;
  uint64_t produced = 0;
  uint32_t crc = 0;
  TPlace place{e.DataFile, e.Offset};
  for (uint64_t left = length; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, in_piece));
    if (ReadSpan(place, stored_piece_.data(), n) != n) return false;
    crc = Crc32(stored_piece_.data(), n, crc);
    left -= n;
    if (!packed) {
      sink(stored_piece_.data(), n);
      continue;
    }
    (*zs)->next_in = stored_piece_.data();
    (*zs)->avail_in = static_cast<uInt>(n);
    while (!broken && !ended) {
      (*zs)->next_out = inflated_piece_.data();
      (*zs)->avail_out = static_cast<uInt>(out_piece);
      const int rc = inflate(zs->get(), Z_NO_FLUSH);
      const size_t got = out_piece - (*zs)->avail_out;
      // Only the bytes up to Size are handed on; the rest is counted for the message.
      if (got > 0 && produced < e.Size) {
        sink(inflated_piece_.data(), static_cast<size_t>(std::min<uint64_t>(got, e.Size - produced)));
      }
      produced += got;
      if (rc == Z_STREAM_END || produced >= kMostCounted) ended = true;
      else if (rc != Z_OK && rc != Z_BUF_ERROR) broken = true;
      else if ((*zs)->avail_out != 0) break;  // the piece is used up
    }
  }
  if (crc != e.Crc) return false;
  if (!packed) return true;
  if (broken || (!ended && produced <= e.Size)) throw ESetupError("error");  // not zlib, or cut short
  if (produced != e.Size) {
    last_extract_.Status = kExtractWrongLength;
    last_extract_.Inflated = produced;
    return false;
  }
  return true;
}

bool TPak::ExtractWhole(const TPakEntry& e, const TPieceSink& sink) {
  const size_t length = static_cast<size_t>(e.StoredLength());
  const size_t size = static_cast<size_t>(e.Size);
  // A buffer that must grow is let go first: its bytes are not needed, and growing in place
  // would hold the old and the new buffer at once.
  auto grow = [](TBytes& buffer, size_t n) {
    if (buffer.size() >= n) return;
    buffer = TBytes();
    buffer.resize(n);
  };
  try {
    grow(whole_stored_, length);
    grow(whole_inflated_, size + 1);
  } catch (const std::bad_alloc&) {
    whole_stored_ = TBytes();  // what memory they held goes back for the pieces
    whole_inflated_ = TBytes();
    return false;
  }
  TPlace place{e.DataFile, e.Offset};
  if (ReadSpan(place, whole_stored_.data(), length) != length || Crc32(whole_stored_.data(), length) != e.Crc ||
      !FastInflateExactly(whole_stored_.data(), length, whole_inflated_.data(), size)) {
    return false;
  }
  for (size_t at = 0; at < size; at += kPieceSize) {
    sink(whole_inflated_.data() + at, std::min<size_t>(kPieceSize, size - at));
  }
  return true;
}

bool TPak::LargeEntryCrcMatches(const TPakEntry& e) {
  if (stored_piece_.size() < kPieceSize) stored_piece_.resize(kPieceSize);
  uint32_t crc = 0;
  TPlace place{e.DataFile, e.Offset};
  for (uint64_t done = 0; done < e.Size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kPieceSize, e.Size - done));
    if (ReadSpan(place, stored_piece_.data(), n) != n) return false;
    crc = Crc32(stored_piece_.data(), n, crc);
    done += n;
  }
  return crc == e.Crc;
}

bool TPak::Verify(int index) {
  ForgetExtract(index);
  if (!ValidIndex(index)) return false;
  const TPakEntry& e = directory_[index];
  // A large entry must be stored plain and lie inside the files. Its bytes are read, piece by
  // piece, only when it carries a CRC: packages from before large entries had one hold 0 there.
  if (e.Size >= kLargeEntryLimit) {
    const bool inside = e.PackedSize == 0 && StoredInside(e);
    if (!inside || (e.Crc != 0 && !LargeEntryCrcMatches(e))) return false;
    last_extract_.Status = kExtractOk;
    return true;
  }
  return static_cast<bool>(ExtractTo(index, [](const uint8_t*, size_t) {}));
}

int TPak::IndexOfName(const std::string& name, uint16_t group) const {
  const std::string wanted = lower_(name);
  for (size_t i = 0; i < directory_.size(); ++i) {
    const TPakEntry& e = directory_[i];
    if (e.Group == group && e.Name.size() == name.size() && lower_(e.Name) == wanted) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

TBytes TPak::FindByName(const std::string& name, uint16_t group, uint64_t* size) {
  if (size) *size = 0;
  ForgetExtract();
  const int index = IndexOfName(name, group);
  if (index < 0) return {};
  if (size) *size = directory_[static_cast<size_t>(index)].Size;
  return Extract(index);
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

// ---------------------------------------------------------------- writing

int TPak::AddEntry(const std::string& name, const std::string& source_path, uint16_t group) {
  TPakEntry e;
  e.Name = name;
  e.SourcePath = source_path;
  e.Group = group;
  directory_.push_back(std::move(e));
  return static_cast<int>(directory_.size() - 1);
}

TBytes PackEntry(TPakEntry& e, const uint8_t* data, uint32_t size, int level) {
  e.Size = size;
  TBytes result;
  if (size < kLargeEntryLimit) {
    result = Deflate(data, size, level);
    e.PackedSize = result.size();
  }
  if (size < e.PackedSize || size >= kLargeEntryLimit) {
    e.PackedSize = 0;
    result.assign(data, data + size);
  }
  if (e.StoredLength() != 0) e.Crc = Crc32(result.data(), static_cast<size_t>(e.StoredLength()));
  return result;
}

std::optional<TBytes> TPak::Pack(int index, const uint8_t* data, uint32_t size) {
  if (!ValidIndex(index)) return std::nullopt;
  TPakEntry& e = directory_[index];
  if (!data) {
    e.Size = size;
    return std::nullopt;
  }
  return PackEntry(e, data, size);
}

bool TPak::StartDataFiles(const std::string& stem, uint64_t slice_size,
                          std::function<std::string(uint32_t number)> path_of) {
  if (!writer_ || slice_size == 0 || !path_of || !NewSha256()) return false;
  data_file_stem_ = stem;
  data_file_writer_ = std::make_unique<TDataFileWriter>();
  data_file_writer_->SliceSize = slice_size;
  data_file_writer_->PathOf = std::move(path_of);
  return true;
}

bool TPak::CloseDataFile() {
  TDataFileWriter* w = data_file_writer_.get();
  if (!w || !w->File) return !w || !w->Failed;
  if (!w->File->Flush()) w->Failed = true;
  if (!w->Digest->Final(data_files_.back().Sha256)) w->Failed = true;
  w->File.reset();
  w->Digest.reset();
  return !w->Failed;
}

bool TPak::WriteToDataFiles(const uint8_t* data, uint64_t length) {
  TDataFileWriter& w = *data_file_writer_;
  while (length > 0 && !w.Failed) {
    if (!w.File || data_files_.back().Size == w.SliceSize) {
      if (!CloseDataFile() || data_files_.size() >= kMostDataFiles) return w.Failed = true, false;
      const uint32_t number = static_cast<uint32_t>(data_files_.size() + 1);
      TPakDataFile d;
      d.Path = w.PathOf(number);
      w.File = TFileStream::Open(d.Path, TFileMode::Create);
      w.Digest = NewSha256();
      data_files_.push_back(std::move(d));
      if (!w.File || !w.Digest) return w.Failed = true, false;
    }
    TPakDataFile& d = data_files_.back();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, w.SliceSize - d.Size));
    if (w.File->Write(data, n) != n || !w.Digest->Update(data, n)) return w.Failed = true, false;
    d.Size += n;
    data += n;
    length -= n;
  }
  return !w.Failed;
}

bool TPak::PlaceStored(TPakEntry& e, uint64_t length) {
  if (!file_) return false;
  if (length > 0 && ToDataFiles(e)) {
    // The entry starts where the data files end now, or at the start of the next one when the
    // last is full.
    const TDataFileWriter& w = *data_file_writer_;
    const bool next = !w.File || data_files_.back().Size == w.SliceSize;
    if (next && data_files_.size() >= kMostDataFiles) return false;
    e.DataFile = static_cast<uint16_t>(next ? data_files_.size() + 1 : data_files_.size());
    e.Offset = next ? 0 : data_files_.back().Size;
    return true;
  }
  if (!file_->SeekToEnd()) return false;
  const uint64_t end = file_->Tell();
  // An entry that stores nothing names the setup file's end, as the first writers did. A setup
  // file is an executable: past 4 GiB Windows would not start it.
  if (trailer_.DataStart > 0 && end + length > kMostSetupFileSize) return false;
  e.DataFile = 0;
  e.Offset = end;
  return true;
}

bool TPak::WriteStored(const TPakEntry& e, const uint8_t* data, size_t n) {
  if (ToDataFiles(e)) return WriteToDataFiles(data, n);
  return file_->Write(data, n) == n;  // the setup file stays at its end while an entry is written
}

bool TPak::AppendStored(int index, const uint8_t* data, uint64_t length) {
  TPakEntry& e = directory_[index];
  if (!PlaceStored(e, length)) return false;
  return length == 0 || WriteStored(e, data, static_cast<size_t>(length));
}

bool TPak::StoreFromMemory(int index, const uint8_t* data, uint32_t size) {
  std::optional<TBytes> stored = Pack(index, data, size);
  if (!stored) return false;
  return AppendStored(index, stored->data(), directory_[index].StoredLength());
}

bool TPak::StorePacked(int index, const TBytes& stored) {
  if (!ValidIndex(index) || stored.size() != directory_[index].StoredLength()) return false;
  return AppendStored(index, stored.data(), stored.size());
}

bool TPak::ShareStored(int index, int from) {
  if (!ValidIndex(index) || !ValidIndex(from) || from >= index) return false;
  const TPakEntry& source = directory_[from];
  TPakEntry& e = directory_[index];
  e.Crc = source.Crc;
  e.Offset = source.Offset;
  e.PackedSize = source.PackedSize;
  e.Size = source.Size;
  e.DataFile = source.DataFile;
  return true;
}

bool TPak::CopyFileChunked(int index, TFileStream& source, uint64_t length) {
  TPakEntry& e = directory_[index];
  if (!PlaceStored(e, length)) return false;
  TBytes chunk(kCopyChunk);
  uint32_t crc = 0;
  for (uint64_t left = length; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
    if (source.Read(chunk.data(), n) != n || !WriteStored(e, chunk.data(), n)) return false;
    crc = Crc32(chunk.data(), n, crc);
    left -= n;
  }
  e.Crc = crc;
  return true;
}

bool TPak::StoreFromFile(int index) {
  if (!ValidIndex(index)) return false;
  TPakEntry& e = directory_[index];
  const int64_t length = FileLength(e.SourcePath);
  if (length < 0) throw ESetupError("I/O error: cannot open " + e.SourcePath);
  auto source = TFileStream::Open(e.SourcePath, TFileMode::Read);
  if (!source) return false;
  if (static_cast<uint64_t>(length) >= kLargeEntryLimit) {
    // Large entries go in as they are, copied in chunks, never whole in memory; their CRC is
    // taken on the way.
    e.Size = static_cast<uint64_t>(length);
    e.PackedSize = 0;
    return CopyFileChunked(index, *source, static_cast<uint64_t>(length));
  }
  TBytes data(static_cast<size_t>(length));
  if (source->Read(data.data(), data.size()) != data.size()) return false;
  if (data.empty()) {  // an empty file: a record with no stored bytes
    e.Size = e.PackedSize = e.Crc = 0;
    return AppendStored(index, nullptr, 0);
  }
  return StoreFromMemory(index, data.data(), static_cast<uint32_t>(data.size()));
}

bool TPak::NeedsVersion2(uint64_t directory_offset) const {
  if (!data_files_.empty() || directory_.size() > kPakVersion1MostEntries) return true;
  if (trailer_.DataStart > kPakVersion1MostValue) return true;
  uint64_t bytes = directory_offset + kPakTrailerSize;
  for (const TPakEntry& e : directory_) {
    if (e.Offset > kPakVersion1MostValue || e.PackedSize > kPakVersion1MostValue || e.Size > kPakVersion1MostValue) {
      return true;
    }
    bytes += kPakRecordFixedSize + e.Name.size();
  }
  return bytes > kPakVersion1MostValue;  // the trailer's DirOffset must fit, and so the file
}

bool TPak::WriteDirectory() {
  if (!file_ || !CloseDataFile() || !file_->SeekToEnd()) return false;
  const uint64_t dir_offset = file_->Tell();
  const bool version2 = NeedsVersion2(dir_offset);
  std::string out;
  for (const TPakEntry& e : directory_) {
    if (e.Name.size() > 0xFFFF) return false;
    AppendLE16(out, static_cast<uint16_t>(e.Name.size()));
    out += e.Name;
    AppendLE32(out, e.Crc);
    if (version2) {
      AppendLE64(out, e.Offset);
      AppendLE64(out, e.PackedSize);
      AppendLE64(out, e.Size);
      AppendLE16(out, e.Group);
      AppendLE16(out, e.DataFile);
    } else {
      AppendLE32(out, static_cast<uint32_t>(e.Offset));
      AppendLE32(out, static_cast<uint32_t>(e.PackedSize));
      AppendLE32(out, static_cast<uint32_t>(e.Size));
      AppendLE16(out, e.Group);
    }
  }
  std::memcpy(trailer_.Magic, "KZPF", 4);
  trailer_.Count = static_cast<uint32_t>(directory_.size());
  trailer_.DirOffset = dir_offset;
  if (version2) {
    if (directory_.size() > UINT32_MAX || data_file_stem_.size() > 0xFFFF) return false;
    trailer_.Version = kPakVersion2;
    trailer_.DataFileCount = static_cast<uint32_t>(data_files_.size());
    trailer_.TableOffset = dir_offset + out.size();
    AppendLE16(out, static_cast<uint16_t>(data_file_stem_.size()));
    out += data_file_stem_;
    for (const TPakDataFile& d : data_files_) {
      AppendLE64(out, d.Size);
      out.append(reinterpret_cast<const char*>(d.Sha256.data()), d.Sha256.size());
    }
    AppendLE64(out, trailer_.DataStart);
    AppendLE64(out, trailer_.DirOffset);
    AppendLE32(out, trailer_.Count);
    AppendLE32(out, trailer_.DataFileCount);
    AppendLE64(out, trailer_.TableOffset);
    out.append(trailer_.Magic, 4);
    AppendLE16(out, trailer_.Version);
    AppendLE16(out, 0);  // the first version's Count: its readers see no entries
    AppendLE32(out, trailer_.Flags);
    AppendLE32(out, static_cast<uint32_t>(kPakTrailer2Size));
  } else {
    trailer_.Version = kPakVersion1;
    out.append(trailer_.Magic, 4);
    AppendLE16(out, trailer_.Version);
    AppendLE16(out, static_cast<uint16_t>(trailer_.Count));
    AppendLE32(out, static_cast<uint32_t>(trailer_.DataStart));
    AppendLE32(out, static_cast<uint32_t>(trailer_.DirOffset));
  }
  // The setup file, directory and all, stays an executable Windows starts.
  if (trailer_.DataStart > 0 && dir_offset + out.size() > kMostSetupFileSize) return false;
  bool ok = file_->Write(out.data(), out.size()) == out.size();
  return file_->Flush() && ok;
}

}  // namespace setup

// The setup package reader and writer.
//
// The reader trusts nothing it reads: the directory must lie between DirOffset and the
// trailer, every record and name inside it, and an entry's stored bytes inside the file
// before any buffer is allocated for them. A directory that breaks these rules reads as an
// empty directory; an entry that breaks them fails verification.
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
constexpr size_t kSmallestOutPiece = 16384;  // room to count what a stream gives past Size

}  // namespace

// ---------------------------------------------------------------- construction

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
        trailer_.DataStart = static_cast<uint32_t>(file_size_);
      }
      break;
  }
}

TPak::~TPak() = default;

void TPak::Close() { file_.reset(); }

// ---------------------------------------------------------------- reading

void TPak::ReadDirectory() {
  directory_.clear();
  trailer_ = TPakTrailer{};
  directory_sound_ = true;
  if (!file_) return;
  file_size_ = PackageEnd(*file_, file_->Size());
  if (file_size_ < kPakTrailerSize) return;

  uint8_t raw[kPakTrailerSize];
  if (!file_->Seek(file_size_ - kPakTrailerSize) || file_->Read(raw, sizeof raw) != sizeof raw) return;
  std::memcpy(trailer_.Magic, raw, 4);
  trailer_.Version = LoadLE16(raw + 4);
  trailer_.Count = LoadLE16(raw + 6);
  trailer_.DataStart = LoadLE32(raw + 8);
  trailer_.DirOffset = LoadLE32(raw + 12);
  if (!trailer_.HasMagic()) return;

  // The records must fit between DirOffset and the trailer; read that span once.
  const uint64_t dir_end = file_size_ - kPakTrailerSize;
  const uint64_t dir_start = trailer_.DirOffset;
  const uint64_t smallest = static_cast<uint64_t>(trailer_.Count) * kPakRecordFixedSize;
  if (dir_start > dir_end || dir_end - dir_start < smallest) {
    directory_sound_ = false;
    return;
  }
  // A directory never needs more than Count records of the longest name.
  const uint64_t largest = static_cast<uint64_t>(trailer_.Count) * (kPakRecordFixedSize + 0xFFFF);
  const uint64_t span = dir_end - dir_start < largest ? dir_end - dir_start : largest;
  TBytes records(static_cast<size_t>(span));
  if (!file_->Seek(dir_start) || file_->Read(records.data(), records.size()) != records.size()) {
    directory_sound_ = false;
    return;
  }

  try {
    TBufferManager cursor(records.data(), records.size());
    directory_.resize(trailer_.Count);
    for (TPakEntry& e : directory_) {
      e.Name = cursor.ReadString();
      e.Crc = static_cast<uint32_t>(cursor.ReadInt32());
      e.Offset = static_cast<uint32_t>(cursor.ReadInt32());
      e.PackedSize = static_cast<uint32_t>(cursor.ReadInt32());
      e.Size = static_cast<uint32_t>(cursor.ReadInt32());
      e.Group = cursor.ReadUInt16();
    }
  } catch (const ESetupError&) {
    directory_.clear();
    directory_sound_ = false;
  }
}

TBytes TPak::ReadStored(int index) {
  if (!ValidIndex(index) || !file_) return {};
  const TPakEntry& e = directory_[index];
  const uint32_t length = e.StoredLength();
  if (length == 0) return {};
  if (static_cast<uint64_t>(e.Offset) + length > file_size_) return {};  // would read past the end
  TBytes stored(length);
  if (!file_->Seek(e.Offset) || file_->Read(stored.data(), length) != length) return {};
  if (Crc32(stored.data(), length) != e.Crc) return {};
  return stored;
}

TBytes TPak::Extract(int index) {
  TBytes out;
  const TExtractResult whole = ExtractTo(index, [&](const uint8_t* data, size_t size) {
    if (out.empty()) {
      // Room for the whole entry, but never for more than its stream can give.
      const TPakEntry& e = directory_[index];
      const uint64_t reachable = MostInflatedBytes(e.StoredLength());
      out.reserve(e.Size < reachable ? e.Size : static_cast<size_t>(reachable));
    }
    out.insert(out.end(), data, data + size);
  });
  if (!whole) return {};
  return out;
}

std::string DecompSizeMessage(const std::string& name, uint64_t inflated, uint32_t size) {
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
  const uint32_t length = e.StoredLength();
  if (length == 0 || e.Size == 0) return false;
  if (static_cast<uint64_t>(e.Offset) + length > file_size_) return false;  // would read past the end
  if (!file_->Seek(e.Offset)) return false;

  const bool packed = e.PackedSize != 0;
  // A Size no stream of these bytes can reach goes the counting way, which reports it.
  const bool whole = packed && e.Size <= kWholeInflateLimit && e.Size <= MostInflatedBytes(length);
  if (whole && ExtractWhole(e, sink)) return true;
  if (!file_->Seek(e.Offset)) return false;

  // The buffers grow to what the entries need, up to a piece; small packages stay small.
  // Whatever the whole-buffer reading did not take (a stream that does not inflate to Size,
  // bytes that fail the CRC) is read again here, where zlib gives the outcome and its numbers.
  const size_t in_room = std::min<size_t>(length, kPieceSize);
  if (stored_piece_.size() < in_room) stored_piece_.resize(in_room);
  std::optional<TInflateStream> zs;
  if (packed) {
    const size_t out_room = std::min<size_t>(std::max<size_t>(e.Size, kSmallestOutPiece), kPieceSize);
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
  for (uint32_t left = length; left > 0;) {
    const uint32_t n = left < in_piece ? left : static_cast<uint32_t>(in_piece);
    if (file_->Read(stored_piece_.data(), n) != n) return false;
    crc = Crc32(stored_piece_.data(), n, crc);
    left -= n;
    if (!packed) {
      sink(stored_piece_.data(), n);
      continue;
    }
    (*zs)->next_in = stored_piece_.data();
    (*zs)->avail_in = n;
    while (!broken && !ended) {
      (*zs)->next_out = inflated_piece_.data();
      (*zs)->avail_out = static_cast<uInt>(out_piece);
      const int rc = inflate(zs->get(), Z_NO_FLUSH);
      const size_t got = out_piece - (*zs)->avail_out;
      // Only the bytes up to Size are handed on; the rest is counted for the message.
      if (got > 0 && produced < e.Size) sink(inflated_piece_.data(), std::min<uint64_t>(got, e.Size - produced));
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
  const uint32_t length = e.StoredLength();
  const size_t size = e.Size;
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
  if (file_->Read(whole_stored_.data(), length) != length || Crc32(whole_stored_.data(), length) != e.Crc ||
      !FastInflateExactly(whole_stored_.data(), length, whole_inflated_.data(), size)) {
    return false;
  }
  for (size_t at = 0; at < size; at += kPieceSize) {
    sink(whole_inflated_.data() + at, std::min<size_t>(kPieceSize, size - at));
  }
  return true;
}

bool TPak::LargeEntryCrcMatches(const TPakEntry& e) {
  const size_t piece = kPieceSize;
  if (stored_piece_.size() < piece) stored_piece_.resize(piece);
  uint32_t crc = 0;
  for (uint32_t done = 0; done < e.Size;) {
    const size_t n = std::min<size_t>(piece, e.Size - done);
    if (ReadAt(static_cast<uint64_t>(e.Offset) + done, stored_piece_.data(), n) != n) return false;
    crc = Crc32(stored_piece_.data(), n, crc);
    done += static_cast<uint32_t>(n);
  }
  return crc == e.Crc;
}

bool TPak::Verify(int index) {
  ForgetExtract(index);
  if (!ValidIndex(index)) return false;
  const TPakEntry& e = directory_[index];
  // A large entry must be stored plain and lie inside the file. Its bytes are read, piece by
  // piece, only when it carries a CRC: packages from before large entries had one hold 0 there.
  if (e.Size >= kLargeEntryLimit) {
    const bool inside = e.PackedSize == 0 && static_cast<uint64_t>(e.Offset) + e.Size <= file_size_;
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

TBytes TPak::FindByName(const std::string& name, uint16_t group, uint32_t* size) {
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

size_t TPak::ReadAt(uint64_t offset, void* buffer, size_t n) {
  if (!file_ || offset >= file_size_) return 0;
  if (n > file_size_ - offset) n = static_cast<size_t>(file_size_ - offset);
  if (!file_->Seek(offset)) return 0;
  return file_->Read(buffer, n);
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
    e.PackedSize = static_cast<uint32_t>(result.size());
  }
  if (size < e.PackedSize || size >= kLargeEntryLimit) {
    e.PackedSize = 0;
    result.assign(data, data + size);
  }
  if (e.StoredLength() != 0) e.Crc = Crc32(result.data(), e.StoredLength());
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

bool TPak::AppendStored(int index, const uint8_t* data, uint32_t length) {
  if (!file_ || !file_->SeekToEnd()) return false;
  const uint64_t end = file_->Tell();
  // Offsets are 32-bit: a package may not grow past 4 GiB.
  if (end + length > 0xFFFFFFFFull) return false;
  directory_[index].Offset = static_cast<uint32_t>(end);
  return file_->Write(data, length) == length;
}

bool TPak::StoreFromMemory(int index, const uint8_t* data, uint32_t size) {
  std::optional<TBytes> stored = Pack(index, data, size);
  if (!stored) return false;
  return AppendStored(index, stored->data(), directory_[index].StoredLength());
}

bool TPak::StorePacked(int index, const TBytes& stored) {
  if (!ValidIndex(index) || stored.size() != directory_[index].StoredLength()) return false;
  return AppendStored(index, stored.data(), static_cast<uint32_t>(stored.size()));
}

bool TPak::CopyFileChunked(int index, TFileStream& source, uint64_t length) {
  if (!file_ || !file_->SeekToEnd()) return false;
  const uint64_t end = file_->Tell();
  if (end + length > 0xFFFFFFFFull) return false;
  directory_[index].Offset = static_cast<uint32_t>(end);
  TBytes chunk(kCopyChunk);
  uint32_t crc = 0;
  for (uint64_t left = length; left > 0;) {
    size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
    if (source.Read(chunk.data(), n) != n || file_->Write(chunk.data(), n) != n) return false;
    crc = Crc32(chunk.data(), n, crc);
    left -= n;
  }
  directory_[index].Crc = crc;
  return true;
}

bool TPak::StoreFromFile(int index) {
  if (!ValidIndex(index)) return false;
  TPakEntry& e = directory_[index];
  const int64_t length = FileLength(e.SourcePath);
  if (length < 0) throw ESetupError("I/O error: cannot open " + e.SourcePath);
  if (length > 0xFFFFFFFFll) return false;  // Size is 32-bit
  auto source = TFileStream::Open(e.SourcePath, TFileMode::Read);
  if (!source) return false;
  if (static_cast<uint64_t>(length) >= kLargeEntryLimit) {
    // Large entries go in as they are, copied in chunks, never whole in memory; their CRC is
    // taken on the way.
    e.Size = static_cast<uint32_t>(length);
    e.PackedSize = 0;
    return CopyFileChunked(index, *source, static_cast<uint64_t>(length));
  }
  TBytes data(static_cast<size_t>(length));
  if (source->Read(data.data(), data.size()) != data.size()) return false;
  if (data.empty()) {  // an empty file: a record with no stored bytes
    e.Size = e.PackedSize = e.Crc = 0;
    e.Offset = static_cast<uint32_t>(file_->SeekToEnd() ? file_->Tell() : 0);
    return true;
  }
  return StoreFromMemory(index, data.data(), static_cast<uint32_t>(data.size()));
}

bool TPak::WriteDirectory() {
  if (!file_ || !file_->SeekToEnd()) return false;
  if (directory_.size() > 0xFFFF) return false;  // Count is 16-bit
  const uint64_t dir_offset = file_->Tell();
  std::string out;
  for (const TPakEntry& e : directory_) {
    if (e.Name.size() > 0xFFFF) return false;
    AppendLE16(out, static_cast<uint16_t>(e.Name.size()));
    out += e.Name;
    AppendLE32(out, e.Crc);
    AppendLE32(out, e.Offset);
    AppendLE32(out, e.PackedSize);
    AppendLE32(out, e.Size);
    AppendLE16(out, e.Group);
  }
  if (dir_offset + out.size() + kPakTrailerSize > 0xFFFFFFFFull) return false;
  std::memcpy(trailer_.Magic, "KZPF", 4);
  trailer_.Version = 1;
  trailer_.Count = static_cast<uint16_t>(directory_.size());
  trailer_.DirOffset = static_cast<uint32_t>(dir_offset);
  out.append(trailer_.Magic, 4);
  AppendLE16(out, trailer_.Version);
  AppendLE16(out, trailer_.Count);
  AppendLE32(out, trailer_.DataStart);
  AppendLE32(out, trailer_.DirOffset);
  bool ok = file_->Write(out.data(), out.size()) == out.size();
  return file_->Flush() && ok;
}

}  // namespace setup

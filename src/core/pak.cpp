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

#include "core/crc.h"
#include "core/deflate.h"
#include "core/error.h"
#include "core/pak_state.h"
#include "core/text.h"

namespace setup {

namespace {

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

constexpr uint64_t kMostCounted = 0xFFFFFFFFull;  // a longer stream is not counted further
constexpr size_t kSmallestOutPiece = 16384;  // room to count what a stream gives past Size

}  // namespace

// ---------------------------------------------------------------- construction

TPak::TPak(const std::string& file_name, TPakOpenMode mode) : lower_(LowerUnicode) {
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

bool TPak::StoredInside(const TPakEntry& e) const {
  const uint64_t length = e.StoredLength();
  if (e.DataFile == 0) return e.Offset <= file_size_ && length <= file_size_ - e.Offset;
  if (e.DataFile > data_files_.size()) return false;
  const size_t first = e.DataFile - 1u;
  if (e.Offset >= data_files_[first].Size || length > bytes_from_[first] - e.Offset) return false;
  // Every data file the bytes run through must be there with its length: the table's sizes
  // alone would let a missing file's claimed bytes be allocated for and taken on trust.
  uint64_t left = length;
  for (size_t i = first; left > 0; ++i) {
    const TPakDataFile& d = data_files_[i];
    const uint64_t take = std::min(left, d.Size - (i == first ? e.Offset : 0));
    if (take > 0 && (!data_file_states_[i] || d.FoundSize != d.Size)) return false;
    left -= take;
  }
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
    // A digest that failed stops taking bytes: the loop would read the same piece for ever.
    if (ReadFromFile(number, state->Hashed, stored_piece_.data(), n) != n || state->DigestFailed) break;
  }
  TSha256Digest digest{};
  const bool ok = state->Hashed == d.Size && !state->DigestFailed && state->Digest->Final(digest) &&
                  digest == d.Sha256;
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
TBytes TPak::FindByName(const std::string& name, uint16_t group, uint64_t* size) {
  if (size) *size = 0;
  ForgetExtract();
  const int index = IndexOfName(name, group);
  if (index < 0) return {};
  if (size) *size = directory_[static_cast<size_t>(index)].Size;
  return Extract(index);
}

}  // namespace setup

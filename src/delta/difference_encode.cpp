// Making a difference (the builder's side; setup.exe never links this file).
//
// The reference method hands zstd the whole old file as the frame's reference prefix, with
// long-distance matching and a window that spans both files, at a high level: zstd finds every
// match, near or far, at any alignment.
//
// The chunks method works in three passes and holds neither file: the old file is cut into
// content-defined chunks (content_chunks.h) and indexed by chunk hash while its SHA-256 is taken;
// the new file's identity is taken; then the new file is cut the same way and each of its chunks
// becomes, in this order of preference:
//   - a copy from the aligned place: where the latest alignment (old position less new position)
//     puts the chunk, when the old bytes there are the chunk's bytes;
//   - a copy from wherever the index finds a chunk with the same hash, length and bytes;
//     either copy is first extended backwards byte by byte over the new bytes pending before it;
//   - new bytes, but for the runs of at least kLeastRun bytes that the aligned place (or an old
//     chunk that begins with the same kAnchorBytes) still has: those become copies, unless a
//     chunk found later takes them back by extending backwards (a change that kept its length
//     costs only its own bytes, however densely such changes lie).
// A copy that goes straight on from the one before joins it. Pending new bytes are written out
// once they pass kNewBytesFlush, less the last kBackReach bytes that a following copy may still
// take back.
//
// zstd's row-based match finder is asked for by name (an experimental parameter of the static
// library this links): left to zstd, it is taken or not by whether the processor has 128-bit
// vectors and by the window, and the two finders make different bytes.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/file_stream.h"
#include "delta/content_chunks.h"
#include "delta/difference_format.h"

namespace setup::delta {

namespace {

using chunks::kChunkMost;

// zstd levels. Reference: level 19, with long-distance matching and a window over both files.
// Measured on a 30 MB archive with 40 members replaced: level 9 made 1,078 KB in 0.3 s, 12
// 1,062 KB in 0.6 s, 19 998 KB in 6.6 s (xdelta3 -9: 1,140 KB in 1.5 s); on a 10 MB zip with
// five members edited, 68.8, 67.2 and 65.3 KB (xdelta3 -9: 68.6 KB). Patches are made once and
// downloaded many times; 4 to 5 MB/s for files of at most kReferenceMostSize is affordable.
// Chunks: the stream holds only the bytes no old chunk has, at worst a whole rebuilt archive of
// gigabytes. Level 9 takes such bytes at about 35 MB/s; 12 and 15 made differences less than 1 %
// smaller at half and a sixth of that speed.
constexpr int kReferenceLevel = 19;
constexpr int kChunksLevel = 9;

// Pieces the files are read in.
constexpr size_t kReadPiece = 1 << 20;
// The new file's bytes the chunks encoder holds: the chunk being placed, the pending new bytes
// and room to read ahead.
constexpr size_t kScanBuffer = 4 << 20;
constexpr size_t kNewBytesFlush = 1 << 20;
constexpr size_t kBackReach = 256 << 10;
static_assert(kNewBytesFlush + 2 * kChunkMost + kReadPiece <= kScanBuffer);
// Equal bytes at the aligned place shorter than this stay new bytes: a copy record costs about
// as much.
constexpr size_t kLeastRun = 24;
// The bytes at a chunk's start by which an old chunk that begins alike is found.
constexpr size_t kAnchorBytes = 32;
// Old chunks with the same hash (and length) whose bytes are compared, at most.
constexpr size_t kCandidatesMost = 8;
// Records gathered before they go to zstd, and held back at the start of the stream.
constexpr size_t kRecordStage = 64 << 10;
constexpr size_t kHeldRecords = 1 << 20;

// A file read in order or at positions; remembers the first failure.
class TInputFile {
 public:
  bool Open(const std::string& path) {
    path_ = path;
    if (!FileExists(path)) return false;
    file_ = TFileStream::Open(path, TFileMode::Read);
    if (!file_) return false;
    size_ = file_->Size();
    return true;
  }
  const std::string& Path() const { return path_; }
  uint64_t Size() const { return size_; }
  // Exactly n bytes from position, or false.
  bool ReadAt(uint64_t position, uint8_t* buffer, size_t n) {
    if (n == 0) return true;
    if (position != cursor_ && !file_->Seek(position)) return false;
    const size_t got = file_->Read(buffer, n);
    cursor_ = position + got;
    return got == n;
  }

 private:
  std::string path_;
  std::unique_ptr<TFileStream> file_;
  uint64_t size_ = 0;
  uint64_t cursor_ = 0;
};

// A file read in order, holding the bytes from a kept position on; chunks are cut in it.
class TScanWindow {
 public:
  explicit TScanWindow(TInputFile& file) : file_(file), buffer_(new uint8_t[kScanBuffer]) {}

  // Makes the bytes from pos on available up to kChunkMost past pos or the end of the file,
  // keeping those from keep on (keep <= pos, pos - keep at most kScanBuffer - 2 kChunkMost).
  bool Ensure(uint64_t keep, uint64_t pos) {
    const uint64_t size = file_.Size();
    if (base_ + fill_ >= std::min(size, pos + kChunkMost)) return true;
    const size_t drop = static_cast<size_t>(keep - base_);
    std::memmove(buffer_.get(), buffer_.get() + drop, fill_ - drop);
    fill_ -= drop;
    base_ = keep;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kScanBuffer - fill_, size - (base_ + fill_)));
    if (!file_.ReadAt(base_ + fill_, buffer_.get() + fill_, want)) return false;
    fill_ += want;
    return true;
  }
  const uint8_t* At(uint64_t pos) const { return buffer_.get() + (pos - base_); }
  size_t Available(uint64_t pos) const { return static_cast<size_t>(base_ + fill_ - pos); }

 private:
  TInputFile& file_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint64_t base_ = 0;  // file position of buffer_[0]
  size_t fill_ = 0;
};

// zstd's output, handed to the difference's writer. The first kHeldRecords bytes are held back:
// a stream that ends within them is compressed in one call, so that its frame names its size
// and the applier's window is no larger than the stream (most differences are small).
class TCompressedOut {
 public:
  TCompressedOut(TNewFileWriter& out, uint64_t& written) : out_(out), written_(written) {}
  ~TCompressedOut() { ZSTD_freeCCtx(cctx_); }

  bool Init(int level, int window_log) {
    cctx_ = ZSTD_createCCtx();
    buffer_.reset(new (std::nothrow) uint8_t[ZSTD_CStreamOutSize()]);
    return cctx_ && buffer_ && !ZSTD_isError(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, level)) &&
           !ZSTD_isError(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_windowLog, window_log)) &&
           !ZSTD_isError(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_checksumFlag, 0)) &&
           !ZSTD_isError(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_useRowMatchFinder, ZSTD_ps_enable));
  }
  // false with error set when zstd or the writer fails.
  bool Put(const uint8_t* data, size_t n) {
    if (streaming_) return Run(data, n, ZSTD_e_continue);
    held_.insert(held_.end(), data, data + n);
    if (held_.size() <= kHeldRecords) return true;
    streaming_ = true;
    return Run(held_.data(), held_.size(), ZSTD_e_continue);
  }
  bool End() { return streaming_ ? Run(nullptr, 0, ZSTD_e_end) : Run(held_.data(), held_.size(), ZSTD_e_end); }
  const std::string& Error() const { return error_; }

 private:
  bool Run(const uint8_t* data, size_t n, ZSTD_EndDirective mode) {
    ZSTD_inBuffer in{data, n, 0};
    for (;;) {
      ZSTD_outBuffer out{buffer_.get(), ZSTD_CStreamOutSize(), 0};
      const size_t rc = ZSTD_compressStream2(cctx_, &out, &in, mode);
      if (ZSTD_isError(rc)) {
        error_ = std::string("zstd: ") + ZSTD_getErrorName(rc);
        return false;
      }
      if (out.pos > 0 && !out_.Write(buffer_.get(), out.pos)) {
        error_ = "the difference could not be written";
        return false;
      }
      written_ += out.pos;
      if (mode == ZSTD_e_end ? rc == 0 : in.pos == in.size) return true;
    }
  }

  TNewFileWriter& out_;
  uint64_t& written_;
  ZSTD_CCtx* cctx_ = nullptr;
  std::unique_ptr<uint8_t[]> buffer_;
  std::vector<uint8_t> held_;
  bool streaming_ = false;
  std::string error_;
};

// The chunks method's records (difference_format.h), gathered and compressed.
class TRecordWriter {
 public:
  explicit TRecordWriter(TCompressedOut& out) : out_(out), stage_(new uint8_t[kRecordStage]) {}

  bool Copy(uint64_t from, uint64_t length) {
    if (!Room()) return false;
    fill_ += format::PutVarint(stage_.get() + fill_, length << 2 | format::kRecordCopy);
    fill_ += format::PutVarint(stage_.get() + fill_, format::ZigZag(static_cast<int64_t>(from - copy_end_)));
    copy_end_ = from + length;
    return true;
  }
  bool NewBytes(const uint8_t* data, size_t n) {
    if (n == 0) return true;
    if (!Room()) return false;
    fill_ += format::PutVarint(stage_.get() + fill_, static_cast<uint64_t>(n) << 2 | format::kRecordNewBytes);
    if (n <= kRecordStage - fill_) {
      std::memcpy(stage_.get() + fill_, data, n);
      fill_ += n;
      return true;
    }
    return Drain() && out_.Put(data, n);
  }
  bool End() {
    if (!Room()) return false;
    fill_ += format::PutVarint(stage_.get() + fill_, format::kRecordEnd);
    return Drain() && out_.End();
  }

 private:
  // Room for the longest record head.
  bool Room() { return kRecordStage - fill_ >= 2 * format::kMostVarintBytes || Drain(); }
  bool Drain() {
    const size_t n = fill_;
    fill_ = 0;
    return out_.Put(stage_.get(), n);
  }

  TCompressedOut& out_;
  std::unique_ptr<uint8_t[]> stage_;
  size_t fill_ = 0;
  uint64_t copy_end_ = 0;
};

// The old file's chunks, sorted by hash then position.
struct TChunkEntry {
  uint64_t Hash;
  uint64_t Offset;
  uint32_t Length;
  bool operator<(const TChunkEntry& o) const { return Hash != o.Hash ? Hash < o.Hash : Offset < o.Offset; }
};

class TChunksEncoder {
 public:
  TChunksEncoder(TInputFile& old_file, TInputFile& new_file) : old_(old_file), new_(new_file) {}

  // Cuts and indexes the old file and takes its SHA-256.
  bool IndexOld(TFileIdentity& identity) {
    std::unique_ptr<TSha256> digest = NewSha256();
    if (!digest) return Fail("no SHA-256 digest is available");
    TScanWindow window(old_);
    const uint64_t size = old_.Size();
    uint64_t digested = 0;
    for (uint64_t pos = 0; pos < size;) {
      if (!window.Ensure(pos, pos)) return Fail("cannot read " + old_.Path());
      // The digest takes the bytes as they arrive in the window, each once.
      const uint64_t held_to = pos + window.Available(pos);
      if (held_to > digested) {
        if (!digest->Update(window.At(digested), static_cast<size_t>(held_to - digested)))
          return Fail("the SHA-256 digest failed");
        digested = held_to;
      }
      const size_t length = chunks::ChunkLength(window.At(pos), window.Available(pos));
      index_.push_back({chunks::ChunkHash(window.At(pos), length), pos, static_cast<uint32_t>(length)});
      if (length >= kAnchorBytes) anchors_.push_back({chunks::ChunkHash(window.At(pos), kAnchorBytes), pos, 0});
      pos += length;
    }
    std::sort(index_.begin(), index_.end());
    std::sort(anchors_.begin(), anchors_.end());
    identity.Size = size;
    if (!digest->Final(identity.Sha256)) return Fail("the SHA-256 digest failed");
    return true;
  }

  // Writes the records that make the new file.
  bool Encode(TRecordWriter& records) {
    records_ = &records;
    scratch_.reset(new uint8_t[kChunkMost]);
    aligned_.reset(new uint8_t[kChunkMost]);
    anchored_.reset(new uint8_t[kChunkMost]);
    TScanWindow window(new_);
    window_ = &window;
    const uint64_t size = new_.Size();
    for (pos_ = 0; pos_ < size;) {
      if (!window.Ensure(new_from_, pos_)) return Fail("cannot read " + new_.Path());
      const size_t length = chunks::ChunkLength(window.At(pos_), window.Available(pos_));
      if (!Place(window.At(pos_), length)) return false;
      pos_ += length;
      if (pos_ - new_from_ > kNewBytesFlush && !FlushPending(pos_ - kBackReach)) return false;
    }
    return FlushPending(size) && Check(records.End());
  }

  const std::string& Error() const { return error_; }

 private:
  // Decides the chunk [pos_, pos_ + length).
  bool Place(const uint8_t* data, size_t length) {
    // The old bytes where the latest alignment puts the chunk: the chunk itself when nothing
    // changed here, or the same bytes around a change that kept the length.
    size_t aligned = 0;
    const uint64_t aligned_at = pos_ + static_cast<uint64_t>(shift_);
    if (shift_ >= -static_cast<int64_t>(pos_) && aligned_at < old_.Size()) {
      aligned = static_cast<size_t>(std::min<uint64_t>(length, old_.Size() - aligned_at));
      if (!old_.ReadAt(aligned_at, aligned_.get(), aligned)) return Fail("cannot read " + old_.Path());
    }
    uint64_t found = aligned_at;
    bool have = aligned == length && std::memcmp(aligned_.get(), data, length) == 0;
    if (!have && !Find(data, length, found, have)) return false;
    if (have) {
      size_t back = 0;
      const size_t reach = static_cast<size_t>(std::min<uint64_t>(pos_ - new_from_, found));
      if (reach > 0 && !SameBackward(found, window_->At(pos_), reach, back)) return false;
      shift_ = static_cast<int64_t>(found - pos_);
      return TakeCopy(pos_ - back, found - back, back + length, true);
    }

    // New bytes, but for the runs an old place still has: the aligned one or, when that keeps
    // less than half the chunk, an old chunk that begins as this one does and keeps at least
    // half (it sets the alignment from here on). Cuts fall alike in both files, so after a change
    // of length the chunks that follow begin at the same content even when changes lie too
    // densely for any of them to be equal whole.
    const uint8_t* old_bytes = aligned_.get();
    size_t old_count = aligned;
    uint64_t old_at = aligned_at;
    const size_t kept = RunBytes(old_bytes, old_count, data);
    if (kept < length / 2 && length >= kAnchorBytes) {
      const uint64_t hash = chunks::ChunkHash(data, kAnchorBytes);
      auto it = std::lower_bound(anchors_.begin(), anchors_.end(), TChunkEntry{hash, 0, 0});
      size_t best = std::max(kept, length / 2 - 1);
      for (size_t tried = 0; it != anchors_.end() && it->Hash == hash && tried < kCandidatesMost; ++it, ++tried) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(length, old_.Size() - it->Offset));
        if (!old_.ReadAt(it->Offset, scratch_.get(), count)) return Fail("cannot read " + old_.Path());
        const size_t candidate = RunBytes(scratch_.get(), count, data);
        if (candidate > best) {
          best = candidate;
          std::swap(scratch_, anchored_);
          old_bytes = anchored_.get();
          old_count = count;
          old_at = it->Offset;
          shift_ = static_cast<int64_t>(old_at - pos_);
        }
      }
    }
    for (size_t i = 0; i < old_count;) {
      const size_t end = RunEnd(old_bytes, old_count, data, i);
      if (end == i) {
        ++i;
      } else {
        if (end - i >= kLeastRun && !TakeCopy(pos_ + i, old_at + i, end - i, false)) return false;
        i = end;
      }
    }
    return true;
  }

  // Where the run of equal bytes from i ends (i when the bytes at i differ).
  static size_t RunEnd(const uint8_t* old_bytes, size_t n, const uint8_t* data, size_t i) {
    return static_cast<size_t>(std::mismatch(data + i, data + n, old_bytes + i).first - data);
  }

  // The bytes that runs of at least kLeastRun equal bytes keep.
  static size_t RunBytes(const uint8_t* old_bytes, size_t n, const uint8_t* data) {
    size_t kept = 0;
    for (size_t i = 0; i < n;) {
      const size_t end = RunEnd(old_bytes, n, data, i);
      if (end == i) {
        ++i;
      } else {
        if (end - i >= kLeastRun) kept += end - i;
        i = end;
      }
    }
    return kept;
  }

  // Places a copy of the new bytes [new_at, new_at + length) from the old file's old_at. Right
  // after the pending copy or the records written, it becomes the pending copy (one with it when
  // it goes straight on). After pending new bytes, a firm copy (a whole chunk found, extended
  // backwards) writes what is pending before it; a run is only noted among the pending bytes,
  // so that a chunk found later can still take them back whole: short runs of equal bytes at a
  // wrong alignment (zeros, padding) would otherwise cut that backward extension short.
  bool TakeCopy(uint64_t new_at, uint64_t old_at, uint64_t length, bool firm) {
    if (new_at != new_from_ && !firm) {
      if (!runs_.empty() && runs_.back().NewAt + runs_.back().Length == new_at &&
          runs_.back().OldAt + runs_.back().Length == old_at) {
        runs_.back().Length += length;
      } else {
        runs_.push_back({new_at, old_at, length});
      }
      return true;
    }
    if (have_copy_ && new_at == new_from_ && copy_from_ + copy_length_ == old_at) {
      copy_length_ += length;
    } else {
      if (!FlushPending(new_at)) return false;
      have_copy_ = true;
      copy_from_ = old_at;
      copy_length_ = length;
    }
    runs_.clear();  // any left lie inside this copy
    new_from_ = new_at + length;
    return true;
  }

  // Writes the pending copy, then the pending bytes up to end (new bytes, and copies for the
  // runs noted among them); what follows end stays pending.
  bool FlushPending(uint64_t end) {
    if (have_copy_ && !Check(records_->Copy(copy_from_, copy_length_))) return false;
    have_copy_ = false;
    size_t used = 0;
    for (; used < runs_.size() && runs_[used].NewAt < end; ++used) {
      TRun& run = runs_[used];
      if (!WriteNewBytes(run.NewAt)) return false;
      const uint64_t take = std::min(run.Length, end - run.NewAt);
      if (!Check(records_->Copy(run.OldAt, take))) return false;
      new_from_ = run.NewAt + take;
      if (take < run.Length) {  // the rest of the run stays noted
        run = {run.NewAt + take, run.OldAt + take, run.Length - take};
        break;
      }
    }
    runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(used));
    return WriteNewBytes(end);
  }

  // Writes the pending new bytes up to end.
  bool WriteNewBytes(uint64_t end) {
    if (end <= new_from_) return true;
    if (!Check(records_->NewBytes(window_->At(new_from_), static_cast<size_t>(end - new_from_)))) return false;
    new_from_ = end;
    return true;
  }

  // An old chunk with the data's hash, length and bytes: the first by position.
  bool Find(const uint8_t* data, size_t length, uint64_t& found, bool& have) {
    const uint64_t hash = chunks::ChunkHash(data, length);
    auto it = std::lower_bound(index_.begin(), index_.end(), TChunkEntry{hash, 0, 0});
    for (size_t tried = 0; it != index_.end() && it->Hash == hash && tried < kCandidatesMost; ++it) {
      if (it->Length != length) continue;
      ++tried;
      if (!old_.ReadAt(it->Offset, scratch_.get(), length)) return Fail("cannot read " + old_.Path());
      if (std::memcmp(scratch_.get(), data, length) == 0) {
        found = it->Offset;
        have = true;
        return true;
      }
    }
    have = false;
    return true;
  }

  // How many of the n bytes before data_end the old file has before position.
  bool SameBackward(uint64_t position, const uint8_t* data_end, size_t n, size_t& same) {
    same = 0;
    while (same < n) {
      const size_t take = std::min(n - same, kChunkMost);
      if (!old_.ReadAt(position - same - take, scratch_.get(), take)) return Fail("cannot read " + old_.Path());
      const uint8_t* new_part = data_end - same - take;
      size_t equal = 0;
      while (equal < take && scratch_[take - 1 - equal] == new_part[take - 1 - equal]) ++equal;
      same += equal;
      if (equal < take) break;
    }
    return true;
  }

  bool Check(bool ok) { return ok || Fail("cannot write the difference"); }
  bool Fail(std::string error) {
    if (error_.empty()) error_ = std::move(error);
    return false;
  }

  TInputFile& old_;
  TInputFile& new_;
  std::vector<TChunkEntry> index_;
  std::vector<TChunkEntry> anchors_;     // by the hash of the chunk's first kAnchorBytes
  std::unique_ptr<uint8_t[]> scratch_;   // old bytes read for a comparison
  std::unique_ptr<uint8_t[]> aligned_;   // the old bytes at the chunk's aligned place
  std::unique_ptr<uint8_t[]> anchored_;  // the old bytes of the best chunk that begins alike
  TScanWindow* window_ = nullptr;
  TRecordWriter* records_ = nullptr;
  std::string error_;

  // The new file up to pos_ is placed: records written, then the pending copy (if any), then
  // the pending new bytes [new_from_, pos_).
  uint64_t pos_ = 0;
  uint64_t new_from_ = 0;
  bool have_copy_ = false;
  uint64_t copy_from_ = 0;
  uint64_t copy_length_ = 0;
  // Runs of equal bytes noted in the pending new bytes, in order.
  struct TRun {
    uint64_t NewAt, OldAt, Length;
  };
  std::vector<TRun> runs_;
  int64_t shift_ = 0;  // old position less new position where the old file is expected to go on
};

TEncodeResult Failure(std::string error) {
  TEncodeResult result;
  result.Error = std::move(error);
  return result;
}

bool WriteHeader(const TDifferenceHeader& header, TNewFileWriter& out) {
  uint8_t bytes[kDifferenceHeaderSize];
  format::StoreDifferenceHeader(header, bytes);
  return out.Write(bytes, sizeof bytes);
}

// A file of at most kReferenceMostSize bytes, whole, and its identity.
bool ReadWhole(TInputFile& file, std::unique_ptr<uint8_t[]>& bytes, TFileIdentity& identity) {
  const size_t size = static_cast<size_t>(file.Size());
  bytes.reset(new (std::nothrow) uint8_t[std::max<size_t>(size, 1)]);
  std::unique_ptr<TSha256> digest = NewSha256();
  if (!bytes || !digest || !file.ReadAt(0, bytes.get(), size) || !digest->Update(bytes.get(), size)) return false;
  identity.Size = size;
  return digest->Final(identity.Sha256);
}

TEncodeResult EncodeReference(TInputFile& old_file, TInputFile& new_file, TNewFileWriter& out) {
  for (TInputFile* file : {&old_file, &new_file}) {
    if (file->Size() > kReferenceMostSize) {
      return Failure(file->Path() + " has more bytes than the reference method takes (" +
                     std::to_string(kReferenceMostSize) + ")");
    }
  }
  TEncodeResult result;
  result.Header.Method = TDifferenceMethod::Reference;
  std::unique_ptr<uint8_t[]> old_bytes, new_bytes;
  if (!ReadWhole(old_file, old_bytes, result.Header.Old)) return Failure("cannot read " + old_file.Path());
  if (!ReadWhole(new_file, new_bytes, result.Header.New)) return Failure("cannot read " + new_file.Path());
  const size_t old_size = static_cast<size_t>(result.Header.Old.Size);
  const size_t new_size = static_cast<size_t>(result.Header.New.Size);

  const size_t bound = ZSTD_compressBound(new_size);
  std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[bound]);
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> owner(cctx, ZSTD_freeCCtx);
  if (!frame || !cctx) return Failure("no memory to encode " + new_file.Path());
  const int window_log = format::ReferenceWindowLog(old_size, new_size);
  const std::pair<ZSTD_cParameter, int> parameters[] = {{ZSTD_c_compressionLevel, kReferenceLevel},
                                                        {ZSTD_c_windowLog, window_log},
                                                        {ZSTD_c_enableLongDistanceMatching, 1},
                                                        {ZSTD_c_checksumFlag, 0},
                                                        {ZSTD_c_contentSizeFlag, 1},
                                                        {ZSTD_c_useRowMatchFinder, ZSTD_ps_enable}};
  for (const auto& [parameter, value] : parameters) {
    if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx, parameter, value))) return Failure("zstd refused a parameter");
  }
  if (ZSTD_isError(ZSTD_CCtx_refPrefix(cctx, old_size ? old_bytes.get() : nullptr, old_size))) {
    return Failure("zstd refused the old file as reference");
  }
  const size_t frame_size = ZSTD_compress2(cctx, frame.get(), bound, new_bytes.get(), new_size);
  if (ZSTD_isError(frame_size)) return Failure(std::string("zstd: ") + ZSTD_getErrorName(frame_size));
  if (!WriteHeader(result.Header, out) || !out.Write(frame.get(), frame_size)) {
    return Failure("cannot write the difference of " + new_file.Path());
  }
  result.Ok = true;
  result.Size = kDifferenceHeaderSize + frame_size;
  return result;
}

TEncodeResult EncodeChunks(TInputFile& old_file, TInputFile& new_file, TNewFileWriter& out) {
  TEncodeResult result;
  result.Header.Method = TDifferenceMethod::Chunks;
  TChunksEncoder encoder(old_file, new_file);
  if (!encoder.IndexOld(result.Header.Old)) return Failure(encoder.Error());
  if (!IdentifyFile(new_file.Path(), result.Header.New)) return Failure("cannot read " + new_file.Path());
  if (result.Header.New.Size != new_file.Size()) return Failure(new_file.Path() + " changed while it was read");
  if (!WriteHeader(result.Header, out)) return Failure("cannot write the difference of " + new_file.Path());
  result.Size = kDifferenceHeaderSize;
  TCompressedOut compressed(out, result.Size);
  if (!compressed.Init(kChunksLevel, kChunksWindowLog)) return Failure("no memory to encode " + new_file.Path());
  TRecordWriter records(compressed);
  if (!encoder.Encode(records)) {
    return Failure(compressed.Error().empty() ? encoder.Error() : compressed.Error());
  }
  result.Ok = true;
  return result;
}

}  // namespace

TEncodeResult EncodeDifference(const std::string& old_path, const std::string& new_path, TNewFileWriter& out,
                               TDifferenceMethod method) {
  TInputFile old_file, new_file;
  if (!old_file.Open(old_path)) return Failure("cannot open " + old_path);
  if (!new_file.Open(new_path)) return Failure("cannot open " + new_path);
  return method == TDifferenceMethod::Reference ? EncodeReference(old_file, new_file, out)
                                                : EncodeChunks(old_file, new_file, out);
}

TEncodeResult EncodeDifference(const std::string& old_path, const std::string& new_path, TNewFileWriter& out) {
  const int64_t old_size = FileLength(old_path);
  const int64_t new_size = FileLength(new_path);
  const bool fits = old_size >= 0 && new_size >= 0 && static_cast<uint64_t>(old_size) <= kReferenceMostSize &&
                    static_cast<uint64_t>(new_size) <= kReferenceMostSize;
  return EncodeDifference(old_path, new_path, out, fits ? TDifferenceMethod::Reference : TDifferenceMethod::Chunks);
}

}  // namespace setup::delta

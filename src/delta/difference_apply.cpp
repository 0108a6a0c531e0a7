// Applying a difference: the header, then the method's zstd stream, taken piece by piece as a
// package entry is read; the new file goes to the writer in order and through the digest.
//
// The reference method reads the whole old file into memory once (it is the frame's reference
// prefix), then decompresses the frame into a fixed buffer that is handed on whenever it fills;
// zstd itself keeps what the frame's window needs, at most the new file's size, which the frame
// must name and which must be the header's. The chunks method decompresses the record stream
// into a small buffer and follows the records as they come: new bytes are copied out, copies
// are read from the old file into the same output buffer. Its memory is the zstd window (at
// most 2^kChunksWindowLog) and two fixed buffers, whatever the files' sizes.
//
// Every failure is sticky: the first one is kept with its message and every later call reports
// it. Nothing is handed to the writer past the new file's named size.
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/byte_order.h"
#include "delta/difference_format.h"

namespace setup::delta {

namespace {

// The new file's bytes gathered before they go to the digest and the writer; progress is
// reported at each hand-over.
constexpr size_t kOutputBuffer = 1 << 20;
// Decompressed records of the chunks method followed at a time.
constexpr size_t kRecordBuffer = 128 << 10;
// The old file is read into memory in pieces of this size (reference method).
constexpr size_t kOldPiece = 1 << 20;
// The longest zstd frame header: enough to learn the content size the frame names.
constexpr size_t kFrameHeaderMost = 18;

std::string Count(uint64_t n) { return std::to_string(n); }

}  // namespace

struct TDifferenceApplier::TState {
  // Where the chunks method's record parser stands.
  enum class TRecordStage {
    Record,    // reading a record's first varint
    CopyFrom,  // reading a copy's position varint
    NewBytes,  // passing on the new bytes of a record (Remaining left)
    Ended,     // the end record was read; nothing may follow
  };

  TOldFileReader& Old;
  TNewFileWriter& New;
  std::function<void(uint64_t)> Progress;

  uint8_t HeaderBytes[kDifferenceHeaderSize];
  size_t HeaderFill = 0;
  bool HaveHeader = false;
  TDifferenceHeader Header;

  TApplyResult Result;  // Ok until the first failure, which stays
  bool Failed = false;
  bool Finished = false;

  std::unique_ptr<TSha256> Digest;
  ZSTD_DCtx* Dctx = nullptr;
  bool FrameEnded = false;  // zstd finished the frame: any further byte is refused

  // Reference method: the whole old file, and the frame's first bytes until its header is read.
  std::unique_ptr<uint8_t[]> OldBytes;
  uint8_t FrameStart[kFrameHeaderMost];
  size_t FrameStartFill = 0;
  bool FrameChecked = false;

  // The output buffer: Produced counts every new byte made so far (in the buffer or handed on).
  std::unique_ptr<uint8_t[]> Out;
  size_t OutFill = 0;
  uint64_t Produced = 0;

  // Chunks method: the records.
  std::unique_ptr<uint8_t[]> Records;
  TRecordStage Stage = TRecordStage::Record;
  uint64_t Varint = 0;
  size_t VarintBytes = 0;
  uint64_t Remaining = 0;  // bytes left of the new bytes record, or the length of the copy being read
  uint64_t CopyEnd = 0;    // where the previous copy ended in the old file

  TState(TOldFileReader& old_file, TNewFileWriter& new_file, std::function<void(uint64_t)> progress)
      : Old(old_file), New(new_file), Progress(std::move(progress)) {}
  ~TState() { ZSTD_freeDCtx(Dctx); }

  bool Fail(TApplyStatus status, std::string message) {
    if (!Failed) {
      Failed = true;
      Result.Status = status;
      Result.Message = std::move(message);
    }
    Release();
    return false;
  }

  // What applying holds, given back once it is over.
  void Release() {
    ZSTD_freeDCtx(Dctx);
    Dctx = nullptr;
    OldBytes.reset();
    Out.reset();
    Records.reset();
  }

  bool Feed(const uint8_t* data, size_t size) {
    if (Failed) return false;
    if (Finished) return false;
    if (!HaveHeader) {
      const size_t take = std::min(size, kDifferenceHeaderSize - HeaderFill);
      std::memcpy(HeaderBytes + HeaderFill, data, take);
      HeaderFill += take;
      data += take;
      size -= take;
      if (HeaderFill < kDifferenceHeaderSize) return true;
      if (!Start()) return false;
    }
    if (size == 0) return true;
    if (Header.Method == TDifferenceMethod::Reference && !FrameChecked) {
      const size_t take = std::min(size, kFrameHeaderMost - FrameStartFill);
      std::memcpy(FrameStart + FrameStartFill, data, take);
      FrameStartFill += take;
      data += take;
      size -= take;
      if (FrameStartFill < kFrameHeaderMost) return true;
      if (!CheckFrame() || !Pump(FrameStart, FrameStartFill)) return false;
    }
    return Pump(data, size);
  }

  // The header is complete: check it and set up the method.
  bool Start() {
    if (const char* fault = format::HeaderFault(HeaderBytes, HeaderFill)) {
      return Fail(TApplyStatus::Damaged, std::string("the difference is damaged: ") + fault);
    }
    ReadDifferenceHeader(HeaderBytes, HeaderFill, Header);
    HaveHeader = true;
    if (Old.Size() != Header.Old.Size) {
      return Fail(TApplyStatus::WrongOld, "the old file has " + Count(Old.Size()) +
                                              " bytes; the difference was made against one of " +
                                              Count(Header.Old.Size));
    }
    Digest = NewSha256();
    if (!Digest) return Fail(TApplyStatus::NoMemory, "no SHA-256 digest is available");
    Out.reset(new (std::nothrow) uint8_t[kOutputBuffer]);
    Dctx = ZSTD_createDCtx();
    if (!Out || !Dctx) return Fail(TApplyStatus::NoMemory, "no memory for applying the difference");
    if (Header.Method == TDifferenceMethod::Reference) return StartReference();
    Records.reset(new (std::nothrow) uint8_t[kRecordBuffer]);
    if (!Records) return Fail(TApplyStatus::NoMemory, "no memory for applying the difference");
    if (ZSTD_isError(ZSTD_DCtx_setParameter(Dctx, ZSTD_d_windowLogMax, kChunksWindowLog))) {
      return Fail(TApplyStatus::NoMemory, "zstd refused the window of the chunks method");
    }
    return true;
  }

  bool StartReference() {
    if (Header.Old.Size > kReferenceMostSize || Header.New.Size > kReferenceMostSize) {
      return Fail(TApplyStatus::Damaged, "the difference is damaged: its reference method names files of " +
                                             Count(Header.Old.Size) + " and " + Count(Header.New.Size) +
                                             " bytes, more than the method takes");
    }
    const size_t old_size = static_cast<size_t>(Header.Old.Size);
    OldBytes.reset(new (std::nothrow) uint8_t[std::max<size_t>(old_size, 1)]);
    if (!OldBytes) return Fail(TApplyStatus::NoMemory, "no memory for the old file (" + Count(old_size) + " bytes)");
    for (size_t done = 0; done < old_size;) {
      const size_t want = std::min(kOldPiece, old_size - done);
      if (Old.ReadAt(done, OldBytes.get() + done, want) != want) {
        return Fail(TApplyStatus::ReadFailed, "the old file could not be read at byte " + Count(done));
      }
      done += want;
    }
    const int window_log = format::ReferenceWindowLog(Header.Old.Size, Header.New.Size);
    if (ZSTD_isError(ZSTD_DCtx_setParameter(Dctx, ZSTD_d_windowLogMax, window_log)) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(Dctx, old_size ? OldBytes.get() : nullptr, old_size))) {
      return Fail(TApplyStatus::NoMemory, "zstd refused the old file as reference");
    }
    return true;
  }

  // The reference frame must be one zstd frame that names the new file's size, so that zstd
  // holds no more than that size for its window.
  bool CheckFrame() {
    FrameChecked = true;
    if (FrameStartFill < 4 || LoadLE32(FrameStart) != ZSTD_MAGICNUMBER) {
      return Fail(TApplyStatus::Damaged, "the difference is damaged: its data is not a zstd frame");
    }
    const unsigned long long size = ZSTD_getFrameContentSize(FrameStart, FrameStartFill);
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN) {
      return Fail(TApplyStatus::Damaged, "the difference is damaged: its zstd frame names no size");
    }
    if (size != Header.New.Size) {
      return Fail(TApplyStatus::Damaged, "the difference is damaged: its zstd frame makes " + Count(size) +
                                             " bytes; the header names " + Count(Header.New.Size));
    }
    return true;
  }

  // Decompresses the bytes and passes on what comes out.
  bool Pump(const uint8_t* data, size_t size) {
    ZSTD_inBuffer in{data, size, 0};
    const bool reference = Header.Method == TDifferenceMethod::Reference;
    for (;;) {
      if (FrameEnded) {
        if (in.pos < in.size) return Fail(TApplyStatus::Damaged, "the difference is damaged: bytes follow its end");
        return true;
      }
      ZSTD_outBuffer out = reference ? ZSTD_outBuffer{Out.get(), kOutputBuffer, OutFill}
                                     : ZSTD_outBuffer{Records.get(), kRecordBuffer, 0};
      const size_t rc = ZSTD_decompressStream(Dctx, &out, &in);
      if (ZSTD_isError(rc)) {
        if (ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation) {
          return Fail(TApplyStatus::NoMemory, "no memory for the difference's zstd window");
        }
        return Fail(TApplyStatus::Damaged, std::string("the difference is damaged: zstd: ") + ZSTD_getErrorName(rc));
      }
      if (rc == 0) FrameEnded = true;
      if (reference) {
        const size_t made = out.pos - OutFill;
        if (!Account(made)) return false;
        OutFill = out.pos;
        if (OutFill == kOutputBuffer && !Flush()) return false;
      } else if (!FollowRecords(Records.get(), out.pos)) {
        return false;
      }
      // Output room left and the input used up: zstd has given all it can.
      if (out.pos < out.size && in.pos == in.size) return true;
    }
  }

  // Counts n more bytes of the new file; refuses any past its named size.
  bool Account(uint64_t n) {
    if (n > Header.New.Size - Produced) {
      return Fail(TApplyStatus::WrongResult,
                  "the new file comes out longer than the " + Count(Header.New.Size) + " bytes the difference names");
    }
    Produced += n;
    return true;
  }

  // Hands the output buffer to the digest and the writer.
  bool Flush() {
    if (OutFill == 0) return true;
    if (!Digest->Update(Out.get(), OutFill)) return Fail(TApplyStatus::NoMemory, "the SHA-256 digest failed");
    if (!New.Write(Out.get(), OutFill)) {
      return Fail(TApplyStatus::WriteFailed, "the new file could not be written at byte " + Count(Result.Written));
    }
    Result.Written += OutFill;
    OutFill = 0;
    if (Progress) Progress(Result.Written);
    return true;
  }

  bool Emit(const uint8_t* data, size_t n) {
    if (!Account(n)) return false;
    while (n > 0) {
      const size_t take = std::min(n, kOutputBuffer - OutFill);
      std::memcpy(Out.get() + OutFill, data, take);
      OutFill += take;
      data += take;
      n -= take;
      if (OutFill == kOutputBuffer && !Flush()) return false;
    }
    return true;
  }

  // The chunks method: follows the decompressed records (any cut between them or inside one).
  bool FollowRecords(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
      switch (Stage) {
        case TRecordStage::Ended:
          return Fail(TApplyStatus::Damaged, "the difference is damaged: records follow its end record");
        case TRecordStage::NewBytes: {
          const size_t take = static_cast<size_t>(std::min<uint64_t>(Remaining, n - i));
          if (!Emit(p + i, take)) return false;
          i += take;
          Remaining -= take;
          if (Remaining == 0) Stage = TRecordStage::Record;
          break;
        }
        case TRecordStage::Record:
        case TRecordStage::CopyFrom: {
          const uint8_t byte = p[i++];
          if (VarintBytes == format::kMostVarintBytes - 1 && byte > 1) {
            return Fail(TApplyStatus::Damaged, "the difference is damaged: a number in its records passes 64 bits");
          }
          Varint |= static_cast<uint64_t>(byte & 0x7F) << (7 * VarintBytes);
          ++VarintBytes;
          if (byte & 0x80) break;
          const uint64_t value = Varint;
          Varint = 0;
          VarintBytes = 0;
          if (!(Stage == TRecordStage::Record ? BeginRecord(value) : Copy(value))) return false;
          break;
        }
      }
    }
    return true;
  }

  bool BeginRecord(uint64_t v) {
    const uint64_t length = v >> 2;
    switch (v & 3) {
      case format::kRecordEnd:
        if (length != 0) break;
        Stage = TRecordStage::Ended;
        return true;
      case format::kRecordNewBytes:
        if (length == 0) break;
        if (length > Header.New.Size - Produced) return Account(length);
        Remaining = length;
        Stage = TRecordStage::NewBytes;
        return true;
      case format::kRecordCopy:
        if (length == 0) break;
        Remaining = length;
        Stage = TRecordStage::CopyFrom;
        return true;
    }
    return Fail(TApplyStatus::Damaged, "the difference is damaged: an unknown record in its stream");
  }

  bool Copy(uint64_t encoded_from) {
    const int64_t step = format::UnZigZag(encoded_from);
    const uint64_t length = Remaining;
    // The step back is taken as a magnitude, so that the most negative step does not overflow.
    const uint64_t back = step < 0 ? static_cast<uint64_t>(-(step + 1)) + 1 : 0;
    const uint64_t from = step < 0 ? CopyEnd - back : CopyEnd + static_cast<uint64_t>(step);
    if ((step < 0 && back > CopyEnd) || (step >= 0 && from < CopyEnd) || from > Header.Old.Size ||
        length > Header.Old.Size - from) {
      return Fail(TApplyStatus::Damaged, "the difference is damaged: a copy of " + Count(length) +
                                             " bytes lies outside the old file of " + Count(Header.Old.Size) +
                                             " bytes");
    }
    if (!Account(length)) return false;
    for (uint64_t done = 0; done < length;) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(length - done, kOutputBuffer - OutFill));
      if (Old.ReadAt(from + done, Out.get() + OutFill, want) != want) {
        return Fail(TApplyStatus::ReadFailed, "the old file could not be read at byte " + Count(from + done));
      }
      OutFill += want;
      done += want;
      if (OutFill == kOutputBuffer && !Flush()) return false;
    }
    CopyEnd = from + length;
    Remaining = 0;
    Stage = TRecordStage::Record;
    return true;
  }

  TApplyResult Finish() {
    if (Finished) return Result;
    if (!Failed) Conclude();
    Finished = true;
    Release();
    return Result;
  }

  void Conclude() {
    if (!HaveHeader) {
      Fail(TApplyStatus::Damaged, "the difference is cut short in its header (" + Count(HeaderFill) + " of " +
                                      Count(kDifferenceHeaderSize) + " bytes)");
      return;
    }
    if (Header.Method == TDifferenceMethod::Reference && !FrameChecked) {
      // A frame shorter than the longest header: check and decompress it now.
      if (!CheckFrame() || !Pump(FrameStart, FrameStartFill)) return;
    }
    if (!FrameEnded || (Header.Method == TDifferenceMethod::Chunks && Stage != TRecordStage::Ended)) {
      Fail(TApplyStatus::Damaged, "the difference is cut short");
      return;
    }
    if (!Flush()) return;
    if (Produced != Header.New.Size) {
      Fail(TApplyStatus::WrongResult,
           "the new file came out with " + Count(Produced) + " bytes; the difference names " + Count(Header.New.Size));
      return;
    }
    TSha256Digest digest;
    if (!Digest->Final(digest)) {
      Fail(TApplyStatus::NoMemory, "the SHA-256 digest failed");
      return;
    }
    if (digest != Header.New.Sha256) {
      Fail(TApplyStatus::WrongResult, "the new file came out with SHA-256 " + Sha256Hex(digest) +
                                          "; the difference names " + Sha256Hex(Header.New.Sha256));
    }
  }
};

TDifferenceApplier::TDifferenceApplier(TOldFileReader& old_file, TNewFileWriter& new_file,
                                       std::function<void(uint64_t)> progress)
    : state_(new TState(old_file, new_file, std::move(progress))) {}

TDifferenceApplier::~TDifferenceApplier() { delete state_; }

bool TDifferenceApplier::Feed(const uint8_t* data, size_t size) { return state_->Feed(data, size); }

TApplyResult TDifferenceApplier::Finish() { return state_->Finish(); }

const TDifferenceHeader* TDifferenceApplier::Header() const { return state_->HaveHeader ? &state_->Header : nullptr; }

TApplyResult ApplyDifference(const uint8_t* difference, size_t size, TOldFileReader& old_file,
                             TNewFileWriter& new_file) {
  TDifferenceApplier applier(old_file, new_file);
  // Fed in pieces, as a package entry is.
  constexpr size_t kPiece = 1 << 20;
  for (size_t at = 0; at < size;) {
    const size_t take = std::min(kPiece, size - at);
    if (!applier.Feed(difference + at, take)) break;
    at += take;
  }
  return applier.Finish();
}

}  // namespace setup::delta

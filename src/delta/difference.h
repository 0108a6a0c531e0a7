// Binary differences: how the new version of a file is rebuilt from the old version a player
// has installed, with only the changed bytes shipped.
//
// A difference is one self-describing blob:
//
//   0   4   Magic "KZPD"
//   4   2   Version (1)
//   6   1   Method: 1 reference, 2 chunks
//   7   1   zero (refused otherwise)
//   8   8   old file's size          16  32  old file's SHA-256
//   48  8   new file's size          56  32  new file's SHA-256
//   88  ..  the method's data
//
// Method 1, "reference" (files that fit a window: both at most kReferenceMostSize): one zstd
// frame whose reference prefix is the whole old file; it decompresses to the whole new file.
// Method 2, "chunks" (files of any size): the new file as a sequence of pieces, each either a
// copy of a range of the old file or new bytes; the sequence is one zstd stream of bounded
// window (kChunksWindowLog), so applying it holds a window and a buffer, whatever the size.
// Ranges are found by content-defined chunking, so bytes inserted or removed in the middle of a
// file leave everything after them matched. docs/formats.md gives the byte layout of both.
//
// Applying checks the header, reads the old file only where the difference says, writes the
// new file in order, and checks the new file's size and SHA-256 at the end: a damaged difference
// or an old file other than the one it was made against ends in a failure, never a crash and
// never a new file reported sound.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/sha256.h"

namespace setup::delta {

constexpr size_t kDifferenceHeaderSize = 88;
constexpr uint16_t kDifferenceVersion = 1;
// Both files at most this size are encoded with the reference method; larger ones in chunks.
constexpr uint64_t kReferenceMostSize = 32ull << 20;
// The zstd window of the chunks method: what applying it holds besides its buffers.
constexpr int kChunksWindowLog = 24;

enum class TDifferenceMethod : uint8_t {
  Reference = 1,
  Chunks = 2,
};

// A file as a difference names it: its length and the SHA-256 of its content.
struct TFileIdentity {
  uint64_t Size = 0;
  TSha256Digest Sha256{};

  bool operator==(const TFileIdentity& other) const = default;
};

struct TDifferenceHeader {
  TDifferenceMethod Method = TDifferenceMethod::Reference;
  TFileIdentity Old;
  TFileIdentity New;
};

// Reads the header at the start of a difference: false when the bytes are too few, the magic
// or version is not this one's, the method is unknown or the reserved byte is not zero.
bool ReadDifferenceHeader(const uint8_t* data, size_t size, TDifferenceHeader& header);

// The size and SHA-256 of a file, read in pieces; progress (may be empty) receives the bytes
// read so far. False when the file cannot be read whole or no digest is available.
bool IdentifyFile(const std::string& path, TFileIdentity& identity,
                  const std::function<void(uint64_t bytes_done)>& progress = {});

// --- applying ---

// The old file, read where the difference says (any order).
class TOldFileReader {
 public:
  virtual ~TOldFileReader() = default;
  virtual uint64_t Size() const = 0;
  // Up to n bytes from position; the number read (fewer only at the end or on a failure).
  virtual size_t ReadAt(uint64_t position, void* buffer, size_t n) = 0;
};

// The new file, written in order from its first byte.
class TNewFileWriter {
 public:
  virtual ~TNewFileWriter() = default;
  // False when the bytes could not all be written (the disk is full).
  virtual bool Write(const uint8_t* data, size_t size) = 0;
};

enum class TApplyStatus {
  Ok,
  Damaged,      // the difference is not a sound one (header, stream, pieces out of range, cut short)
  WrongOld,     // the old file has another size than the difference names
  WrongResult,  // the new file came out with another size or SHA-256 than the difference names
  ReadFailed,   // the old file could not be read
  WriteFailed,  // the writer refused bytes
  NoMemory,     // the memory the method needs (or the SHA-256 digest) could not be had
};

struct TApplyResult {
  TApplyStatus Status = TApplyStatus::Ok;
  std::string Message;   // what went wrong, in words for a log or a box; empty when Ok
  uint64_t Written = 0;  // new bytes handed to the writer
  explicit operator bool() const { return Status == TApplyStatus::Ok; }
};

// Takes a difference piece by piece, as a package entry is read, and writes the new file as the
// pieces allow. Memory: the reference method holds the old file and the new file's window (at
// most 2 x kReferenceMostSize and zstd's buffers); the chunks method a window of 2^kChunksWindowLog
// bytes and fixed buffers, whatever the files' sizes.
class TDifferenceApplier {
 public:
  // progress (may be empty) receives the count of new bytes written so far, at most about once
  // per MiB.
  TDifferenceApplier(TOldFileReader& old_file, TNewFileWriter& new_file,
                     std::function<void(uint64_t written)> progress = {});
  ~TDifferenceApplier();
  TDifferenceApplier(const TDifferenceApplier&) = delete;
  TDifferenceApplier& operator=(const TDifferenceApplier&) = delete;

  // The next bytes of the difference. False once the applying has failed (Result says why);
  // the rest of the pieces can then be left unread.
  bool Feed(const uint8_t* data, size_t size);
  // After the last piece: whether the new file came out whole and with the named SHA-256.
  TApplyResult Finish();
  // The header, once the first kDifferenceHeaderSize bytes have been fed.
  const TDifferenceHeader* Header() const;

 private:
  struct TState;
  TState* state_;
};

// Applies a whole difference in memory (tests, tools), fed to an applier in pieces of 1 MiB.
TApplyResult ApplyDifference(const uint8_t* difference, size_t size, TOldFileReader& old_file,
                             TNewFileWriter& new_file);

// --- encoding (the builder) ---

struct TEncodeResult {
  bool Ok = false;
  std::string Error;         // why not, naming the file
  TDifferenceHeader Header;  // method and both identities
  uint64_t Size = 0;         // bytes of the whole difference written
};

// Writes the difference that turns the file old_path into new_path, header first, to out. The
// same two files give the same bytes on every machine and for any number of threads around it.
// Memory is bounded: the reference method holds both files (each at most kReferenceMostSize)
// and zstd's tables; the chunks method reads both files in pieces and keeps an index of the
// old file's chunks (48 bytes per chunk of about 8 KiB on average: some 6 MB per GB).
TEncodeResult EncodeDifference(const std::string& old_path, const std::string& new_path, TNewFileWriter& out);
// The same with the method chosen by the caller (tests, measurements): the reference method
// refuses a file above kReferenceMostSize; the chunks method takes files of any size.
TEncodeResult EncodeDifference(const std::string& old_path, const std::string& new_path, TNewFileWriter& out,
                               TDifferenceMethod method);

}  // namespace setup::delta

// TPak: the setup package appended to the setup executable, and its writer.
//
// Layout, first byte to last (all integers little-endian, all offsets absolute in the host):
//
//   host executable | entry data ... | directory records ... | trailer (16 bytes)
//
// A signed setup goes on after the trailer with up to 7 zero bytes and the certificate table
// that its PE header's security directory names. When that directory ends exactly at the end of
// the file and a trailer ends at the table's start, less the zeros, the package ends there;
// otherwise the trailer is read from the end of the file.
//
//   trailer:   0 Magic "KZPF"   4 Version u16 (1)   6 Count u16   8 DataStart u32   12 DirOffset u32
//   record:    NameLength u16, Name, Crc u32, Offset u32, PackedSize u32, Size u32, Group u16
//
// An entry's stored bytes are a zlib stream (PackedSize > 0) or the plain bytes (PackedSize
// 0); Crc is the CRC-32 of the stored bytes. Entries of Size at or above kLargeEntryLimit are
// always stored plain and never read whole; their Crc is checked piece by piece when it is not
// 0 (packages written before large entries carried a CRC hold 0 there, and are taken on trust).
//
// Reading operations return empty buffers, false or 0 on failure. A zlib stream that does
// not inflate raises ESetupError("error"). The reader shows nothing: how the latest read of an
// entry's data ended stays on the reader (LastExtract) for the program to tell the user.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/buffer_manager.h"
#include "core/deflate.h"
#include "core/file_stream.h"

namespace setup {

constexpr uint32_t kLargeEntryLimit = 73400320;  // 0x4600000: 70 MiB
constexpr size_t kPakTrailerSize = 16;
constexpr size_t kPakRecordFixedSize = 20;  // a directory record without its name

enum TPakOpenMode { pmRead, pmCreate, pmAppend };

struct TPakTrailer {
  char Magic[4] = {0, 0, 0, 0};
  uint16_t Version = 0;
  uint16_t Count = 0;
  uint32_t DataStart = 0;
  uint32_t DirOffset = 0;

  bool HasMagic() const { return Magic[0] == 'K' && Magic[1] == 'Z' && Magic[2] == 'P' && Magic[3] == 'F'; }
};

struct TPakEntry {
  std::string Name;
  std::string SourcePath;  // the disk file a writer packs; empty for entries read from a package
  uint32_t Crc = 0;
  uint32_t Offset = 0;
  uint32_t PackedSize = 0;
  uint32_t Size = 0;
  uint16_t Group = 0;

  // PackedSize for a compressed entry (or one of Size 0), otherwise Size.
  uint32_t StoredLength() const { return (PackedSize != 0 || Size == 0) ? PackedSize : Size; }
};

// How reading an entry's data ended.
enum TExtractStatus {
  kExtractOk,
  kExtractUnreadable,   // no such entry or no data, bytes outside the file, a short read or a CRC mismatch
  kExtractWrongLength,  // sound stored bytes that inflate to another length than Size
};

struct TExtractResult {
  TExtractStatus Status = kExtractUnreadable;
  int Index = -1;         // the entry read, -1 when none was
  uint64_t Inflated = 0;  // what the stream gave for kExtractWrongLength (counted up to 4 GiB)

  explicit operator bool() const { return Status == kExtractOk; }
};

// The text the program shows, captioned "Error", for an entry that inflates to another length
// than its Size: the name, two carriage returns, "Error: DecompSize - 1000 OrigSize - 999".
std::string DecompSizeMessage(const std::string& name, uint64_t inflated, uint32_t size);

// Lowers entry names for the look-ups by name; the program installs the system's locale rule.
using TNameLowering = std::string (*)(std::string_view text);

// Receives an entry's data piece by piece, in order.
using TPieceSink = std::function<void(const uint8_t* data, size_t size)>;
constexpr size_t kPieceSize = 1 << 20;
// A compressed entry up to this Size is read and inflated whole (its stored bytes and its content
// in memory at once, the fast way); a larger one piece by piece. Compressed entries stay below
// the large-entry limit, so all of them are read whole unless memory runs short, which sends
// the entry the piece-by-piece way too. The buffers stay for the next entry: a reader holds
// about twice its largest compressed entry.
constexpr uint32_t kWholeInflateLimit = kLargeEntryLimit;

// What a group walk hands out: the data (when asked to extract), the Size and the Name.
// An empty Name means the walk found no further entry.
struct TGroupItem {
  TBytes Data;
  uint32_t Size = 0;
  std::string Name;
};

class TPak {
 public:
  TPak(const std::string& file_name, TPakOpenMode mode);
  ~TPak();
  TPak(const TPak&) = delete;
  TPak& operator=(const TPak&) = delete;

  // --- reading ---
  void ReadDirectory();
  TBytes ReadStored(int index);
  TBytes Extract(int index);
  // Hands entry index to sink in pieces of at most kPieceSize bytes. A compressed entry up to
  // kWholeInflateLimit is read and inflated whole; others are read piece by piece as well, in
  // two reused buffers whatever the entry's size. The result is
  // Extract's: kExtractUnreadable when the stored bytes are not all in the file or do not match
  // the CRC; kExtractWrongLength when the stream gives another length; ESetupError("error")
  // when the stream is not valid zlib. The sink may have been given pieces before a failure is
  // known.
  TExtractResult ExtractTo(int index, const TPieceSink& sink);
  bool Verify(int index);
  // The first entry of the group whose name matches without regard to case; Size in *size.
  TBytes FindByName(const std::string& name, uint16_t group, uint32_t* size = nullptr);
  // The directory index of that entry (names compared as FindByName does), or -1; reads nothing.
  int IndexOfName(const std::string& name, uint16_t group) const;
  // How the latest Extract, ExtractTo, Verify, FindByName or extracting group walk ended.
  const TExtractResult& LastExtract() const { return last_extract_; }
  // The lower-casing that name look-ups compare with (LowerLatin1 until set).
  void SetNameLowering(TNameLowering lower) { lower_ = lower; }
  TGroupItem FirstInGroup(uint16_t group, bool extract);
  TGroupItem NextInGroup(uint16_t group, bool extract);
  bool FirstIndexInGroup(uint16_t group, int& index);
  bool NextIndexInGroup(uint16_t group, int& index);
  void ForEachInGroup(uint16_t group, const std::function<void(int)>& callback);
  int CountGrouped() const;
  int CountInGroup(uint16_t group) const;
  // Up to n raw bytes of the package file at an absolute offset (the chunked copy of large
  // entries reads through this); returns the number read.
  size_t ReadAt(uint64_t offset, void* buffer, size_t n);

  // --- writing ---
  int AddEntry(const std::string& name, const std::string& source_path, uint16_t group);
  // The bytes to store for data: a zlib stream, or a copy when deflate does not shrink it or
  // size is at the large-entry limit. Sets Size, PackedSize and Crc. Null data gives nullopt.
  std::optional<TBytes> Pack(int index, const uint8_t* data, uint32_t size);
  bool StoreFromMemory(int index, const uint8_t* data, uint32_t size);
  bool StoreFromFile(int index);
  // Stores bytes that were packed elsewhere (Size, PackedSize and Crc already set on the
  // record); lets a writer compress on several threads and append in order.
  bool StorePacked(int index, const TBytes& stored);
  bool WriteDirectory();
  void Close();

  bool IsOpen() const { return file_ != nullptr; }
  // False when the trailer has the magic but the directory records do not lie in the file.
  bool DirectorySound() const { return directory_sound_; }
  // The file's length up to the package's end: without a signature that follows the package.
  uint64_t FileSize() const { return file_size_; }
  const std::vector<TPakEntry>& Directory() const { return directory_; }
  std::vector<TPakEntry>& Directory() { return directory_; }
  const TPakTrailer& Trailer() const { return trailer_; }

 private:
  bool ValidIndex(int index) const { return index >= 0 && static_cast<size_t>(index) < directory_.size(); }
  bool AppendStored(int index, const uint8_t* data, uint32_t length);
  bool CopyFileChunked(int index, TFileStream& source, uint64_t length);
  bool ExtractPieces(int index, const TPieceSink& sink);
  // The entry read and inflated whole, handed on in pieces; false, with nothing handed on, when
  // the stored bytes fail the CRC, the stream does not inflate to exactly Size bytes or the
  // buffers cannot be had.
  bool ExtractWhole(const TPakEntry& e, const TPieceSink& sink);
  // True when the stored bytes of a large entry, read piece by piece, match its Crc.
  bool LargeEntryCrcMatches(const TPakEntry& e);
  void ForgetExtract(int index = -1) { last_extract_ = TExtractResult{kExtractUnreadable, index, 0}; }

  std::unique_ptr<TFileStream> file_;
  TBytes stored_piece_;    // reused by ExtractTo
  TBytes inflated_piece_;
  TBytes whole_stored_;    // reused by ExtractWhole: as large as the largest entry read whole
  TBytes whole_inflated_;
  std::vector<TPakEntry> directory_;
  TPakTrailer trailer_;
  TExtractResult last_extract_;
  TNameLowering lower_;
  int32_t group_cursor_ = 0;
  uint64_t file_size_ = 0;
  bool directory_sound_ = true;
  bool writer_ = false;
};

// The stored form of data for an entry: sets Size, PackedSize and Crc as TPak::Pack does. Needs
// no package, so several threads can pack entries side by side. level is the deflate level.
TBytes PackEntry(TPakEntry& entry, const uint8_t* data, uint32_t size, int level = kDefaultDeflateLevel);

}  // namespace setup

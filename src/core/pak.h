// TPak: the setup package appended to the setup executable, and its writer.
//
// Layout, first byte to last (all integers little-endian; docs/formats.md has every field):
//
//   host executable | entry data ... | directory records ... | [data-file table] | trailer
//
// Version 1 (16-byte trailer, 32-bit offsets and sizes, 16-bit count) is what every setup that
// fits it is written as:
//
//   trailer:   0 Magic "KZPF"   4 Version u16 (1)   6 Count u16   8 DataStart u32   12 DirOffset u32
//   record:    NameLength u16, Name, Crc u32, Offset u32, PackedSize u32, Size u32, Group u16
//
// Version 2 is written only when a setup needs it (more than 65,535 entries, a value past 32
// bits, data files, or texts that are not ASCII): 64-bit offsets and sizes, a 32-bit count, and
// for each entry the data file its bytes lie in (0: the setup file itself). Its last 16 bytes
// have the first version's place and magic, with a Count of 0, so a reader of the first version
// sees an empty package:
//
//   trailer (48 bytes):  0 DataStart u64   8 DirOffset u64   16 Count u32   20 DataFileCount u32
//                        24 TableOffset u64   32 Magic "KZPF"   36 Version u16 (2)   38 zero u16
//                        40 Flags u32   44 TrailerSize u32 (48)
//   record:    NameLength u16, Name, Crc u32, Offset u64, PackedSize u64, Size u64, Group u16,
//              DataFile u16
//   data-file table (at TableOffset): StemLength u16, Stem, then DataFileCount times
//              { Size u64, SHA-256 of the data file (32 bytes) }
//
// Flags: bit 0 (kPakFlagUtf8Texts) says the package's texts (entry names, the stem, the records
// "SetupInfo" and "CompiledLines") are UTF-8. Without it they are in the system's ANSI code page,
// as every first-version package holds them: the reader gives names and stem in UTF-8 either
// way, and the program converts the records of such a package itself. The writer sets the flag,
// and so writes the second version, only when a text is not ASCII: an all-ASCII setup is written
// as it always was. Bit 1 (kPakFlagDifferences) says the package holds patch groups: their
// entries are differences or whole files that a "PATCH-N" manifest of group 0 describes. A
// reader refuses any other flag.
//
// Data file N (1 upward) is named Stem + "-N.bin" and holds stored bytes only. An entry in data
// file N starts at Offset in it; bytes that pass its end go on at the start of data file N + 1.
// Entries may share stored bytes: two records with the same place name the same bytes.
//
// A signed setup goes on after the trailer with up to 7 zero bytes and the certificate table
// that its PE header's security directory names. When that directory ends exactly at the end of
// the file and a trailer ends at the table's start, less the zeros, the package ends there;
// otherwise the trailer is read from the end of the file.
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
#include "core/sha256.h"

namespace setup {

constexpr uint32_t kLargeEntryLimit = 73400320;  // 0x4600000: 70 MiB
constexpr size_t kPakTrailerSize = 16;           // the first version's trailer, the last 16 bytes of every version
constexpr size_t kPakRecordFixedSize = 20;       // a first-version directory record without its name
constexpr size_t kPakTrailer2Size = 48;          // the second version's whole trailer
constexpr size_t kPakRecord2FixedSize = 34;      // a second-version directory record without its name
constexpr size_t kPakDataFileRecordSize = 40;    // Size and SHA-256 of one data file
constexpr uint16_t kPakVersion1 = 1;
constexpr uint16_t kPakVersion2 = 2;
// What the first version can hold; a package past one of these is written as the second.
constexpr uint64_t kPakVersion1MostEntries = 0xFFFF;
constexpr uint64_t kPakVersion1MostValue = 0xFFFFFFFF;
// A setup file is an executable: Windows refuses to start one of 4 GiB or more, so the stored
// bytes in the setup itself (with a host) stay below this; the rest goes to data files.
constexpr uint64_t kMostSetupFileSize = 0xFFFFFFFF;
constexpr uint32_t kMostDataFiles = 0xFFFF;  // data-file numbers are 16-bit
// Flags of the second version's trailer.
constexpr uint32_t kPakFlagUtf8Texts = 1;    // names, stem and the two records hold UTF-8
constexpr uint32_t kPakFlagDifferences = 2;  // patch groups: entries that are differences, "PATCH-N" manifests
constexpr uint32_t kPakKnownFlags = kPakFlagUtf8Texts | kPakFlagDifferences;

enum TPakOpenMode { pmRead, pmCreate, pmAppend };

struct TPakTrailer {
  char Magic[4] = {0, 0, 0, 0};
  uint16_t Version = 0;
  uint32_t Count = 0;
  uint64_t DataStart = 0;
  uint64_t DirOffset = 0;
  // Second version only (a first-version package has no flags: its texts are in the ANSI code page).
  uint32_t DataFileCount = 0;
  uint64_t TableOffset = 0;
  uint32_t Flags = 0;

  bool HasMagic() const { return Magic[0] == 'K' && Magic[1] == 'Z' && Magic[2] == 'P' && Magic[3] == 'F'; }
};

struct TPakEntry {
  std::string Name;        // UTF-8; a reader converts the names of a package without kPakFlagUtf8Texts
  std::string SourcePath;  // the disk file a writer packs; empty for entries read from a package
  uint32_t Crc = 0;
  uint64_t Offset = 0;      // in the setup file (DataFile 0) or in data file DataFile
  uint64_t PackedSize = 0;
  uint64_t Size = 0;
  uint16_t Group = 0;
  uint16_t DataFile = 0;    // 0: the setup file itself; N: data file N (second version only)

  // PackedSize for a compressed entry (or one of Size 0), otherwise Size.
  uint64_t StoredLength() const { return (PackedSize != 0 || Size == 0) ? PackedSize : Size; }
  // True when both name the same stored bytes.
  bool SamePlace(const TPakEntry& other) const {
    return DataFile == other.DataFile && Offset == other.Offset && StoredLength() == other.StoredLength();
  }
};

// One data file of a package: what the directory says of it, and where a reader found it.
struct TPakDataFile {
  uint64_t Size = 0;
  TSha256Digest Sha256{};
  std::string Path;      // the file attached for reading; empty until then
  uint64_t FoundSize = 0;  // its length on disk when attached
};

// The data file's name: the stem, "-", the number, ".bin" ("MyGame_setup-2.bin").
std::string DataFileName(const std::string& stem, uint32_t number);

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
std::string DecompSizeMessage(const std::string& name, uint64_t inflated, uint64_t size);

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
  uint64_t Size = 0;
  std::string Name;
};

// Receives how many stored bytes a read has just taken (verification's progress by bytes).
using TReadProgress = std::function<void(uint64_t bytes)>;

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
  // The first entry of the group whose name matches without regard to case (the lowering's
  // Unicode rule: a lowered name may have another length than the name); Size in *size.
  TBytes FindByName(const std::string& name, uint16_t group, uint64_t* size = nullptr);
  // The directory index of that entry (names compared as FindByName does), or -1; reads nothing.
  int IndexOfName(const std::string& name, uint16_t group) const;
  // How the latest Extract, ExtractTo, Verify, FindByName or extracting group walk ended.
  const TExtractResult& LastExtract() const { return last_extract_; }
  // The lower-casing that name look-ups compare with (LowerUnicode until set).
  void SetNameLowering(TNameLowering lower) { lower_ = lower; }
  TGroupItem FirstInGroup(uint16_t group, bool extract);
  TGroupItem NextInGroup(uint16_t group, bool extract);
  bool FirstIndexInGroup(uint16_t group, int& index);
  bool NextIndexInGroup(uint16_t group, int& index);
  void ForEachInGroup(uint16_t group, const std::function<void(int)>& callback);
  int CountGrouped() const;
  int CountInGroup(uint16_t group) const;
  // Up to n stored bytes of the entry from position (0 is its first stored byte), across data
  // files; the chunked copy of large entries reads through this. Returns the number read: fewer
  // at the entry's end or where a file ends early.
  size_t ReadStoredAt(int index, uint64_t position, void* buffer, size_t n);
  // The directory indexes of every entry that names the same stored bytes as entry index
  // (index itself among them), in directory order.
  std::vector<int> SharingEntries(int index) const;
  // For every entry, the first earlier entry that names the same stored bytes, or -1 when it is
  // the first (or stores nothing): what reads every stored block once skips the others.
  std::vector<int> EarlierSharing() const;

  // Data files. The directory names them (DataFileStem, DataFiles); the reader opens one only
  // when told where it is: false when it cannot be opened. An entry in a data file that is not
  // attached is unreadable.
  const std::string& DataFileStem() const { return data_file_stem_; }
  const std::vector<TPakDataFile>& DataFiles() const { return data_files_; }
  bool AttachDataFile(uint32_t number, const std::string& path);
  // From now on every read that continues a data file where the bytes read so far end feeds
  // its SHA-256; reading the whole package in order (as verification does) thus takes each
  // data file's digest on the way. DataFileDigestMatches reads what is left of data file
  // number (gaps, bytes no entry names) and compares its digest with the directory's; false as
  // well when no digest can be had or the file is not attached or has another length.
  void TakeDataFileDigests();
  bool DataFileDigestMatches(uint32_t number);
  // Receives every stored byte count read from now on (null: none).
  void SetReadProgress(TReadProgress progress) { progress_ = std::move(progress); }

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
  // Entry index names the stored bytes of entry from (stored earlier) instead of bytes of its
  // own: identical contents are stored once.
  bool ShareStored(int index, int from);
  // Entries of a group other than 0 stored from now on go to data files of at most slice_size
  // bytes each, named after stem (data file N is DataFileName(stem, N)); path_of gives the
  // path each is written to. Group 0, the setup's own data, stays in the setup file. The
  // directory records each data file's size and SHA-256. False when slice_size is 0 or no
  // SHA-256 is available.
  bool StartDataFiles(const std::string& stem, uint64_t slice_size,
                      std::function<std::string(uint32_t number)> path_of);
  // The data files written so far (their number is the size of the list).
  const std::vector<TPakDataFile>& WrittenDataFiles() const { return data_files_; }
  // Writes the directory and trailer: the first version when the package fits it, the second
  // otherwise. Closes the last data file.
  bool WriteDirectory();
  void Close();

  // Whether the package's texts are UTF-8: a reader reads the records "SetupInfo" and
  // "CompiledLines" of a package without the flag as texts of the ANSI code page (entry names and
  // the stem it has converted already). After WriteDirectory: whether the writer set the flag.
  bool TextsUtf8() const { return (trailer_.Flags & kPakFlagUtf8Texts) != 0; }
  // The writer's caller says whether the records it stores hold text that is not ASCII; with
  // that, or with a name or stem that is not ASCII, WriteDirectory sets kPakFlagUtf8Texts.
  void SetRecordsNotAscii(bool not_ascii) { records_not_ascii_ = not_ascii; }
  // Whether the package holds patch groups, whose entries a reader that does not know them would
  // take for files: WriteDirectory then sets kPakFlagDifferences (and so writes the second version).
  bool HoldsDifferences() const { return (trailer_.Flags & kPakFlagDifferences) != 0; }
  void SetHoldsDifferences(bool holds) { holds_differences_ = holds; }

  bool IsOpen() const { return file_ != nullptr; }
  // False when the trailer has the magic but the directory records do not lie in the file, or
  // name a version or flags this reader does not know.
  bool DirectorySound() const { return directory_sound_; }
  // The file's length up to the package's end: without a signature that follows the package.
  uint64_t FileSize() const { return file_size_; }
  // Where the executable part of the setup file ends: the first version's first entry, the
  // second version's DataStart.
  uint64_t ExecutablePartLength() const;
  const std::vector<TPakEntry>& Directory() const { return directory_; }
  std::vector<TPakEntry>& Directory() { return directory_; }
  const TPakTrailer& Trailer() const { return trailer_; }

 private:
  struct TDataFileState;  // an attached or written data file's stream and digest
  // A place in the stored bytes: the setup file (0) or a data file, and an offset in it.
  struct TPlace {
    uint32_t File = 0;
    uint64_t Offset = 0;
  };

  bool ValidIndex(int index) const { return index >= 0 && static_cast<size_t>(index) < directory_.size(); }
  bool ReadVersion1(const uint8_t* tail);
  bool ReadVersion2(const uint8_t* tail);
  bool ParseRecords(const TBytes& records, uint16_t version);
  // True when every stored byte of the entry lies in the files the directory describes.
  bool StoredInside(const TPakEntry& e) const;
  // Reads up to n bytes at place, going on into the next data files; advances place.
  size_t ReadSpan(TPlace& place, uint8_t* buffer, size_t n);
  size_t ReadFromFile(uint32_t file, uint64_t offset, uint8_t* buffer, size_t n);
  // The writer's place for an entry's stored bytes (the end of the setup file or of the data
  // files), then the bytes written there in one or more pieces.
  bool PlaceStored(TPakEntry& e, uint64_t length);
  bool WriteStored(const TPakEntry& e, const uint8_t* data, size_t n);
  bool AppendStored(int index, const uint8_t* data, uint64_t length);
  bool WriteToDataFiles(const uint8_t* data, uint64_t length);
  bool ToDataFiles(const TPakEntry& e) const { return data_file_writer_ && e.Group != 0; }
  bool CloseDataFile();
  bool CopyFileChunked(int index, TFileStream& source, uint64_t length);
  bool ExtractPieces(int index, const TPieceSink& sink);
  // The entry read and inflated whole, handed on in pieces; false, with nothing handed on, when
  // the stored bytes fail the CRC, the stream does not inflate to exactly Size bytes or the
  // buffers cannot be had.
  bool ExtractWhole(const TPakEntry& e, const TPieceSink& sink);
  // True when the stored bytes of a large entry, read piece by piece, match its Crc.
  bool LargeEntryCrcMatches(const TPakEntry& e);
  void ForgetExtract(int index = -1) { last_extract_ = TExtractResult{kExtractUnreadable, index, 0}; }
  bool NeedsVersion2(uint64_t directory_offset) const;
  bool TextsNeedUtf8() const;

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
  bool records_not_ascii_ = false;
  bool holds_differences_ = false;
  // Data files: what the directory says (or the writer wrote), and their open state.
  std::string data_file_stem_;
  std::vector<TPakDataFile> data_files_;
  std::vector<std::unique_ptr<TDataFileState>> data_file_states_;  // [0] unused: the setup file
  std::vector<uint64_t> bytes_from_;  // bytes from the start of data file N to the end of the last
  bool take_digests_ = false;
  TReadProgress progress_;
  // The writer's data files: the path of each, the size of each, the one open now.
  struct TDataFileWriter;
  std::unique_ptr<TDataFileWriter> data_file_writer_;
};

// Where data file number of the package in the setup at setup_path may lie, best first. Data
// files are looked for beside the setup: under the name the builder gave them (the package's
// stem), and, when the running setup has another name, under that name's stem too
// ("Game (1).exe" finds "Game (1)-2.bin") and with the setup's copy mark where a browser puts
// it in a data file of the same download ("Game (1).exe" finds "Game-2 (1).bin").
std::vector<std::string> DataFileCandidates(const std::string& setup_path, const std::string& stem, uint32_t number);

enum class TDataFileStatus {
  Found,      // attached: a candidate of the size the directory gives
  Missing,    // no candidate exists
  WrongSize,  // a candidate exists but has another size; Path names it
};

struct TDataFileLookup {
  TDataFileStatus Status = TDataFileStatus::Missing;
  std::string Path;  // the file attached, the one of the wrong size, or the name expected
};

// Attaches every data file of the package from beside the setup at setup_path: per data file,
// the first candidate of the right size; otherwise it stays unattached and the result says why.
std::vector<TDataFileLookup> AttachDataFiles(TPak& pak, const std::string& setup_path);

// The stored form of data for an entry: sets Size, PackedSize and Crc as TPak::Pack does. Needs
// no package, so several threads can pack entries side by side. level is the deflate level.
TBytes PackEntry(TPakEntry& entry, const uint8_t* data, uint32_t size, int level = kDefaultDeflateLevel);

}  // namespace setup

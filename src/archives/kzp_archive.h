// The KZP game archive: its reader, its writer, and TPakSystem, which patches an archive in
// place with the entries of one setup package group.
//
// Layout, first byte to last (integers little-endian, offsets absolute):
//
//   payloads ... | directory | footer (20 bytes) | trailer (0 to 56 bytes)
//
//   directory  one zlib stream whose inflated bytes are 152-byte records, back to back
//   record     0 marker u16 (bytes 0D 0A)   2 method u8 (1 WAV, 2 scrambled zlib)   3 reserved u8
//              4 file date u32 (DOS: date high, time low)   8 stored size u32
//              12 content size u32   16 offset u32   20 reserved u32 (0)
//              24 name: length u8 (0 to 127), the bytes, zeros to the end of its 128 bytes
//   footer     0 compressed directory size   4 inflated size (count x 152)   8 version (5)
//              12 entry count   16 reserved (0)
//   trailer    new   "KZP3" version u16 (1) "EIH2" seed A u8, seed B u8, length L u16,
//                    the password enciphered under the seeds (L bytes), official flag u8
//              EIH1  the same without the official flag
//              old   the last 13 bytes: "KZP2" and nine bytes of plain password
//              none  the footer ends the file
//
// A reader finds the new trailer by its "KZP3" block ending 1 to 50 bytes before the end of
// the file, which is why a password may take at most 41 bytes. Payloads (method 2): the zlib
// stream of the content with its first four bytes XORed with the CRC-32 of the rest; method 1
// holds sound (see BuildKzpWavPayload).
//
// An update never rewrites the data region: opening reads the directory and cuts the file at
// its start, new payloads are appended there, and closing writes a fresh directory, footer and
// trailer behind them. Replaced payloads stay in the file unreferenced.
//
// Reading functions return false with a message naming offsets and sizes. TPakSystem ends the
// program through the host's fatal application exit when an archive is corrupt, the disk is
// full or a password is wrong, as the script commands expect; other unexpected conditions (a
// package entry that does not read, a password the trailer cannot hold, an offset past 4 GiB)
// raise ESetupError with the archive left whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archives/archive_progress.h"
#include "core/buffer_manager.h"

namespace setup {

// ---------------------------------------------------------------- format

constexpr size_t kKzpRecordSize = 152;
constexpr size_t kKzpNameFieldSize = 128;  // length byte and name bytes
constexpr size_t kKzpMaxNameBytes = 127;
constexpr size_t kKzpFooterSize = 20;
constexpr uint32_t kKzpFormatVersion = 5;
constexpr uint16_t kKzpRecordMarker = 0x0A0D;
constexpr uint16_t kKzpTrailerVersion = 1;
constexpr size_t kKzpOldTrailerSize = 13;      // "KZP2" and nine password bytes
constexpr size_t kKzpTrailerSearchLimit = 50;  // the "KZP3" block ends at most this far from the end
constexpr size_t kKzpTrailerFixedSize = 15;    // new form without the password
constexpr size_t kKzpMaxPasswordBytes = kKzpTrailerSearchLimit + 6 - kKzpTrailerFixedSize;  // 41
constexpr size_t kKzpTailBytes = kKzpTrailerSearchLimit + 6;  // what a reader looks at for the trailer
constexpr uint8_t kKzpMethodWav = 1;
constexpr uint8_t kKzpMethodZlib = 2;

enum class TKzpTrailerForm {
  None,     // the footer ends the file
  Old,      // "KZP2" and a plain password
  Eih1,     // new form without the official flag
  Eih2,     // new form, what the writer makes
  Unknown,  // a "KZP3" block without a section this reader knows: its length only
};

struct TKzpTrailer {
  TKzpTrailerForm Form = TKzpTrailerForm::None;
  uint32_t Length = 0;   // bytes between the footer and the end of the file
  uint16_t Version = 0;  // of a "KZP3" block; not checked
  uint8_t SeedA = 0;
  uint8_t SeedB = 0;
  std::string Password;  // deciphered; empty when the form carries none
  uint8_t Official = 0;  // only Eih2 carries it
};

struct TKzpFooter {
  uint32_t CompressedSize = 0;
  uint32_t InflatedSize = 0;
  uint32_t Version = 0;
  uint32_t Count = 0;
  uint32_t Reserved = 0;
};

struct TKzpRecord {
  uint16_t Marker = kKzpRecordMarker;
  uint8_t Method = 0;
  uint8_t Reserved = 0;  // carried over as read
  uint32_t FileDate = 0;
  uint32_t StoredSize = 0;
  uint32_t ContentSize = 0;
  uint32_t Offset = 0;
  std::string Name;  // at most 127 bytes
};

// What reading an archive's ending gives.
struct TKzpIndex {
  uint64_t FileSize = 0;
  TKzpTrailer Trailer;
  TKzpFooter Footer;
  uint64_t DirectoryStart = 0;  // also the end of the data region
  std::vector<TKzpRecord> Records;
};

// The trailer from the last bytes of a file (all of them when the file is shorter than
// kKzpTailBytes). False when a "KZP3" section does not fit in the bytes behind its block.
bool ParseKzpTrailer(const uint8_t* tail, size_t size, TKzpTrailer& trailer, std::string& error);

// The new-form trailer with the password enciphered under the two seeds.
TBytes EncodeKzpTrailer(std::string_view password, uint8_t official, uint8_t seed_a, uint8_t seed_b);
TBytes EncodeKzpFooter(const TKzpFooter& footer);
void EncodeKzpRecord(const TKzpRecord& record, uint8_t* out);  // kKzpRecordSize bytes
// The records' zlib stream at level 9.
TBytes EncodeKzpDirectory(const std::vector<TKzpRecord>& records);

// A payload of method 2 from a zlib stream and back: the first four bytes XORed with the
// CRC-32 of the rest (streams of four bytes or fewer stay as they are). The operation is its
// own inverse.
void ScrambleKzpStream(TBytes& stream);

// True for a name whose extension is ".wav" in any letter case.
bool IsKzpWavName(std::string_view name);

// The method-1 payload of a .wav file's content. False when the content is not a canonical
// 16-byte-format PCM WAV (the entry is then skipped), when its data reaches past the content,
// or when a cue chunk is present with a sample rate of 0. Payload, 58-byte header then data:
//   0 the content's first 44 bytes (the data size cut down when ADPCM-coded)   44 ADPCM flag
//   45 first cue offset (-1 none)   49 second cue offset   53 1 when the second offset was set
//   to the data size for a single cue point   54 stored data size
// 16-bit sound without cue points is ADPCM-coded (kzp_adpcm.h) unless the name holds
// "\Effects\" (sound effects keep their exact samples).
bool BuildKzpWavPayload(std::string_view name, const uint8_t* content, size_t size, TBytes& payload);
constexpr size_t kKzpWavHeaderSize = 44;
constexpr size_t kKzpWavPayloadHeaderSize = 58;

// The content a record's payload stands for: the inflated stream (method 2, exactly the
// content size), or a .wav file of the stored header and the PCM data, ADPCM blocks decoded
// (method 1; sound coding is lossy and chunks after the data are not stored). False with a
// message when the payload does not decode.
bool DecodeKzpPayload(const TKzpRecord& record, const TBytes& payload, TBytes& content, std::string& error);

// DOS date of a day with time 00:00:00: the date in the high 16 bits.
uint32_t KzpDosDate(int year, int month, int day);

// ---------------------------------------------------------------- files

// An open archive file. Reads and writes return the bytes moved.
class TKzpFile {
 public:
  virtual ~TKzpFile() = default;
  virtual uint64_t Size() = 0;
  virtual size_t ReadAt(uint64_t offset, void* buffer, size_t n) = 0;
  virtual size_t WriteAt(uint64_t offset, const void* buffer, size_t n) = 0;
  // Sets the end of the file.
  virtual bool Truncate(uint64_t size) = 0;
  // Pushes written bytes to the system; false when they could not all be written.
  virtual bool Flush() = 0;
};

// The few file operations of the archive code, so tests can stand in for the system.
// Paths are narrow ANSI strings; the native file system reads "\" as a separator everywhere.
class TKzpFileSystem {
 public:
  virtual ~TKzpFileSystem() = default;
  virtual bool Exists(const std::string& path) = 0;
  virtual bool IsReadOnly(const std::string& path) = 0;
  // Sets the attributes to normal.
  virtual bool ClearAttributes(const std::string& path) = 0;
  // Read and write, not shared with other openers; null on failure.
  virtual std::unique_ptr<TKzpFile> OpenForUpdate(const std::string& path) = 0;
  virtual std::unique_ptr<TKzpFile> OpenForReading(const std::string& path) = 0;
};

TKzpFileSystem& NativeKzpFileSystem();

// An archive held in memory; writes past WriteLimit bytes of file size fall short.
class TKzpMemoryFile : public TKzpFile {
 public:
  explicit TKzpMemoryFile(std::shared_ptr<TBytes> bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() override { return bytes_->size(); }
  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override;
  size_t WriteAt(uint64_t offset, const void* buffer, size_t n) override;
  bool Truncate(uint64_t size) override;
  bool Flush() override { return true; }

  uint64_t WriteLimit = UINT64_MAX;

 private:
  std::shared_ptr<TBytes> bytes_;
};

// Reads trailer, footer and directory of an open archive. False with a message naming
// offsets and sizes when they are not sound: a footer of another version or a reserved value
// other than 0, a directory that does not lie before the footer, does not inflate to the
// footer's size, holds fewer records than the entry count asks for, or a name longer than
// 127 bytes. Nothing larger than the file or kKzpMaxDirectoryBytes is allocated.
constexpr uint32_t kKzpMaxDirectoryBytes = 64u << 20;  // inflated directory: 441,505 records
bool ReadKzpIndex(TKzpFile& file, TKzpIndex& index, std::string& error);

// ---------------------------------------------------------------- updater

// The directory of an open archive: records in list order, found by name without regard to
// ASCII case. Records read from an archive keep their order, duplicates included; Remove takes
// out every record of a name.
class TKzpDirectory {
 public:
  void Clear();
  void Append(TKzpRecord record);
  // The first record of the name, or null.
  TKzpRecord* Find(std::string_view name);
  void Remove(std::string_view name);
  std::vector<TKzpRecord> Records() const;
  size_t Count() const { return count_; }

 private:
  std::vector<std::optional<TKzpRecord>> slots_;  // removed records leave an empty slot
  std::unordered_map<std::string, std::vector<size_t>> by_name_;  // lower-cased name -> slots
  size_t count_ = 0;
};

class TPakSystem {
 public:
  TPakSystem();
  ~TPakSystem();

  // --- the script commands' work ---
  // Adds the entries of a package group to the archive InstallDir\archive_name.
  void UpdateFromPackage(uint16_t group, const std::string& archive_name, const std::string& password);
  // Sets or clears the official flag when the access code is right.
  void SetOfficial(const std::string& archive_name, const std::string& access_code, const std::string& flag_text);
  // Gives an entry's payload a second name.
  void DuplicateEntry(const std::string& archive_name, const std::string& existing_name, const std::string& new_name);

  // --- the steps they are made of ---
  // Opens the archive (with the retry dialog), reads it and cuts the file at the directory.
  void OpenForUpdate(const std::string& path);
  // Appends the payload of a package entry (unless unchanged) and records it.
  void AddPackageEntry(int index);
  // Writes directory, footer and a new trailer at the write position and closes the file.
  void WriteDirectoryAndClose();

  bool IsOpen() const { return file_ != nullptr; }
  TKzpDirectory& Directory() { return directory_; }
  // The install directory, a backslash and the name.
  std::string ArchivePath(const std::string& archive_name) const;

  // Set by every opening from the archive's trailer: empty and 0 where the trailer carries
  // nothing (an archive without a trailer never inherits the last archive's password).
  std::string Password;
  bool HasPassword = false;
  uint8_t Official = 0;
  std::string ArchiveName;  // as the script gave it, for the status texts

  // What the object needs from outside, each replaceable by tests.
  TArchiveProgress Progress;             // status texts and progress steps
  TKzpFileSystem* Files = nullptr;       // null: the native file system
  std::function<uint32_t()> Today;       // DOS date of today; empty: the local date
  std::function<uint8_t()> RandomByte;   // trailer seeds; empty: the object's generator
  std::function<void()> CancelExit;      // Cancel in the retry dialog; empty: exit code 0
  void SeedRandom(uint32_t seed) { random_.seed(seed); }

 private:
  TKzpFileSystem& FileSystem() { return Files ? *Files : NativeKzpFileSystem(); }
  std::unique_ptr<TKzpFile> OpenWithRetry(const std::string& path);
  // Opening without the cut, so a wrong password or a missing entry leaves the file as it was.
  void OpenAndRead(const std::string& path);
  void CutAtDirectory();
  void RefuseUnwritablePassword();
  void ReleaseUnchanged();
  void Discard();
  [[noreturn]] void FatalStop(const std::string& message);
  // The trailer to write: fresh seeds that give both cipher keys digits and that a reader
  // takes back as written.
  TBytes FreshTrailer();
  uint32_t TodayDate();
  bool ReadsBackUnchanged(const TKzpRecord& record, const TBytes& payload);

  std::string path_;                 // of the open archive
  std::unique_ptr<TKzpFile> file_;
  TKzpDirectory directory_;
  uint64_t directory_start_ = 0;
  uint64_t write_position_ = 0;
  bool cut_ = false;                 // the directory is no longer in the file
  bool stopped_ = false;             // a fatal stop ran; nothing more is written
  std::mt19937 random_;
};

// The process-wide object, created at first use.
TPakSystem& PakSystem();

}  // namespace setup

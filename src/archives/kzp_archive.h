// A KZP archive open for update: the object the archive commands patch an archive through
// (engine/kzp_update.h drives it for the script).
//
// An update never rewrites the data region. Open reads the archive's ending and leaves the
// file as it was, so a wrong password or a missing entry can still turn back; CutAtDirectory
// sets the end of the file at the directory's start; AddPayload appends payloads there; and
// WriteDirectoryAndClose writes a fresh directory, footer and new-form trailer behind them.
// Replaced payloads stay in the file unreferenced.
//
// From the cut until the ending is written the file has no valid ending, so the cut first saves
// the original tail (directory, footer, trailer) in a rollback journal beside the archive; the
// journal is removed once the new ending is on the disk. Open plays back a journal it finds
// first: an update stopped anywhere (a killed process, a power cut, a full disk) leaves either
// the archive as it was or the archive as updated.
//
// The archive shows nothing and never ends the program: failures come back as results with the
// reader's message kept on the object, and unexpected conditions (a password the trailer
// cannot hold, an offset past 4 GiB) raise ESetupError with the file left as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archives/archive_file.h"
#include "archives/kzp_format.h"
#include "archives/rollback_journal.h"

namespace setup {

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

// What opening an archive for update found.
enum class TKzpOpenResult {
  Opened,           // its ending read; Password, HasPassword and Official are the trailer's
  NotFound,         // there is no such file
  AttributesStuck,  // the file is read-only and its attributes could not be cleared
  Unwritable,       // the file is there but does not open for writing (in use, write-protected)
  Corrupt,          // its ending does not read (ErrorText says why); the file is closed again
};

// The name a record keeps of a name: at most 127 bytes.
std::string KzpRecordName(std::string_view name);

class TKzpArchive {
 public:
  TKzpArchive();
  ~TKzpArchive();
  TKzpArchive(const TKzpArchive&) = delete;
  TKzpArchive& operator=(const TKzpArchive&) = delete;

  // Closes any archive still open, undoes an interrupted update (Recovery tells how), clears a
  // read-only attribute, opens the file for reading and writing (not shared) and reads its
  // ending. The file is not otherwise changed. A journal that cannot be played back leaves the
  // archive Unwritable.
  TKzpOpenResult Open(TArchiveFileSystem& files, const std::string& path);
  // Saves the original tail in the journal and sets the end of the file at the directory's
  // start. A password the new trailer cannot hold is refused first. Raises ESetupError, with
  // the archive closed and the file as it was, when any of it fails.
  void CutAtDirectory();
  // Appends the payload at the write position and records it under the name, unless the
  // directory holds a record of that name with the same sizes whose stored bytes have the
  // same CRC-32: that record, date included, then stays. A replaced record keeps the
  // archive's spelling of the name and moves to the end. False when the payload could not all
  // be written. Raises ESetupError when the archive is not cut or an offset would pass 4 GiB.
  bool AddPayload(std::string_view name, uint8_t method, uint32_t content_size, const TBytes& payload);
  // Writes the directory, its footer and a new-form trailer (Password under fresh seeds and
  // Official) at the write position, sets the end of the file behind them, syncs it, closes
  // and removes the journal (the commit). False when they could not all be written: the
  // journal then stays for the next Open to undo the update.
  bool WriteDirectoryAndClose();
  // Closes without writing anything; a journal of a cut archive stays for the next Open.
  void Close();

  bool IsOpen() const { return file_ != nullptr; }
  bool IsCut() const { return cut_; }
  const std::string& Path() const { return path_; }
  const std::string& ErrorText() const { return error_; }
  // What the last Open found of an interrupted update.
  const TRecovery& Recovery() const { return recovery_; }
  TKzpDirectory& Directory() { return directory_; }

  // Set by every opening from the archive's trailer: empty and 0 where the trailer carries
  // nothing (an archive without a trailer never inherits the last archive's password).
  // Written back by WriteDirectoryAndClose.
  std::string Password;
  bool HasPassword = false;
  uint8_t Official = 0;

  std::function<uint32_t()> Today;      // DOS date of new records; empty: today's local date
  std::function<uint8_t()> RandomByte;  // trailer seeds; empty: the object's generator
  void SeedRandom(uint32_t seed) { random_.seed(seed); }

 private:
  // The trailer to write: fresh seeds that give both cipher keys digits and that a reader
  // takes back as written.
  TBytes FreshTrailer();
  bool ReadsBackUnchanged(const TKzpRecord& record, const TBytes& payload);

  std::string path_;
  std::string error_;
  std::unique_ptr<TArchiveFile> file_;
  TArchiveFileSystem* files_ = nullptr;
  TRollbackJournal journal_;
  TRecovery recovery_;
  TKzpDirectory directory_;
  uint64_t directory_start_ = 0;
  uint64_t write_position_ = 0;
  bool cut_ = false;  // the directory is no longer in the file
  std::mt19937 random_;
};

}  // namespace setup

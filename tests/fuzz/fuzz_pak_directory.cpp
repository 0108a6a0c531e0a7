// Fuzz target: the setup package reader, as start-up drives it.
//
// The input is a whole package file (host bytes, entry data, directory, trailer) of either
// version. It is opened with TPak(pmRead), its data files are attached, the data files' digests
// are taken, every entry is verified, "SetupInfo" is looked up in group 0 and group 0 is walked
// with extraction. ESetupError is the reader's answer to a stream that does not inflate and is
// allowed; a sanitizer report, a crash or a broken invariant is a fault:
//   - the directory never holds more records than the file has room for;
//   - Verify agrees with Extract, and extracted data is exactly Size bytes long;
//   - an entry whose stored bytes lie in the files with the right CRC and inflate in one go to
//     exactly Size bytes extracts to those bytes, and ReadStoredAt gives its stored bytes at
//     any position (the reader works in pieces and across data files; this reference does
//     not); one whose bytes are outside the files or fail the CRC fails without an error;
//   - a large entry verifies only when it is stored plain in bytes the reader has;
//   - the entries sharing an entry's stored bytes all name its place;
//   - no data file's digest matches: a data file here is the input, which holds the digest;
//   - a group walk ends within Count steps;
//   - the names and stem of a package that does not say its texts are UTF-8 (every first-version
//     package) are handed out converted from the ANSI code page, so as valid UTF-8; a look-up
//     by an entry's name finds that entry or an earlier one of its group with the same name
//     once lowered.
//
// Data files: only one file can come from the fuzzer, so the input is every data file too, and
// records and spans that name data files read real bytes. As start-up does, a data file is
// attached only when its length is the one the table gives (here: when its Size is the
// input's), and when one is not there no entry in a data file is read and no group 0 entry is
// looked up. As a tool that reads what it can does, every data file is attached whatever its
// length, and every entry is read: data file N then holds the input's bytes up to its Size in
// the table, and its reading stops short where the input ends before that.
//
// TPak reads through a file name, so the input goes to one file per process: an anonymous
// memory file reached through /proc/self/fd where the system has them, a file under the
// temporary folder otherwise.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/host.h"
#include "core/pak.h"
#include "core/pe_image.h"
#include "core/text.h"
#include "fuzz_check.h"

namespace {

// The portable host without the message boxes: a failed size check would otherwise print
// one line per execution.
class TQuietHost : public setup::TPortableHost {
 public:
  int ShowMessageBox(const std::string&, const std::string&, unsigned) override { return setup::kIdOk; }
};

TQuietHost g_quiet_host;
int g_input_fd = -1;
std::string g_input_path;
bool g_remove_at_exit = false;

// Data files attached at most: each is one more open file for the execution.
constexpr uint32_t kMostAttached = 64;
// Entries whose sharing is checked: the check looks at every pair.
constexpr size_t kMostSharingChecked = 256;
// Entries whose look-up by name is checked: each look-up lowers every name of the group.
constexpr size_t kMostNamesLookedUp = 64;

void RemoveInputFile() {
  if (g_remove_at_exit) unlink(g_input_path.c_str());
}

void OpenInputFile() {
  g_input_fd = memfd_create("fuzz_pak_directory", 0);
  if (g_input_fd >= 0) {
    g_input_path = "/proc/self/fd/" + std::to_string(g_input_fd);
    return;
  }
  const char* tmp = std::getenv("TMPDIR");
  g_input_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_pak_directory." + std::to_string(getpid()) + ".pak";
  g_input_fd = open(g_input_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (g_input_fd < 0) {
    std::perror(g_input_path.c_str());
    std::abort();
  }
  g_remove_at_exit = true;
  std::atexit(RemoveInputFile);
}

void WriteInput(const uint8_t* data, size_t size) {
  if (ftruncate(g_input_fd, 0) != 0) std::abort();
  for (size_t done = 0; done < size;) {
    ssize_t n = pwrite(g_input_fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
}

[[noreturn]] void Fail(const std::string& what) { setup::fuzzing::FailCheck("fuzz_pak_directory", what); }

std::string EntryText(size_t i) { return "entry " + std::to_string(i) + ": "; }

// What one reading call gave: no data, data of some length, or ESetupError.
struct TOutcome {
  bool Threw = false;
  size_t Length = 0;
};

template <typename F>
TOutcome Attempt(F&& call) {
  TOutcome outcome;
  try {
    outcome.Length = call();
  } catch (const setup::ESetupError&) {
    outcome.Threw = true;
  }
  return outcome;
}

// The files as the reader sees them: the input up to the package's end as the setup file, and
// the input again as every attached data file, as long as the table says.
struct TFiles {
  const uint8_t* Input = nullptr;
  size_t InputSize = 0;
  uint64_t SetupSize = 0;
  std::vector<uint64_t> Declared;  // data file N at [N - 1]
  std::vector<bool> Attached;
};

// Where the stored bytes of e lie, by the directory alone: inside the setup file, or from
// its data file on through the later ones.
bool InsideByDirectory(const setup::TPakEntry& e, const TFiles& files) {
  const uint64_t length = e.StoredLength();
  if (e.DataFile == 0) return e.Offset <= files.SetupSize && length <= files.SetupSize - e.Offset;
  if (e.DataFile > files.Declared.size() || e.Offset >= files.Declared[e.DataFile - 1]) return false;
  uint64_t room = files.Declared[e.DataFile - 1] - e.Offset;
  for (size_t n = e.DataFile; n < files.Declared.size() && room < length; ++n) room += files.Declared[n];
  return length <= room;
}

// The stored bytes of e read straight from the files, all at once; false when a byte is not
// there to read (outside the files, in a data file not attached or not of its declared
// length: the reader reads nothing of an entry in such a file).
bool ReadStoredBytes(const setup::TPakEntry& e, const TFiles& files, std::vector<uint8_t>& out) {
  out.clear();
  if (!InsideByDirectory(e, files)) return false;
  uint64_t left = e.StoredLength();
  if (e.DataFile == 0) {
    out.assign(files.Input + e.Offset, files.Input + e.Offset + left);
    return true;
  }
  size_t n = e.DataFile;
  uint64_t at = e.Offset;
  while (left > 0) {
    const uint64_t declared = files.Declared[n - 1];
    if (at >= declared) {
      ++n;
      at = 0;
      continue;
    }
    const uint64_t take = std::min(left, declared - at);
    if (!files.Attached[n - 1] || declared != files.InputSize) return false;
    out.insert(out.end(), files.Input + at, files.Input + at + take);
    left -= take;
    at += take;
  }
  return true;
}

// The reference reading of one entry.
enum class TReference { Unknown, Damaged, Sound };

TReference ReferenceRead(const setup::TPakEntry& e, const TFiles& files, std::vector<uint8_t>& stored,
                         std::vector<uint8_t>& out) {
  const uint64_t length = e.StoredLength();
  if (length == 0 || e.Size == 0 || e.Size >= setup::kLargeEntryLimit) return TReference::Unknown;
  if (!ReadStoredBytes(e, files, stored)) return TReference::Damaged;
  if (static_cast<uint32_t>(crc32(0, stored.data(), static_cast<uInt>(stored.size()))) != e.Crc) {
    return TReference::Damaged;
  }
  if (e.PackedSize == 0) {
    out = stored;
    return TReference::Sound;
  }
  if (e.Size > length * 1032 + 1024) return TReference::Unknown;
  out.assign(static_cast<size_t>(e.Size) + 1, 0);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return TReference::Unknown;
  zs.next_in = stored.data();
  zs.avail_in = static_cast<uInt>(stored.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&zs, Z_FINISH);
  const uLong produced = zs.total_out;
  inflateEnd(&zs);
  if (rc != Z_STREAM_END || produced != e.Size) return TReference::Unknown;
  out.resize(static_cast<size_t>(e.Size));
  return TReference::Sound;
}

void CheckStoredAt(setup::TPak& pak, size_t i, const std::vector<uint8_t>& stored) {
  const int index = static_cast<int>(i);
  const uint64_t length = stored.size();
  uint8_t buffer[64];
  for (uint64_t position : {uint64_t{0}, length / 2, length - 1, length}) {
    const size_t n = pak.ReadStoredAt(index, position, buffer, sizeof buffer);
    const size_t expected = static_cast<size_t>(std::min<uint64_t>(sizeof buffer, length - position));
    if (n != expected || !std::equal(buffer, buffer + n, stored.begin() + static_cast<long>(position))) {
      Fail(EntryText(i) + "ReadStoredAt at " + std::to_string(position) + " gave other bytes than the reference");
    }
  }
}

void CheckAgainstReference(setup::TPak& pak, size_t i, const TFiles& files) {
  std::vector<uint8_t> stored;
  std::vector<uint8_t> expected;
  const TReference reference = ReferenceRead(pak.Directory()[i], files, stored, expected);
  if (reference == TReference::Unknown) return;
  const int index = static_cast<int>(i);
  std::vector<uint8_t> extracted;
  const TOutcome outcome = Attempt([&] {
    extracted = pak.Extract(index);
    return extracted.size();
  });
  if (outcome.Threw) Fail(EntryText(i) + "an error for stored bytes the reference reads");
  if (reference == TReference::Damaged && !extracted.empty()) Fail(EntryText(i) + "damaged bytes extracted");
  if (reference == TReference::Sound && extracted != expected) Fail(EntryText(i) + "extracted bytes differ from the reference");
  if (reference == TReference::Sound) CheckStoredAt(pak, i, stored);
}

void CheckLargeEntry(setup::TPak& pak, size_t i, const TOutcome& verified, const TFiles& files) {
  const setup::TPakEntry& e = pak.Directory()[i];
  std::vector<uint8_t> stored;
  const bool plain_inside = e.PackedSize == 0 && InsideByDirectory(e, files);
  const bool readable = plain_inside && ReadStoredBytes(e, files, stored);
  bool sound = readable;
  if (readable && e.Crc != 0) sound = static_cast<uint32_t>(crc32(0, stored.data(), static_cast<uInt>(stored.size()))) == e.Crc;
  if (verified.Threw || (verified.Length == 1) != sound) {
    Fail(EntryText(i) + "Verify of a large entry says " + (verified.Length == 1 ? "sound" : "not sound") +
         " for bytes that are " + (sound ? "sound" : readable ? "readable but fail the CRC" : "not all there"));
  }
}

// Every entry, or with data files missing those in the setup file only.
void CheckEntries(setup::TPak& pak, const TFiles& files, bool data_files_there) {
  const auto& directory = pak.Directory();
  for (size_t i = 0; i < directory.size(); ++i) {
    const int index = static_cast<int>(i);
    if (directory[i].DataFile != 0 && !data_files_there) continue;
    const uint64_t size = directory[i].Size;
    const TOutcome verified = Attempt([&] { return static_cast<size_t>(pak.Verify(index)); });
    if (size >= setup::kLargeEntryLimit) {
      // Never extracted whole; read piece by piece when it has a CRC.
      CheckLargeEntry(pak, i, verified, files);
      continue;
    }
    const TOutcome extracted = Attempt([&] { return pak.Extract(index).size(); });
    if (verified.Threw != extracted.Threw) Fail(EntryText(i) + "Verify and Extract disagree on throwing");
    if (verified.Threw) continue;
    if (extracted.Length != 0 && extracted.Length != size) {
      Fail(EntryText(i) + "extracted " + std::to_string(extracted.Length) + " bytes, Size " + std::to_string(size));
    }
    if ((verified.Length == 1) != (extracted.Length != 0)) Fail(EntryText(i) + "Verify and Extract disagree");
    CheckAgainstReference(pak, i, files);
  }
}

void CheckSharing(const setup::TPak& pak) {
  const auto& directory = pak.Directory();
  const size_t n = std::min(directory.size(), kMostSharingChecked);
  for (size_t i = 0; i < n; ++i) {
    const std::vector<int> sharing = pak.SharingEntries(static_cast<int>(i));
    if (std::find(sharing.begin(), sharing.end(), static_cast<int>(i)) == sharing.end()) {
      Fail(EntryText(i) + "not among the entries sharing its stored bytes");
    }
    for (int k : sharing) {
      const setup::TPakEntry& other = directory[static_cast<size_t>(k)];
      if (static_cast<size_t>(k) != i && (other.StoredLength() == 0 || !other.SamePlace(directory[i]))) {
        Fail(EntryText(i) + "entry " + std::to_string(k) + " listed as sharing bytes it does not name");
      }
    }
  }
}

void CheckNames(const setup::TPak& pak) {
  const auto& directory = pak.Directory();
  if (!pak.TextsUtf8()) {
    for (size_t i = 0; i < directory.size(); ++i) {
      if (!setup::IsValidUtf8(directory[i].Name)) Fail(EntryText(i) + "a name not converted from the ANSI code page");
    }
    if (!setup::IsValidUtf8(pak.DataFileStem())) Fail("the data files' stem not converted from the ANSI code page");
  }
  const size_t n = std::min(directory.size(), kMostNamesLookedUp);
  for (size_t i = 0; i < n; ++i) {
    const int found = pak.IndexOfName(directory[i].Name, directory[i].Group);
    if (found < 0 || static_cast<size_t>(found) > i || directory[found].Group != directory[i].Group ||
        setup::LowerUnicode(directory[found].Name) != setup::LowerUnicode(directory[i].Name)) {
      Fail(EntryText(i) + "its name finds entry " + std::to_string(found));
    }
  }
}

void CheckDataFileDigests(setup::TPak& pak, const TFiles& files) {
  for (uint32_t n = 1; n <= files.Attached.size(); ++n) {
    if (files.Attached[n - 1] && pak.DataFileDigestMatches(n)) Fail("data file " + std::to_string(n) + ": its digest matched");
  }
}

void CheckFindByName(setup::TPak& pak) {
  uint64_t size = 0;
  const TOutcome found = Attempt([&] { return pak.FindByName("SetupInfo", 0, &size).size(); });
  if (!found.Threw && found.Length != 0 && found.Length != size) {
    Fail("FindByName gave " + std::to_string(found.Length) + " bytes for Size " + std::to_string(size));
  }
}

void CheckGroupWalk(setup::TPak& pak) {
  const size_t limit = pak.Directory().size();
  size_t steps = 0;
  try {
    for (setup::TGroupItem item = pak.FirstInGroup(0, true); !item.Name.empty(); item = pak.NextInGroup(0, true)) {
      if (++steps > limit) Fail("group walk went past " + std::to_string(limit) + " entries");
      if (!item.Data.empty() && item.Data.size() != item.Size) Fail("group walk handed out data of the wrong size");
    }
  } catch (const setup::ESetupError&) {
  }
}

// Reads the input as a package, attaching as data files only what start-up would take, or
// every data file whatever its length.
void CheckPackage(const uint8_t* data, size_t size, bool every_data_file) {
  setup::TPak pak(g_input_path, setup::pmRead);
  if (!pak.IsOpen()) Fail("cannot open " + g_input_path);
  // The package ends at the end of the input, or in front of a certificate table that closes it.
  if (pak.FileSize() != size) {
    const auto fields = setup::ReadPeSignatureFields(data, size);
    const auto table = fields ? setup::CertificateTableStart(*fields, size) : std::nullopt;
    if (!table || pak.FileSize() > *table || *table - pak.FileSize() > 7 || !pak.Trailer().HasMagic()) {
      Fail("package size " + std::to_string(pak.FileSize()) + ", input " + std::to_string(size));
    }
  }
  if (pak.Directory().size() * setup::kPakRecordFixedSize > size) {
    Fail(std::to_string(pak.Directory().size()) + " records read from " + std::to_string(size) + " bytes");
  }
  if (!pak.DirectorySound() && (!pak.Directory().empty() || !pak.DataFiles().empty())) {
    Fail("an unsound directory kept its entries or data files");
  }

  TFiles files;
  files.Input = data;
  files.InputSize = size;
  files.SetupSize = pak.FileSize();
  for (const setup::TPakDataFile& d : pak.DataFiles()) files.Declared.push_back(d.Size);
  files.Attached.assign(files.Declared.size(), false);
  pak.TakeDataFileDigests();
  bool data_files_there = true;
  for (uint32_t n = 1; n <= files.Declared.size(); ++n) {
    if (n > kMostAttached || (!every_data_file && files.Declared[n - 1] != size)) {
      data_files_there = every_data_file;
      continue;
    }
    if (!pak.AttachDataFile(n, g_input_path)) Fail("cannot attach data file " + std::to_string(n));
    files.Attached[n - 1] = true;
  }

  CheckNames(pak);
  CheckEntries(pak, files, data_files_there);
  CheckSharing(pak);
  CheckDataFileDigests(pak, files);
  if (data_files_there) {
    CheckFindByName(pak);
    CheckGroupWalk(pak);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setup::SetHost(&g_quiet_host);
  OpenInputFile();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteInput(data, size);
  CheckPackage(data, size, false);
  CheckPackage(data, size, true);
  return 0;
}

// Fuzz target: the setup package reader, as start-up drives it.
//
// The input is a whole package file (host bytes, entry data, directory, trailer). It is opened
// with TPak(pmRead), every entry is verified, "SetupInfo" is looked up in group 0 and group 0
// is walked with extraction. ESetupError is the reader's answer to a stream that does not
// inflate and is allowed; a sanitizer report, a crash or a broken invariant is a fault:
//   - the directory never holds more records than the file has room for;
//   - Verify agrees with Extract, and extracted data is exactly Size bytes long;
//   - an entry whose stored bytes lie in the file with the right CRC and inflate in one go to
//     exactly Size bytes extracts to those bytes (the reader works in pieces; this reference
//     does not); one whose bytes are outside the file or fail the CRC fails without an error;
//   - a group walk ends within Count steps.
//
// TPak reads through a file name, so the input goes to one file per process: an anonymous
// memory file reached through /proc/self/fd where the system has them, a file under the
// temporary folder otherwise.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/host.h"
#include "core/pak.h"
#include "core/pe_image.h"
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

// The reference reading of one entry straight from the input bytes, all at once.
enum class TReference { Unknown, Damaged, Sound };

TReference ReferenceRead(const setup::TPakEntry& e, const uint8_t* input, size_t input_size, std::vector<uint8_t>& out) {
  const uint32_t length = e.StoredLength();
  if (length == 0 || e.Size == 0) return TReference::Unknown;
  if (static_cast<uint64_t>(e.Offset) + length > input_size) return TReference::Damaged;
  const uint8_t* stored = input + e.Offset;
  if (static_cast<uint32_t>(crc32(0, stored, length)) != e.Crc) return TReference::Damaged;
  if (e.PackedSize == 0) {
    out.assign(stored, stored + length);
    return TReference::Sound;
  }
  if (static_cast<uint64_t>(e.Size) > static_cast<uint64_t>(length) * 1032 + 1024) return TReference::Unknown;
  out.assign(static_cast<size_t>(e.Size) + 1, 0);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return TReference::Unknown;
  zs.next_in = const_cast<Bytef*>(stored);
  zs.avail_in = length;
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&zs, Z_FINISH);
  const uLong produced = zs.total_out;
  inflateEnd(&zs);
  if (rc != Z_STREAM_END || produced != e.Size) return TReference::Unknown;
  out.resize(e.Size);
  return TReference::Sound;
}

void CheckAgainstReference(setup::TPak& pak, size_t i, const uint8_t* input, size_t input_size) {
  std::vector<uint8_t> expected;
  const TReference reference = ReferenceRead(pak.Directory()[i], input, input_size, expected);
  if (reference == TReference::Unknown) return;
  const int index = static_cast<int>(i);
  std::vector<uint8_t> extracted;
  const TOutcome outcome = Attempt([&] {
    extracted = pak.Extract(index);
    return extracted.size();
  });
  if (outcome.Threw) Fail("entry " + std::to_string(i) + ": an error for stored bytes the reference reads");
  if (reference == TReference::Damaged && !extracted.empty()) Fail("entry " + std::to_string(i) + ": damaged bytes extracted");
  if (reference == TReference::Sound && extracted != expected) Fail("entry " + std::to_string(i) + ": extracted bytes differ from the reference");
}

void CheckEntries(setup::TPak& pak, const uint8_t* input, size_t input_size) {
  const auto& directory = pak.Directory();
  for (size_t i = 0; i < directory.size(); ++i) {
    const int index = static_cast<int>(i);
    const uint32_t size = directory[i].Size;
    const TOutcome verified = Attempt([&] { return static_cast<size_t>(pak.Verify(index)); });
    const TOutcome extracted = Attempt([&] { return pak.Extract(index).size(); });
    if (size >= setup::kLargeEntryLimit) {
      // Never read: sound exactly when it is stored plain and lies inside the file.
      const bool inside = directory[i].PackedSize == 0 &&
                          static_cast<uint64_t>(directory[i].Offset) + size <= pak.FileSize();
      if (verified.Threw || (verified.Length == 1) != inside) {
        Fail("entry " + std::to_string(i) + ": Verify of a large entry disagrees with its place in the file");
      }
      continue;
    }
    if (verified.Threw != extracted.Threw) Fail("entry " + std::to_string(i) + ": Verify and Extract disagree on throwing");
    if (verified.Threw) continue;
    if (extracted.Length != 0 && extracted.Length != size) {
      Fail("entry " + std::to_string(i) + ": extracted " + std::to_string(extracted.Length) + " bytes, Size " +
           std::to_string(size));
    }
    if ((verified.Length == 1) != (extracted.Length != 0)) Fail("entry " + std::to_string(i) + ": Verify and Extract disagree");
    CheckAgainstReference(pak, i, input, input_size);
  }
}

void CheckFindByName(setup::TPak& pak) {
  uint32_t size = 0;
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setup::SetHost(&g_quiet_host);
  OpenInputFile();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteInput(data, size);
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
  CheckEntries(pak, data, size);
  CheckFindByName(pak);
  CheckGroupWalk(pak);
  return 0;
}

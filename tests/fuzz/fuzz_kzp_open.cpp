// Fuzz target: the KZP archive reader and the rewrite that every script command ends with.
//
// The input is a whole archive file, held in memory. It goes through ReadKzpIndex and the
// payload decoders, then through TPakSystem as "kzpofficial" and "duplicateentry" drive it.
// Beyond the sanitizers, a fault is:
//   - a reader that accepts more records than the footer's count or than were inflated;
//   - a method-2 payload that decodes to other than its content size;
//   - the runtime accepting an archive the reader refuses, or refusing one it accepts with
//     other than the corrupted-header stop, or changing a file it refused;
//   - a rewritten archive that does not read back in the new form with the same records,
//     password and flag.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "archives/archive_file.h"
#include "archives/kzp_format.h"
#include "archives/rollback_journal.h"
#include "core/error.h"
#include "core/host.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/kzp_update.h"
#include "fuzz_check.h"

namespace {

using namespace setup;

constexpr size_t kRewriteRecordLimit = 5000;  // larger directories are read, not rewritten (speed)
const std::string kPath = "C:\\Game\\game.kzp";

struct TStop {
  std::string Message;
};

class TThrowingHost : public TPortableHost {
 public:
  int ShowMessageBox(const std::string&, const std::string&, unsigned) override { return kIdCancel; }
  [[noreturn]] void FatalAppExit(const std::string& message) override { throw TStop{message}; }
};

// The archive, and its rollback journal while an update runs.
class TOneFile : public TArchiveFileSystem {
 public:
  std::shared_ptr<TBytes> Bytes = std::make_shared<TBytes>();
  std::shared_ptr<TBytes> Journal;
  bool Exists(const std::string& path) override { return path == kPath || (Journal && path == JournalPath(kPath)); }
  bool IsReadOnly(const std::string&) override { return false; }
  bool ClearAttributes(const std::string&) override { return true; }
  std::unique_ptr<TArchiveFile> OpenForUpdate(const std::string& path) override {
    if (path == kPath) return std::make_unique<TMemoryArchiveFile>(Bytes);
    return Exists(path) ? std::make_unique<TMemoryArchiveFile>(Journal) : nullptr;
  }
  std::unique_ptr<TArchiveFile> OpenForReading(const std::string& path) override { return OpenForUpdate(path); }
  std::unique_ptr<TArchiveFile> Create(const std::string& path) override {
    if (path != JournalPath(kPath)) return nullptr;
    Journal = std::make_shared<TBytes>();
    return std::make_unique<TMemoryArchiveFile>(Journal);
  }
  bool Remove(const std::string& path) override {
    if (!Exists(path) || path == kPath) return false;
    Journal.reset();
    return true;
  }
};

TThrowingHost g_host;

[[noreturn]] void Fail(const std::string& what) { setup::fuzzing::FailCheck("fuzz_kzp_open", what); }

bool Read(const TBytes& bytes, TKzpIndex& index, std::string& error) {
  TMemoryArchiveFile file(std::make_shared<TBytes>(bytes));
  return ReadKzpIndex(file, index, error);
}

void CheckPayloads(const TBytes& bytes, const TKzpIndex& index) {
  for (const TKzpRecord& r : index.Records) {
    if (static_cast<uint64_t>(r.Offset) + r.StoredSize > index.DirectoryStart) continue;
    const TBytes payload(bytes.begin() + r.Offset, bytes.begin() + r.Offset + r.StoredSize);
    TBytes content;
    std::string error;
    const bool decoded = DecodeKzpPayload(r, payload, content, error);
    if (decoded && r.Method == kKzpMethodZlib && content.size() != r.ContentSize) {
      Fail("method-2 payload decoded to " + std::to_string(content.size()) + " bytes, content size " +
           std::to_string(r.ContentSize));
    }
    if (!decoded && error.empty()) Fail("payload refused without a reason");
  }
}

// Runs one command; returns false when it ended in a fatal stop (which must be the
// corrupted-header one for an archive the reader refuses).
template <typename F>
bool RunCommand(F&& command, bool readable) {
  try {
    command();
  } catch (const TStop& stop) {
    if (readable) Fail("fatal stop on a readable archive: " + stop.Message);
    if (stop.Message != "File " + kPath + " has corrupted header.") Fail("unexpected stop: " + stop.Message);
    return false;
  }
  if (!readable) Fail("the runtime went on with an archive the reader refuses");
  return true;
}

void CheckRewrite(const TBytes& input, const TKzpIndex& before, uint8_t official) {
  TOneFile files;
  *files.Bytes = input;
  TPakSystem kzp;
  kzp.Files = &files;
  kzp.SeedRandom(static_cast<uint32_t>(input.size()));
  kzp.Today = [] { return KzpDosDate(2020, 1, 1); };
  const bool fits = before.Trailer.Password.size() <= kKzpMaxPasswordBytes;
  try {
    RunCommand([&] { kzp.SetOfficial("game.kzp", "vormelt", official ? "true" : "0"); }, true);
  } catch (const ESetupError&) {
    if (fits) Fail("a password that fits the trailer was refused");
    if (*files.Bytes != input) Fail("a refused archive was changed");
    return;
  }
  if (!fits) Fail("a password longer than the trailer holds was written");

  TKzpIndex after;
  std::string error;
  if (!Read(*files.Bytes, after, error)) Fail("rewritten archive does not read: " + error);
  if (after.Trailer.Form != TKzpTrailerForm::Eih2) Fail("rewritten archive is not in the new form");
  if (after.Trailer.Official != official) Fail("official flag not kept");
  const std::string expected_password =
      before.Trailer.Form == TKzpTrailerForm::None || before.Trailer.Form == TKzpTrailerForm::Unknown
          ? ""
          : before.Trailer.Password;
  if (after.Trailer.Password != expected_password) Fail("password not kept");
  if (after.Records.size() != before.Records.size()) Fail("record count changed");
  for (size_t i = 0; i < after.Records.size(); ++i) {
    const TKzpRecord& a = after.Records[i];
    const TKzpRecord& b = before.Records[i];
    if (a.Name != b.Name || a.Offset != b.Offset || a.StoredSize != b.StoredSize || a.ContentSize != b.ContentSize ||
        a.Method != b.Method || a.FileDate != b.FileDate || a.Marker != b.Marker || a.Reserved != b.Reserved) {
      Fail("record " + std::to_string(i) + " changed in a rewrite");
    }
  }
  if (after.DirectoryStart != before.DirectoryStart) Fail("data region changed size");

  // A second name for the first record shares its payload.
  if (after.Records.empty()) return;
  bool name_taken = false;
  for (const TKzpRecord& r : after.Records) name_taken |= LowerAscii(r.Name) == "fuzz\\second.name";
  RunCommand([&] { kzp.DuplicateEntry("game.kzp", after.Records[0].Name, "Fuzz\\Second.Name"); }, true);
  TKzpIndex duplicated;
  if (!Read(*files.Bytes, duplicated, error)) Fail("archive with a second name does not read: " + error);
  if (name_taken) return;
  if (duplicated.Records.size() != after.Records.size() + 1) Fail("second name not added");
  const TKzpRecord& copy = duplicated.Records.back();
  if (copy.Name != "fuzz\\second.name" || copy.Offset != after.Records[0].Offset ||
      copy.StoredSize != after.Records[0].StoredSize || copy.ContentSize != after.Records[0].ContentSize) {
    Fail("second name does not share the first record's payload");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetHost(&g_host);
  Globals().SetupInfo.InstallDir = "C:\\Game";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TBytes input(data, data + size);
  TKzpIndex index;
  std::string error;
  const bool readable = Read(input, index, error);
  if (readable) {
    if (index.Records.size() != index.Footer.Count) Fail("record count differs from the footer's");
    if (static_cast<uint64_t>(index.Footer.Count) * kKzpRecordSize > index.Footer.InflatedSize) {
      Fail("more records than were inflated");
    }
    if (index.DirectoryStart + index.Footer.CompressedSize + kKzpFooterSize + index.Trailer.Length != size) {
      Fail("the pieces of the ending do not add up to the file size");
    }
    for (const TKzpRecord& r : index.Records) {
      if (r.Name.size() > kKzpMaxNameBytes) Fail("name longer than 127 bytes");
    }
    CheckPayloads(input, index);
  } else if (error.empty()) {
    Fail("refused without a reason");
  }

  if (readable && index.Records.size() > kRewriteRecordLimit) return 0;
  if (!readable) {
    TOneFile files;
    *files.Bytes = input;
    TPakSystem kzp;
    kzp.Files = &files;
    RunCommand([&] { kzp.SetOfficial("game.kzp", "vormelt", "1"); }, false);
    if (*files.Bytes != input) Fail("a corrupt archive was changed");
    return 0;
  }
  CheckRewrite(input, index, size % 2);
  return 0;
}

// Fuzz target: the rollback journal's reader and recovery.
//
// The input is a journal found beside a 64 KiB archive. Recovery must either write back what
// the journal's sound records hold and cut the archive to the header's length, or leave the
// archive untouched (journal set aside, or no sound header). Checks beyond the sanitizers: a
// rolled-back archive has the original length and holds each sound record's bytes; a set-aside
// journal left the archive as it was and kept its bytes under the new name. A journal whose
// original length neither the archive nor its records reach is never followed (it would grow
// the archive to any length it names).
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "archives/rollback_journal.h"
#include "fuzz_check.h"

namespace {

using namespace setup;

class TMemoryFiles : public TArchiveFileSystem {
 public:
  std::map<std::string, std::shared_ptr<TBytes>> Files;

  bool Exists(const std::string& path) override { return Files.count(path) != 0; }
  bool IsReadOnly(const std::string&) override { return false; }
  bool ClearAttributes(const std::string&) override { return true; }
  std::unique_ptr<TArchiveFile> OpenForUpdate(const std::string& path) override { return OpenForReading(path); }
  std::unique_ptr<TArchiveFile> OpenForReading(const std::string& path) override {
    auto it = Files.find(path);
    return it == Files.end() ? nullptr : std::make_unique<TMemoryArchiveFile>(it->second);
  }
  std::unique_ptr<TArchiveFile> Create(const std::string& path) override {
    Files[path] = std::make_shared<TBytes>();
    return OpenForReading(path);
  }
  bool Remove(const std::string& path) override { return Files.erase(path) != 0; }
  bool Rename(const std::string& from, const std::string& to) override {
    if (!Exists(from) || Exists(to)) return false;
    Files[to] = Files[from];
    Files.erase(from);
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string archive = "data.kzp";
  TMemoryFiles files;
  TBytes original(64 << 10);
  for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
  files.Files[archive] = std::make_shared<TBytes>(original);
  files.Files[JournalPath(archive)] = std::make_shared<TBytes>(data, data + size);

  // What the journal says, read apart from recovery.
  TBytes expected = original;
  TMemoryArchiveFile journal(files.Files[JournalPath(archive)]);
  const TJournalContents contents = ReadJournal(journal, [&](uint64_t offset, const TBytes& bytes) {
    if (offset + bytes.size() > expected.size()) expected.resize(offset + bytes.size());
    std::memcpy(expected.data() + offset, bytes.data(), bytes.size());
  });
  const bool trusted = contents.HeaderSound && !contents.OutOfRange &&
                       (contents.OriginalLength <= original.size() || contents.OriginalLength <= contents.SavedEnd);
  if (trusted) expected.resize(contents.OriginalLength);

  const TRecovery recovery = RecoverArchive(files, archive);
  const TBytes& now = *files.Files[archive];
  if (recovery.Result == TRecoveryResult::RolledBack) {
    if (!trusted || now != expected || recovery.Records != contents.Records) {
      fuzzing::FailCheck("fuzz_rollback_journal", "the rollback does not match the journal's sound records");
    }
    if (files.Exists(JournalPath(archive))) fuzzing::FailCheck("fuzz_rollback_journal", "the journal stayed");
  } else if (recovery.Result == TRecoveryResult::SetAside) {
    if (trusted || now != original || !files.Exists(recovery.SetAsideAs) ||
        *files.Files[recovery.SetAsideAs] != TBytes(data, data + size)) {
      fuzzing::FailCheck("fuzz_rollback_journal", "a set-aside journal changed the archive or lost its bytes");
    }
  } else {
    fuzzing::FailCheck("fuzz_rollback_journal", "recovery failed over memory files: " + recovery.Message);
  }
  return 0;
}

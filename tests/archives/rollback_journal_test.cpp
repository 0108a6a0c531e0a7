#include "archives/rollback_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "archives/journaled_file.h"
#include "archives/kzp_archive.h"
#include "archives/vfs_file.h"
#include "archives/vfs_hash_index.h"
#include "core/byte_order.h"
#include "core/crc.h"
#include "core/error.h"
#include "kzp_fixtures.h"
#include "vfs_fixtures.h"

namespace setup {
namespace {

using testing::TMemoryFileSystem;

const std::string kArchive = "C:\\Games\\data.kzp";

TBytes Pattern(size_t size, uint8_t seed) {
  TBytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return out;
}

// An update of an archive of 3 MiB that saves ranges (overlapping, one larger than a record,
// one past the end) before changing them, then grows and cuts the file.
struct TJournaledUpdate {
  TMemoryFileSystem files;
  TBytes original = Pattern(3 << 20, 11);
  std::unique_ptr<TArchiveFile> archive;
  TRollbackJournal journal;

  TJournaledUpdate() {
    files.Put(kArchive, original);
    archive = files.OpenForUpdate(kArchive);
    EXPECT_TRUE(journal.Begin(files, JournalPath(kArchive), *archive));
  }
  void Change(uint64_t offset, size_t length, uint8_t seed) {
    ASSERT_TRUE(journal.Save(offset, length));
    const TBytes bytes = Pattern(length, seed);
    ASSERT_EQ(archive->WriteAt(offset, bytes.data(), bytes.size()), bytes.size());
  }
  void Run() {
    Change(100, 5000, 1);
    Change(4000, 3000, 2);          // overlaps the first range
    Change(1 << 20, 1500000, 3);    // more than one record
    Change(original.size() - 10, 400, 4);  // runs past the end: only the first 10 bytes are saved
    ASSERT_TRUE(journal.Save(2 << 20, original.size()));
    ASSERT_TRUE(archive->Truncate(2 << 20));
  }
  TBytes Journal() { return files.Bytes(JournalPath(kArchive)); }
};

TEST(RollbackJournal, RecoveryRestoresTheOriginalAndCommitRemovesTheJournal) {
  TJournaledUpdate update;
  update.Run();
  ASSERT_NE(update.files.Bytes(kArchive), update.original);
  // Saved once each: the overlap and the repeated tail are not saved twice.
  const size_t saved = 7000 + 1500000 + (update.original.size() - (2 << 20));
  EXPECT_LT(update.Journal().size(), kJournalHeaderSize + saved + 16 * 16);
  update.journal.Abandon();
  update.archive.reset();

  const TRecovery recovery = RecoverArchive(update.files, kArchive);
  EXPECT_EQ(recovery.Result, TRecoveryResult::RolledBack) << recovery.Message;
  EXPECT_FALSE(recovery.TornTail);
  EXPECT_EQ(update.files.Bytes(kArchive), update.original);
  EXPECT_FALSE(update.files.Exists(JournalPath(kArchive)));
  EXPECT_EQ(RecoverArchive(update.files, kArchive).Result, TRecoveryResult::NoJournal);

  TJournaledUpdate committed;
  committed.Run();
  const TBytes updated = committed.files.Bytes(kArchive);
  EXPECT_TRUE(committed.journal.Commit());
  EXPECT_FALSE(committed.files.Exists(JournalPath(kArchive)));
  EXPECT_EQ(RecoverArchive(committed.files, kArchive).Result, TRecoveryResult::NoJournal);
  EXPECT_EQ(committed.files.Bytes(kArchive), updated);
}

TEST(RollbackJournal, EveryCutOfTheJournalRestoresWhatItsCompleteRecordsCover) {
  TJournaledUpdate update;
  update.Change(10, 100, 1);
  update.Change(1000, 100, 2);
  update.Change(5000, 100, 3);
  const TBytes journal = update.Journal();
  const TBytes changed = update.files.Bytes(kArchive);
  const size_t record = kJournalRecordHeaderSize + 100;
  for (size_t cut = kJournalHeaderSize; cut <= journal.size(); ++cut) {
    update.files.Put(kArchive, changed);
    update.files.Put(JournalPath(kArchive), TBytes(journal.begin(), journal.begin() + static_cast<long>(cut)));
    const TRecovery recovery = RecoverArchive(update.files, kArchive);
    ASSERT_EQ(recovery.Result, TRecoveryResult::RolledBack) << cut;
    const size_t complete = (cut - kJournalHeaderSize) / record;
    EXPECT_EQ(recovery.Records, static_cast<int>(complete));
    EXPECT_EQ(recovery.TornTail, cut != kJournalHeaderSize + complete * record);
    const TBytes& now = update.files.Bytes(kArchive);
    const size_t starts[] = {10, 1000, 5000};
    for (size_t i = 0; i < 3; ++i) {
      const TBytes& want = i < complete ? update.original : changed;
      ASSERT_TRUE(std::equal(now.begin() + starts[i], now.begin() + starts[i] + 100, want.begin() + starts[i]))
          << "cut " << cut << ", record " << i;
    }
  }

  // A flipped byte in the second record: the first is played back, nothing after it.
  TBytes flipped = journal;
  flipped[kJournalHeaderSize + record + kJournalRecordHeaderSize + 5] ^= 0x40;
  update.files.Put(kArchive, changed);
  update.files.Put(JournalPath(kArchive), flipped);
  const TRecovery recovery = RecoverArchive(update.files, kArchive);
  EXPECT_EQ(recovery.Records, 1);
  EXPECT_TRUE(recovery.TornTail);
}

TEST(RollbackJournal, UntrustworthyJournalsAreSetAsideAndNothingIsWritten) {
  TJournaledUpdate update;
  update.Change(10, 100, 1);
  const TBytes journal = update.Journal();
  const TBytes changed = update.files.Bytes(kArchive);

  TBytes bad_header = journal;
  bad_header[13] ^= 1;  // the original length, under the header's checksum
  // A sound record that reaches past the original length.
  TBytes out_of_range(journal.begin(), journal.begin() + kJournalHeaderSize);
  TBytes record(kJournalRecordHeaderSize + 8, 0x55);
  StoreLE64(record.data(), update.original.size() - 4);
  StoreLE32(record.data() + 8, 8);
  StoreLE32(record.data() + 12, Crc32(record.data() + 16, 8, Crc32(record.data(), 12)));
  out_of_range.insert(out_of_range.end(), record.begin(), record.end());

  // A sound header whose original length neither the archive nor a saved range reaches.
  TBytes unreachable(journal.begin(), journal.begin() + kJournalHeaderSize);
  StoreLE64(unreachable.data() + 12, changed.size() + 1);
  StoreLE32(unreachable.data() + 20, Crc32(unreachable.data(), 20));

  int n = 0;
  for (const TBytes& damaged : {bad_header, out_of_range, unreachable, TBytes{'S', 'E'}}) {
    update.files.Put(kArchive, changed);
    update.files.Put(JournalPath(kArchive), damaged);
    const TRecovery recovery = RecoverArchive(update.files, kArchive);
    EXPECT_EQ(recovery.Result, TRecoveryResult::SetAside) << recovery.Message;
    EXPECT_EQ(update.files.Bytes(kArchive), changed);
    EXPECT_FALSE(update.files.Exists(JournalPath(kArchive)));
    EXPECT_EQ(recovery.SetAsideAs, JournalPath(kArchive) + ".damaged" + (n ? std::to_string(n) : ""));
    EXPECT_EQ(update.files.Bytes(recovery.SetAsideAs), damaged);
    ++n;
  }
}

TEST(RollbackJournal, AJournalThatCannotBeWrittenStopsTheChange) {
  // The journal's disk fills up after its header: Save refuses, so the range must stay as it is.
  struct TFullJournals : TMemoryFileSystem {
    std::unique_ptr<TArchiveFile> Create(const std::string& path) override {
      auto file = std::make_unique<TMemoryArchiveFile>(files[path].Bytes);
      file->WriteLimit = kJournalHeaderSize + 20;
      return file;
    }
  } files;
  files.Put(kArchive, Pattern(1000, 3));
  std::unique_ptr<TArchiveFile> archive = files.OpenForUpdate(kArchive);
  TRollbackJournal journal;
  ASSERT_TRUE(journal.Begin(files, JournalPath(kArchive), *archive));
  EXPECT_FALSE(journal.Save(0, 100));
}

// Random writes (overlapping, touching, apart, growing the file) and reads through a journaled
// file read what a plain copy holds; dropped without its commit the file is given back by
// recovery, committed it keeps every write.
TEST(JournaledFile, HeldWritesReadBackAndReachTheArchiveOnlyThroughTheJournal) {
  for (const bool commit : {false, true}) {
    TMemoryFileSystem files;
    const TBytes original = Pattern(20000, 3);
    files.Put(kArchive, original);
    TBytes model = original;
    std::mt19937 random(commit ? 7 : 11);
    {
      TJournaledFile file(files, kArchive, files.OpenForUpdate(kArchive), 3000);
      for (int step = 0; step < 3000; ++step) {
        const uint64_t offset = random() % 21000;
        const size_t n = 1 + random() % 700;
        if (random() % 3) {
          const TBytes bytes = Pattern(n, static_cast<uint8_t>(step));
          ASSERT_EQ(file.WriteAt(offset, bytes.data(), n), n);
          if (model.size() < offset + n) model.resize(offset + n);
          std::copy(bytes.begin(), bytes.end(), model.begin() + static_cast<long>(offset));
        } else {
          TBytes got(n);
          const size_t read = file.ReadAt(offset, got.data(), n);
          ASSERT_EQ(read, offset >= model.size() ? 0 : std::min<size_t>(n, model.size() - offset)) << step;
          const auto from = model.begin() + static_cast<long>(offset);
          ASSERT_TRUE(std::equal(got.begin(), got.begin() + static_cast<long>(read), from)) << step;
        }
        ASSERT_EQ(file.Size(), model.size());
      }
      if (commit) {
        ASSERT_TRUE(file.Commit());
      }
    }
    const TRecoveryResult expected = commit ? TRecoveryResult::NoJournal : TRecoveryResult::RolledBack;
    EXPECT_EQ(RecoverArchive(files, kArchive).Result, expected);
    EXPECT_EQ(files.Bytes(kArchive), commit ? model : original);
    EXPECT_FALSE(files.Exists(JournalPath(kArchive)));
  }
}

// A file system that stops for good after a number of changes (writes, cuts, syncs, creations,
// removals): what a killed process or a power cut leaves behind. With a full disk only writes
// count, and every write after the budget fails with the system's words while the rest works.
class TStoppingFileSystem : public TMemoryFileSystem {
 public:
  class TFile : public TArchiveFile {
   public:
    TFile(TStoppingFileSystem& owner, std::unique_ptr<TArchiveFile> file) : owner_(owner), file_(std::move(file)) {}
    uint64_t Size() override { return file_->Size(); }
    size_t ReadAt(uint64_t offset, void* buffer, size_t n) override { return file_->ReadAt(offset, buffer, n); }
    size_t WriteAt(uint64_t offset, const void* buffer, size_t n) override {
      return owner_.Go(true) ? file_->WriteAt(offset, buffer, n) : 0;
    }
    bool Truncate(uint64_t size) override { return owner_.Go(size > file_->Size()) && file_->Truncate(size); }
    bool Flush() override { return owner_.Go(false); }
    bool Sync() override { return owner_.Go(false); }
    std::string LastError() override { return owner_.disk_full ? "No space left on device" : ""; }

   private:
    TStoppingFileSystem& owner_;
    std::unique_ptr<TArchiveFile> file_;
  };

  bool Go(bool write) {
    if (disk_full && !write) return true;
    return ++changes <= budget;
  }
  std::unique_ptr<TArchiveFile> OpenForUpdate(const std::string& path) override {
    return Wrap(TMemoryFileSystem::OpenForUpdate(path));
  }
  std::unique_ptr<TArchiveFile> Create(const std::string& path) override {
    return Go(false) ? Wrap(TMemoryFileSystem::Create(path)) : nullptr;
  }
  bool Remove(const std::string& path) override { return Go(false) && TMemoryFileSystem::Remove(path); }
  bool Rename(const std::string& from, const std::string& to) override {
    return Go(false) && TMemoryFileSystem::Rename(from, to);
  }
  TBytes BytesOr(const std::string& path, const char* absent) {
    return Exists(path) ? Bytes(path) : TBytes(absent, absent + std::strlen(absent));
  }

  uint64_t budget = UINT64_MAX;
  uint64_t changes = 0;
  bool disk_full = false;

 private:
  std::unique_ptr<TArchiveFile> Wrap(std::unique_ptr<TArchiveFile> file) {
    return file ? std::make_unique<TFile>(*this, std::move(file)) : nullptr;
  }
};

// Replaces one entry and adds one, as "kzpupdate" does; false when the update stopped.
bool UpdateKzp(TArchiveFileSystem& files) {
  TKzpArchive archive;
  uint8_t seed = 0;
  archive.RandomByte = [&seed] { return seed += 37; };
  archive.Today = [] { return KzpDosDate(2026, 12, 7); };
  try {
    if (archive.Open(files, kArchive) != TKzpOpenResult::Opened) return false;
    archive.CutAtDirectory();
    const TBytes replaced = Pattern(3000, 5), added = Pattern(9000, 6);
    return archive.AddPayload("b.bin", kKzpMethodZlib, 3000, testing::ZlibPayloadOf(replaced)) &&
           archive.AddPayload("maps\\new.map", kKzpMethodZlib, 9000, testing::ZlibPayloadOf(added)) &&
           archive.WriteDirectoryAndClose();
  } catch (const ESetupError&) {
    return false;
  }
}

TEST(RollbackJournal, AKzpUpdateStoppedAfterAnyChangeOrOnAFullDiskLeavesTheOriginalOrTheUpdate) {
  const TBytes original = testing::ArchiveBody(testing::TwoEntries());
  for (const bool disk_full : {false, true}) {
    TStoppingFileSystem reference;
    reference.Put(kArchive, original);
    reference.disk_full = disk_full;
    ASSERT_TRUE(UpdateKzp(reference));
    const TBytes updated = reference.Bytes(kArchive);
    ASSERT_NE(updated, original);

    int lost = 0;
    for (uint64_t budget = 0; budget < reference.changes; ++budget) {
      TStoppingFileSystem files;
      files.Put(kArchive, original);
      files.budget = budget;
      files.disk_full = disk_full;
      EXPECT_FALSE(UpdateKzp(files)) << budget;
      // The next run opens the archive as an update would: the journal first.
      files.budget = UINT64_MAX;
      files.disk_full = false;
      const bool journal_left = files.Exists(JournalPath(kArchive));
      const TRecovery recovery = RecoverArchive(files, kArchive);
      const TBytes& now = files.Bytes(kArchive);
      if (now != original && now != updated) ++lost;
      if (disk_full) {
        EXPECT_EQ(now, original) << budget;
      }
      // A stop inside the journal's header leaves a journal that is set aside, the archive untouched.
      if (recovery.Result == TRecoveryResult::SetAside) {
        EXPECT_EQ(now, original) << budget;
      } else {
        EXPECT_EQ(recovery.Result, journal_left ? TRecoveryResult::RolledBack : TRecoveryResult::NoJournal) << budget;
      }
    }
    EXPECT_EQ(lost, 0) << "of " << reference.changes << " stopping points";
    std::printf("KZP update, %s: %llu stopping points tried, %d archives lost\n", disk_full ? "disk full" : "stopped",
                static_cast<unsigned long long>(reference.changes), lost);
  }
}

}  // namespace
}  // namespace setup

namespace setup {
namespace {

const std::string kVfs = "C:\\Games\\world.vfs";

// A VFS archive with a folder of three files and a file at the root, saved with its index.
void MakeVfs(TArchiveFileSystem& files) {
  TVFSGeometry g;
  g.BlockSize = 512;
  g.BlockCount = 96;
  g.RootSlots = 8;
  ASSERT_TRUE(TVFSFile::Create(kVfs, g, files));
  TVFSFile file(files);
  ASSERT_TRUE(file.Open(kVfs, true)) << file.ErrorText();
  file.Today = [] { return testing::kTestDate; };
  for (int i = 0; i < 3; ++i) file.Tree().AddFile("Maps\\m" + std::to_string(i) + ".map", Pattern(700, 30 + i));
  file.Tree().AddFile("readme.txt", Pattern(100, 40));
  file.Save(false);
}

// Replaces a file by a larger one, adds a file in new folders and fills "Maps" until its table
// outgrows its block and moves; false with the error when the update stopped.
bool UpdateVfs(TArchiveFileSystem& files, size_t held_limit, std::string& error) {
  try {
    TVFSFile file(files);
    file.HeldWriteLimit = held_limit;
    if (!file.Open(kVfs, true)) {
      error = file.ErrorText();
      return false;
    }
    file.Today = [] { return testing::kTestDate; };
    file.Tree().AddFile("Maps\\m1.map", Pattern(2000, 50));
    file.Tree().AddFile("Sound\\Music\\theme.ogg", Pattern(1500, 51));
    for (int i = 0; i < 4; ++i) file.Tree().AddFile("Maps\\new" + std::to_string(i) + ".map", Pattern(300, 52 + i));
    file.Save(false);
    return true;
  } catch (const ESetupError& e) {
    error = e.what();
    return false;
  }
}

// Stops a VFS update after every change in turn (or fills the disk at every write in turn) and
// opens the archive as the next run would: archive and index must both be as before or both
// as after. Returns the stopping points tried.
uint64_t SweepVfsUpdate(size_t held_limit, bool disk_full) {
  TStoppingFileSystem reference;
  MakeVfs(reference);
  const TBytes original = reference.Bytes(kVfs);
  const TBytes original_index = reference.Bytes(HashFilePath(kVfs));
  reference.disk_full = disk_full;
  std::string error;
  EXPECT_TRUE(UpdateVfs(reference, held_limit, error)) << error;
  const TBytes updated = reference.Bytes(kVfs);
  const TBytes updated_index = reference.Bytes(HashFilePath(kVfs));
  EXPECT_FALSE(reference.Exists(JournalPath(kVfs)));
  EXPECT_FALSE(reference.Exists(JournalPath(HashFilePath(kVfs))));
  {
    TVFSFile check(reference);
    EXPECT_TRUE(check.Open(kVfs, true, {}, true));
    EXPECT_EQ(check.Tree().Nodes().size(), 12u);  // 3 folders, 9 files
  }

  int lost = 0;
  for (uint64_t budget = 0; budget < reference.changes; ++budget) {
    TStoppingFileSystem files;
    MakeVfs(files);
    files.budget = budget;
    files.disk_full = disk_full;
    // Stopped after the commit, the update has done its work (a left-over index journal is
    // removed by the next opening).
    const bool done = UpdateVfs(files, held_limit, error);
    if (disk_full) {
      EXPECT_FALSE(done) << budget;
      EXPECT_NE(error.find("No space left on device"), std::string::npos) << budget << ": " << error;
    }
    files.budget = UINT64_MAX;
    files.disk_full = false;
    const TRecovery recovery = RecoverVfsArchive(files, kVfs);
    EXPECT_NE(recovery.Result, TRecoveryResult::Failed) << budget << ": " << recovery.Message;
    const TBytes now = files.Bytes(kVfs);
    const TBytes index = files.BytesOr(HashFilePath(kVfs), "absent");
    const bool as_before = now == original && index == original_index;
    const bool as_after = now == updated && index == updated_index;
    if (!as_before && !as_after) ++lost;
    EXPECT_TRUE(as_before || as_after) << budget;
    // A full disk never gets as far as the commit.
    if (disk_full) {
      EXPECT_TRUE(as_before) << budget;
    }
    EXPECT_FALSE(files.Exists(JournalPath(kVfs)) || files.Exists(JournalPath(HashFilePath(kVfs)))) << budget;
  }
  EXPECT_EQ(lost, 0) << "of " << reference.changes << " stopping points";
  std::printf("VFS update, held limit %zu, %s: %llu stopping points tried, %d archives lost\n", held_limit,
              disk_full ? "disk full" : "stopped", static_cast<unsigned long long>(reference.changes), lost);
  return reference.changes;
}

TEST(RollbackJournal, AVfsUpdateStoppedAfterAnyChangeLeavesTheOriginalOrTheUpdate) {
  // Held writes reach the archive at the save, or in many small batches on the way.
  EXPECT_GT(SweepVfsUpdate(TJournaledFile::kDefaultHeldLimit, false), 20u);
  EXPECT_GT(SweepVfsUpdate(600, false), 60u);
}

TEST(RollbackJournal, AVfsUpdateOnAFullDiskStopsWithTheSystemsWordsAndLeavesTheOriginal) {
  SweepVfsUpdate(TJournaledFile::kDefaultHeldLimit, true);
  SweepVfsUpdate(600, true);
}

}  // namespace
}  // namespace setup

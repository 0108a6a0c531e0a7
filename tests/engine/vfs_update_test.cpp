// "vfsupdate": a setup package group written into an archive of the install folder, the
// archive left open between updates, the missing archive, and failures on the way.
#include "engine/vfs_update.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "archives/vfs_check.h"
#include "archives/vfs_hash_index.h"
#include "core/error.h"
#include "core/deflate.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "test_host.h"
#include "vfs_fixtures.h"

namespace setup {
namespace {

using namespace setup::testing;

struct Item {
  std::string Name;
  TBytes Data;
  uint16_t Group = 1;
};

class VfsUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    auto language = std::make_unique<TLanguage>();
    language->Strings = {{19, u"Adding <%FNUM%> of <%FTOTAL%> to <%KZPNAME%>"},
                         {20, u"Saving <%KZPNAME%>"},
                         {29, u"Opening <%KZPNAME%>"}};
    saved_current_ = Languages().Current;
    Languages().Tables.push_back(std::move(language));
    Languages().Current = static_cast<int32_t>(Languages().Tables.size() - 1);
    saved_install_dir_ = Globals().SetupInfo.InstallDir;
    // The archive files take "\" as a separator on Linux too.
    Globals().SetupInfo.InstallDir = ScratchPath("install");
    std::filesystem::create_directories(Globals().SetupInfo.InstallDir);
    progress_.SetStatusText = [this](const std::u16string& text) { statuses_.push_back(text); };
    progress_.StepProgress = [this](bool publish) {
      ++steps_;
      published_.push_back(publish);
    };
  }

  void TearDown() override {
    try {
      SaveAndCloseVfsArchive({});
    } catch (const std::exception&) {
    }
    Globals().Package.reset();
    Globals().SetupInfo.InstallDir = saved_install_dir_;
    Languages().Tables.pop_back();
    Languages().Current = saved_current_;
  }

  // The archive as the update finds it: install folder + "\" + name ("/" here).
  std::string Archive(const std::string& name, uint32_t block_size = 512, uint32_t blocks = 512, uint32_t root_slots = 8) {
    return NewArchive("install/" + name, block_size, blocks, root_slots);
  }

  void Package(const std::vector<Item>& items) {
    const std::string path = ScratchPath("update.pak");
    {
      TPak pak(path, pmCreate);
      for (const Item& it : items) {
        const int i = pak.AddEntry(it.Name, "", it.Group);
        if (it.Data.empty()) {
          const std::string empty = ScratchPath("empty-entry.bin");
          WriteFile(empty, {});
          pak.Directory()[i].SourcePath = empty;
          ASSERT_TRUE(pak.StoreFromFile(i));
        } else {
          ASSERT_TRUE(pak.StoreFromMemory(i, it.Data.data(), static_cast<uint32_t>(it.Data.size())));
        }
      }
      ASSERT_TRUE(pak.WriteDirectory());
    }
    Globals().Package = std::make_unique<TPak>(path, pmRead);
    Globals().Package->ReadDirectory();
  }

  TArchiveProgress progress_;
  std::vector<std::u16string> statuses_;
  int steps_ = 0;
  std::vector<bool> published_;

 private:
  int32_t saved_current_ = -1;
  std::string saved_install_dir_;
};

TBytes ContentAt(const std::string& archive, const std::string& path) {
  TVFSFile file;
  EXPECT_TRUE(file.Open(archive, true, {}, true)) << file.ErrorText();
  const int32_t node = file.Tree().FindPath(path);
  if (node < 0) return {};
  TBytes content;
  EXPECT_TRUE(file.ReadContent(file.Tree().Node(node).Entry, content)) << file.ErrorText();
  return content;
}

TEST_F(VfsUpdate, TheGroupIsWrittenAndTheArchiveSavedAndClosedWhenAsked) {
  const std::string archive = Archive("game.vfs");
  const std::vector<Item> items = {
      {"Maps\\Europe\\town.map", TextBytes(3000)}, {"Docs\\Readme", TextBytes(10)}, {"big.dat", TextBytes(120000)},
      {"Sound\\noise.wav", NoiseBytes(5000)},      {"empty.txt", {}},               {"other.txt", TextBytes(5), 2},
  };
  Package(items);
  EXPECT_EQ(VfsUpdateFromPackage(1, "game.vfs", true, progress_), TVfsUpdateResult::Updated);
  EXPECT_EQ(OpenVfsArchive(), nullptr);
  EXPECT_EQ(steps_, 5);
  // The gauge is refreshed when the share done before an entry grows: 20 %, 40 %, 60 %, 80 %.
  EXPECT_EQ(published_, (std::vector<bool>{false, true, true, true, true}));
  const std::vector<std::u16string> expected = {
      u"Opening game.vfs",       u"Adding 0 of 5 to game.vfs", u"Adding 0 of 5 to game.vfs", u"Adding 1 of 5 to game.vfs",
      u"Adding 2 of 5 to game.vfs", u"Adding 3 of 5 to game.vfs", u"Adding 4 of 5 to game.vfs", u"Saving game.vfs",
  };
  EXPECT_EQ(statuses_, expected);
  EXPECT_EQ(Problems(archive), "");
  EXPECT_EQ(ContentAt(archive, "Maps\\Europe\\town.map"), TextBytes(3000));
  EXPECT_EQ(ContentAt(archive, "Readme"), TextBytes(10));
  EXPECT_EQ(ContentAt(archive, "big.dat"), TextBytes(120000));
  EXPECT_EQ(ContentAt(archive, "Sound\\noise.wav"), NoiseBytes(5000));
  TVFSFile file;
  ASSERT_TRUE(file.Open(archive, true, {}, true));
  EXPECT_GE(file.Tree().FindPath("empty.txt"), 0);
  EXPECT_LT(file.Tree().FindPath("other.txt"), 0);
  TVFSHashFile ht;
  ASSERT_TRUE(ht.Load(HashFilePath(archive)));
  EXPECT_EQ(ht.Records.size(), 5u);
}

TEST_F(VfsUpdate, AMissingArchiveIsShownAndReportedAndNothingIsOpened) {
  TRecordingHost host;
  Package({{"a.txt", TextBytes(5)}});
  EXPECT_EQ(VfsUpdateFromPackage(1, "nothere.vfs", true, progress_), TVfsUpdateResult::ArchiveMissing);
  ASSERT_EQ(host.Boxes.size(), 1u);
  EXPECT_EQ(host.Boxes[0].Text, "Error: Unable to find <nothere.vfs>");
  EXPECT_EQ(host.Boxes[0].Caption, "VFS Error");
  EXPECT_EQ(OpenVfsArchive(), nullptr);
  EXPECT_TRUE(statuses_.empty());
  EXPECT_EQ(steps_, 0);
}

TEST_F(VfsUpdate, AnEmptyGroupDoesNothingEvenForAMissingArchive) {
  TRecordingHost host;
  Package({{"a.txt", TextBytes(5), 2}});
  EXPECT_EQ(VfsUpdateFromPackage(1, "nothere.vfs", true, progress_), TVfsUpdateResult::NothingToDo);
  EXPECT_TRUE(host.Boxes.empty());
  Globals().Package.reset();
  EXPECT_EQ(VfsUpdateFromPackage(1, "nothere.vfs", true, progress_), TVfsUpdateResult::NothingToDo);
}

TEST_F(VfsUpdate, AnArchiveLeftOpenIsSavedAndClosedByTheNextUpdate) {
  TRecordingHost host;
  const std::string first = Archive("first.vfs");
  const std::string second = Archive("second.vfs");
  Package({{"Data\\a.txt", TextBytes(100), 1}, {"b.txt", TextBytes(200), 2}});
  EXPECT_EQ(VfsUpdateFromPackage(1, "first.vfs", false, progress_), TVfsUpdateResult::Updated);
  ASSERT_NE(OpenVfsArchive(), nullptr);
  EXPECT_EQ(OpenVfsArchiveName(), "first.vfs");
  // Not saved yet: on the disk the archive is still the one before the update, without index.
  EXPECT_TRUE(CheckVfsArchive(first).Sound());
  EXPECT_TRUE(ContentAt(first, "Data\\a.txt").empty());
  EXPECT_FALSE(NativeArchiveFileSystem().Exists(HashFilePath(first)));

  // A missing archive leaves the open one as it is.
  EXPECT_EQ(VfsUpdateFromPackage(2, "missing.vfs", true, progress_), TVfsUpdateResult::ArchiveMissing);
  EXPECT_EQ(OpenVfsArchiveName(), "first.vfs");

  statuses_.clear();
  EXPECT_EQ(VfsUpdateFromPackage(2, "second.vfs", true, progress_), TVfsUpdateResult::Updated);
  ASSERT_GE(statuses_.size(), 2u);
  EXPECT_EQ(statuses_[0], u"Saving first.vfs");
  EXPECT_EQ(statuses_[1], u"Opening second.vfs");
  EXPECT_EQ(OpenVfsArchive(), nullptr);
  EXPECT_EQ(Problems(first), "");
  EXPECT_EQ(Problems(second), "");
  EXPECT_EQ(ContentAt(first, "Data\\a.txt"), TextBytes(100));
  EXPECT_EQ(ContentAt(second, "b.txt"), TextBytes(200));

  // The end of an install can close what the last update left open.
  EXPECT_EQ(VfsUpdateFromPackage(1, "second.vfs", false, progress_), TVfsUpdateResult::Updated);
  SaveAndCloseVfsArchive(progress_);
  EXPECT_EQ(OpenVfsArchive(), nullptr);
  EXPECT_EQ(Problems(second), "");
}

TEST_F(VfsUpdate, AFailureOnTheWayStillSavesAndClosesWhenAskedAndPassesOn) {
  const std::string archive = Archive("one-slot.vfs", 512, 64, 1);
  Package({{"a.txt", TextBytes(100)}, {"b.txt", TextBytes(100)}});
  try {
    VfsUpdateFromPackage(1, "one-slot.vfs", true, progress_);
    FAIL() << "no error raised";
  } catch (const ESetupError& e) {
    EXPECT_STREQ(e.what(), "CreateNewFileDir: ROOT Result = Cardinal(-1)");
  }
  EXPECT_EQ(OpenVfsArchive(), nullptr);
  EXPECT_EQ(statuses_.back(), u"Saving one-slot.vfs");
  EXPECT_EQ(steps_, 1);
  EXPECT_EQ(Problems(archive), "");
  EXPECT_EQ(ContentAt(archive, "a.txt"), TextBytes(100));

  // Without the close flag the archive stays open after the error.
  EXPECT_THROW(VfsUpdateFromPackage(1, "one-slot.vfs", false, progress_), ESetupError);
  EXPECT_NE(OpenVfsArchive(), nullptr);
}

TEST_F(VfsUpdate, AnInterruptedChangeIsUndoneFirstAndAJournalThatCannotBeTrustedIsSetAsideWithAWarning) {
  TRecordingHost host;
  const std::string archive = Archive("stopped.vfs");
  {
    // A change that reached the archive but was never saved: what a killed setup leaves.
    TVFSFile file;
    file.HeldWriteLimit = 1;
    ASSERT_TRUE(file.Open(archive, true)) << file.ErrorText();
    file.Tree().AddFile("Data\\left.txt", TextBytes(700));
  }
  ASSERT_TRUE(NativeArchiveFileSystem().Exists(JournalPath(archive)));
  Package({{"Data\\a.txt", TextBytes(100)}});
  EXPECT_EQ(VfsUpdateFromPackage(1, "stopped.vfs", true, progress_), TVfsUpdateResult::Updated);
  EXPECT_TRUE(host.Boxes.empty());
  EXPECT_EQ(Problems(archive), "");
  EXPECT_EQ(ContentAt(archive, "Data\\a.txt"), TextBytes(100));
  EXPECT_TRUE(ContentAt(archive, "Data\\left.txt").empty());

  WriteFile(JournalPath(archive), TextBytes(40));  // no journal header
  EXPECT_EQ(VfsUpdateFromPackage(1, "stopped.vfs", true, progress_), TVfsUpdateResult::Updated);
  ASSERT_EQ(host.Boxes.size(), 1u);
  EXPECT_EQ(host.Boxes[0].Caption, "Warning");
  EXPECT_NE(host.Boxes[0].Text.find("nothing was restored"), std::string::npos) << host.Boxes[0].Text;
  EXPECT_TRUE(NativeArchiveFileSystem().Exists(JournalPath(archive) + ".damaged"));
  EXPECT_EQ(Problems(archive), "");
}

TEST_F(VfsUpdate, AnArchiveThatIsNotSoundIsAnError) {
  const std::string path = ScratchPath("install/broken.vfs");
  WriteFile(path, TextBytes(100));
  Package({{"a.txt", TextBytes(5)}});
  try {
    VfsUpdateFromPackage(1, "broken.vfs", true, progress_);
    FAIL() << "no error raised";
  } catch (const ESetupError& e) {
    EXPECT_NE(std::string(e.what()).find("broken.vfs"), std::string::npos) << e.what();
  }
  EXPECT_EQ(OpenVfsArchive(), nullptr);
}

TEST_F(VfsUpdate, AReadOnlyArchiveIsMadeWritable) {
  const std::string archive = Archive("readonly.vfs");
  ASSERT_EQ(chmod(archive.c_str(), 0444), 0);
  Package({{"a.txt", TextBytes(5)}});
  EXPECT_EQ(VfsUpdateFromPackage(1, "readonly.vfs", true, progress_), TVfsUpdateResult::Updated);
  struct stat st;
  ASSERT_EQ(stat(archive.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
  EXPECT_EQ(Problems(archive), "");
}

TEST_F(VfsUpdate, AnEntryThatDoesNotExtractIsRefusedNotWrittenEmpty) {
  TRecordingHost host;
  const std::string archive = Archive("bad-entry.vfs");
  const std::string path = ScratchPath("bad-entry.pak");
  {
    TPak pak(path, pmCreate);
    const int i = pak.AddEntry("a.txt", "", 1);
    const TBytes fifty = TextBytes(50);
    TBytes stored = Deflate(fifty.data(), fifty.size());
    TPakEntry& e = pak.Directory()[i];
    PackEntry(e, fifty.data(), 50);
    e.Size = 100;  // the stream gives 50
    ASSERT_TRUE(pak.StorePacked(i, stored));
    ASSERT_TRUE(pak.WriteDirectory());
  }
  Globals().Package = std::make_unique<TPak>(path, pmRead);
  Globals().Package->ReadDirectory();
  try {
    VfsUpdateFromPackage(1, "bad-entry.vfs", true, progress_);
    FAIL() << "no error raised";
  } catch (const ESetupError& e) {
    EXPECT_NE(std::string(e.what()).find("'a.txt' of 100 bytes could not be read"), std::string::npos) << e.what();
  }
  TVFSFile file;
  ASSERT_TRUE(file.Open(archive, true, {}, true));
  EXPECT_LT(file.Tree().FindPath("a.txt"), 0);
}

}  // namespace
TEST(PercentGate, RefreshesOncePerWholePercentOfTheEntriesDone) {
  for (int64_t total : {1, 7, 100, 1000, 2999}) {
    TPercentGate gate(total);
    int refreshes = 0;
    for (int64_t done = 0; done < total; ++done) {
      if (gate.Refresh(done)) ++refreshes;
    }
    // Each whole percentage the entries reach, once: one per entry for up to 100 entries, then
    // one per percent up to the last entry's share.
    const int64_t reachable = std::min<int64_t>(total - 1, (total - 1) * 100 / total);
    EXPECT_EQ(refreshes, reachable) << total;
  }
  EXPECT_FALSE(TPercentGate(0).Refresh(0));
}

}  // namespace setup

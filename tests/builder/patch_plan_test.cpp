#include "builder/patch_plan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "builder/compiler.h"
#include "builder/package_writer.h"
#include "builder/script.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "delta/difference.h"
#include "delta/patch_manifest.h"
#include "fake_platform.h"
#include "test_files.h"
#include "test_host.h"

namespace setup::builder {
namespace {

namespace fs = std::filesystem;
using delta::TPatchAction;

// Text that deflates to about a quarter: lines that differ from each other.
TBytes Lines(size_t count, uint32_t salt = 0) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += "record " + std::to_string(i) + " holds " + std::to_string((i * 7919 + salt) % 100003) + "\r\n";
  }
  return TBytes(text.begin(), text.end());
}

delta::TFileIdentity IdentityOf(const fs::path& path) {
  delta::TFileIdentity identity;
  EXPECT_TRUE(delta::IdentifyFile(path.string(), identity)) << path;
  return identity;
}

class MemoryOld : public delta::TOldFileReader {
 public:
  explicit MemoryOld(TBytes bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t ReadAt(uint64_t position, void* buffer, size_t n) override {
    if (position >= bytes_.size()) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, bytes_.size() - position));
    std::memcpy(buffer, bytes_.data() + position, n);
    return n;
  }

 private:
  TBytes bytes_;
};

class MemoryNew : public delta::TNewFileWriter {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    Bytes.insert(Bytes.end(), data, data + size);
    return true;
  }
  TBytes Bytes;
};

// Version 1 and version 2 of a small game below a script folder:
//   same.txt          the same in both
//   Readme.TXT        the same bytes, named readme.txt in version 2
//   gone.txt          only in version 1
//   new.txt           only in version 2
//   data\Level.dat    lines with a few changed: a difference (data\level.dat in version 2)
//   noise.bin         other noise of the same size: whole, its difference would not be smaller
//   flip.bin          one byte changed, same size
//   cleared.cfg       emptied
class PatchPlan : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testing::ScratchFolder() /
            ("patch-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(root_);
    TBytes level = Lines(20000);
    TBytes level2 = level;
    for (size_t at : {1000u, 150000u, 300000u}) level2[at] ^= 0x20;
    TBytes flip = Lines(3000, 5);
    TBytes flip2 = flip;
    flip2[flip2.size() / 2] ^= 1;
    Put("v1/same.txt", Lines(100, 1));
    Put("v2/same.txt", Lines(100, 1));
    Put("v1/Readme.TXT", Lines(50, 2));
    Put("v2/readme.txt", Lines(50, 2));
    Put("v1/gone.txt", Lines(10, 3));
    Put("v2/new.txt", Lines(40, 4));
    Put("v1/data/Level.dat", level);
    Put("v2/data/level.dat", level2);
    Put("v1/noise.bin", testing::NoiseBytes(60000, 1));
    Put("v2/noise.bin", testing::NoiseBytes(60000, 2));
    Put("v1/flip.bin", flip);
    Put("v2/flip.bin", flip2);
    Put("v1/cleared.cfg", Lines(5, 6));
    Put("v2/cleared.cfg", {});
    fs::create_directories(root_ / "temp");
  }

  void Put(const std::string& name, const TBytes& bytes) {
    fs::create_directories((root_ / name).parent_path());
    testing::WriteFile((root_ / name).string(), bytes);
  }

  TCompiler Compile(const std::string& text) {
    TCompiler c({root_.string(), (root_ / "languages").string(), (root_ / "layout").string(), ""});
    c.Compile(ParseScript(text));
    return c;
  }

  std::vector<TPatchPlan> Plan(const TCompiler& c, int threads = 2) {
    TPlanOptions options;
    options.Threads = threads;
    options.TemporaryFolder = (root_ / "temp").string();
    return PlanPatches(c.Patches, options);
  }

  // The whole build: compile, plan into a temporary folder, write; the setup's bytes.
  TBytes Build(const std::string& script, int threads, const std::string& output) {
    TCompiler c = Compile(script);
    TTemporaryFolder temporary(root_ / (output + ".differences"));
    TPlanOptions plan_options;
    plan_options.Threads = threads;
    plan_options.TemporaryFolder = temporary.Path().string();
    for (const TPatchPlan& plan : PlanPatches(c.Patches, plan_options)) c.TakePatchPlan(plan);
    TWriteOptions options;
    options.Output = (root_ / output).string();
    options.Threads = threads;
    options.HoldsDifferences = true;
    WriteSetup(options, c.PackageItems());
    return testing::ReadFile(options.Output);
  }

  int ErrorLineOf(const std::string& script, std::string* text) {
    try {
      Compile(script);
    } catch (const TBuildError& e) {
      *text = e.what();
      return e.Line;
    }
    *text = "no error";
    return 0;
  }

  fs::path root_;
};

TEST_F(PatchPlan, TreesAreListedBreadthFirstInTheFileListsOrder) {
  Put("tree/b.txt", {1});
  Put("tree/A.txt", {2});
  Put("tree/sub/z.txt", {3});
  Put("tree/Sub2/deep/y.txt", {4});
  Put("tree/c.txt", {});
  const std::vector<TPatchTreeFile> files = ListPatchTree(root_ / "tree", 7);
  std::vector<std::string> names;
  for (const TPatchTreeFile& f : files) names.push_back(f.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"A.txt", "b.txt", "c.txt", "sub\\z.txt", "Sub2\\deep\\y.txt"}));
  EXPECT_EQ(files[0].Size, 1u);
  EXPECT_EQ(files[2].Size, 0u);
  EXPECT_EQ(files[3].Path, (root_ / "tree" / "sub" / "z.txt").string());
}

TEST_F(PatchPlan, FoldersThatAreMissingFilesOrCaseTwinsAreRefusedAtTheirLine) {
  std::string text;
  EXPECT_EQ(ErrorLineOf("name x\npatch v2 nowhere\n", &text), 2);
  EXPECT_EQ(text, "patch folder not found: " + (root_ / "nowhere").string());
  EXPECT_EQ(ErrorLineOf("patch nowhere v1\n", &text), 1);
  EXPECT_EQ(ErrorLineOf("\npatch v2\\same.txt v1\n", &text), 2);
  EXPECT_EQ(text, "patch takes folders, and " + (root_ / "v2" / "same.txt").string() + " is a file");
  EXPECT_EQ(ErrorLineOf("patch v2\n", &text), 1);  // one folder is not enough

  // Two names one file on Windows, in a sub-folder, and a file beside a folder of its name.
  Put("v2/data/LEVEL.DAT", {1});
  EXPECT_EQ(ErrorLineOf("name x\n\npatch v2 v1\n", &text), 3);
  EXPECT_NE(text.find("\"LEVEL.DAT\" and \"level.dat\""), std::string::npos) << text;
  EXPECT_NE(text.find("differ only in letter case"), std::string::npos) << text;
  fs::remove(root_ / "v2/data/LEVEL.DAT");
  Put("v1/DATA", {1});
  EXPECT_EQ(ErrorLineOf("patch v2 v1\n", &text), 1);
  EXPECT_NE(text.find("\"DATA\" and \"data\""), std::string::npos) << text;
  fs::remove(root_ / "v1/DATA");
  Put("v2/data/what?.dat", {1});
  EXPECT_EQ(ErrorLineOf("patch v2 v1\n", &text), 1);
  EXPECT_EQ(text, "\"what?.dat\" in " + (root_ / "v2" / "data").string() + " cannot be a file name on Windows");
  fs::remove(root_ / "v2/data/what?.dat");
  // Letters beyond ASCII fold as well.
  Put("v2/ÄRGER.txt", {1});
  Put("v2/ärger.txt", {2});
  EXPECT_EQ(ErrorLineOf("patch v2 v1\n", &text), 1);
  EXPECT_NE(text.find("differ only in letter case"), std::string::npos) << text;
}

TEST_F(PatchPlan, ThePatchLineOwnsAGroupAndIsPlannedBeforeItsEntriesExist) {
  TCompiler c = Compile("file v1\npatch v2 v1\npatch v2 v1 \"$INSTDIR\\copy\"\nfile v2\n");
  const auto& l = c.CompLines.Lines;
  EXPECT_EQ(l[1].Params, (std::vector<std::string>{"v2", "v1", "2"}));
  EXPECT_EQ(l[2].Params, (std::vector<std::string>{"v2", "v1", "$INSTDIR\\copy", "3"}));
  EXPECT_EQ(l[3].Params.back(), "4");
  ASSERT_EQ(c.Patches.size(), 2u);
  EXPECT_EQ(c.Patches[0].Line, 2);
  EXPECT_EQ(c.Patches[0].Group, 2);
  EXPECT_EQ(c.Patches[1].Group, 3);
  EXPECT_EQ(c.Patches[0].NewFiles.size(), 7u);
  EXPECT_EQ(c.Patches[0].OldFiles.size(), 7u);
  try {
    c.PackageItems();
    FAIL() << "a setup was made of a patch line without its plan";
  } catch (const TBuildError& e) {
    EXPECT_EQ(e.Line, 2);
  }
}

TEST_F(PatchPlan, EachFileIsUnchangedAddedRemovedOrChangedAsADifferenceOrWhole) {
  const TCompiler c = Compile("patch v2 v1\n");
  const std::vector<TPatchPlan> plans = Plan(c);
  ASSERT_EQ(plans.size(), 1u);
  const TPatchPlan& plan = plans[0];
  EXPECT_EQ(plan.Line, 1);
  EXPECT_EQ(plan.Group, 1);
  // same.txt and Readme.TXT (matched as Windows matches names).
  EXPECT_EQ(plan.UnchangedFiles, 2u);
  EXPECT_EQ(plan.UnchangedBytes, Lines(100, 1).size() + Lines(50, 2).size());

  std::vector<std::pair<TPatchAction, std::string>> actions;
  for (const TPatchPlanItem& item : plan.Items) actions.emplace_back(item.Item.Action, item.Item.Name);
  // Removals first, then the new folder's walk order.
  EXPECT_EQ(actions,
            (std::vector<std::pair<TPatchAction, std::string>>{{TPatchAction::Remove, "gone.txt"},
                                                               {TPatchAction::Replace, "cleared.cfg"},
                                                               {TPatchAction::Difference, "flip.bin"},
                                                               {TPatchAction::Add, "new.txt"},
                                                               {TPatchAction::Replace, "noise.bin"},
                                                               {TPatchAction::Difference, "data\\level.dat"}}));
  ASSERT_EQ(plan.Items.size(), 6u);
  const TPatchPlanItem& gone = plan.Items[0];
  EXPECT_EQ(gone.Item.Old, IdentityOf(root_ / "v1/gone.txt"));
  EXPECT_EQ(gone.Item.New, delta::TFileIdentity{});
  EXPECT_TRUE(gone.SourcePath.empty());

  const TPatchPlanItem& added = plan.Items[3];
  EXPECT_EQ(added.Item.New, IdentityOf(root_ / "v2/new.txt"));
  EXPECT_EQ(added.Item.Old, delta::TFileIdentity{});
  EXPECT_EQ(added.SourcePath, (root_ / "v2/new.txt").string());

  // A difference: both identities, kept in the temporary folder, smaller than the file packed.
  const TPatchPlanItem& level = plan.Items[5];
  EXPECT_EQ(level.Item.Old, IdentityOf(root_ / "v1/data/Level.dat"));
  EXPECT_EQ(level.Item.New, IdentityOf(root_ / "v2/data/level.dat"));
  EXPECT_EQ(level.Method, delta::TDifferenceMethod::Reference);
  EXPECT_EQ(fs::path(level.SourcePath).parent_path(), root_ / "temp");
  EXPECT_EQ(fs::file_size(level.SourcePath), level.DifferenceSize);
  EXPECT_LT(level.DifferenceSize,
            PackedWholeSize((root_ / "v2/data/level.dat").string(), level.Item.New.Size, kAutomaticLevel));
  const TBytes blob = testing::ReadFile(level.SourcePath);
  delta::TDifferenceHeader header;
  ASSERT_TRUE(delta::ReadDifferenceHeader(blob.data(), blob.size(), header));
  EXPECT_EQ(header.Old, level.Item.Old);
  EXPECT_EQ(header.New, level.Item.New);

  // Whole: noise whose difference is not smaller, and a file emptied (nothing is smaller than
  // nothing); their differences are gone, and the measured size is what the writer stores.
  for (const TPatchPlanItem* whole : {&plan.Items[1], &plan.Items[4]}) {
    EXPECT_EQ(whole->SourcePath, (root_ / "v2" / whole->Item.Name).string());
    EXPECT_GE(whole->DifferenceSize, whole->WholeSize);
    EXPECT_EQ(whole->Item.Old, IdentityOf(root_ / "v1" / whole->Item.Name));
    EXPECT_EQ(whole->Item.New, IdentityOf(root_ / "v2" / whole->Item.Name));
  }
  EXPECT_EQ(plan.Items[4].WholeSize, 60000u);
  EXPECT_EQ(plan.Items[1].WholeSize, 0u);
  // Only the kept differences are left in the temporary folder.
  size_t left = 0;
  for (const auto& item : fs::directory_iterator(root_ / "temp")) left += item.is_regular_file() ? 1 : 0;
  EXPECT_EQ(left, 2u);
}

TEST_F(PatchPlan, IdenticalFoldersPlanNothingAndAFreshFolderAddsEverything) {
  Put("empty/.keep", {});
  fs::remove(root_ / "empty/.keep");
  const TCompiler c = Compile("patch v1 v1\npatch v2 empty\npatch empty v1\n");
  const std::vector<TPatchPlan> plans = Plan(c);
  ASSERT_EQ(plans.size(), 3u);
  EXPECT_TRUE(plans[0].Items.empty());
  EXPECT_EQ(plans[0].UnchangedFiles, 7u);
  EXPECT_EQ(plans[1].Items.size(), 7u);
  for (const TPatchPlanItem& item : plans[1].Items) EXPECT_EQ(item.Item.Action, TPatchAction::Add);
  EXPECT_EQ(plans[2].Items.size(), 7u);
  for (const TPatchPlanItem& item : plans[2].Items) EXPECT_EQ(item.Item.Action, TPatchAction::Remove);
}

// The decision "difference or whole" is made against exactly what the writer would store.
TEST_F(PatchPlan, PackedWholeSizeIsWhatTheWriterStores) {
  Put("whole/text.txt", Lines(30000, 9));
  Put("whole/noise.bin", testing::NoiseBytes(100000, 4));
  Put("whole/runs.bin", testing::TextBytes(5 << 20));
  Put("whole/empty.txt", {});
  const TCompiler c = Compile("file whole\n");
  for (int level : {kAutomaticLevel, 1, 9, 12}) {
    TWriteOptions options;
    options.Output = (root_ / ("whole" + std::to_string(level) + ".bin")).string();
    options.Level = level;
    WriteSetup(options, c.PackageItems());
    TPak pak(options.Output, pmRead);
    for (const char* name : {"text.txt", "noise.bin", "runs.bin", "empty.txt"}) {
      const int index = pak.IndexOfName(name, 1);
      ASSERT_GE(index, 0) << name;
      const fs::path path = root_ / "whole" / name;
      EXPECT_EQ(PackedWholeSize(path.string(), fs::file_size(path), level), pak.Directory()[index].StoredLength())
          << name << " at level " << level;
    }
  }
  // From the large-entry limit on a file is stored as it is.
  EXPECT_EQ(PackedWholeSize("never read", kLargeEntryLimit, kAutomaticLevel), kLargeEntryLimit);
  EXPECT_THROW(PackedWholeSize((root_ / "nowhere").string(), 10, 9), TBuildError);
}

// The setup holds the manifest in group 0 and one entry per item that brings bytes; the
// differences go in plain and rebuild the new files from the old ones; any -j gives the same
// bytes, and the start-up sees a patch group.
TEST_F(PatchPlan, TheSetupHoldsTheManifestAndTheEntriesTheSameForAnyThreadCount) {
  const std::string script = "outfile p1.exe\ninstalldir C:\\Game\nfile v2\\same.txt\npatch v2 v1\n";
  const TBytes one = Build(script, 1, "p1.exe");
  EXPECT_EQ(Build(script, 4, "p4.exe"), one);
  EXPECT_FALSE(fs::exists(root_ / "p1.exe.differences"));
  EXPECT_FALSE(fs::exists(root_ / "p4.exe.differences"));

  const std::string setup_path = (root_ / "p1.exe").string();
  TPak pak(setup_path, pmRead);
  EXPECT_TRUE(pak.HoldsDifferences());
  EXPECT_EQ(pak.Trailer().Version, kPakVersion2);
  uint64_t manifest_size = 0;
  const TBytes manifest_bytes = pak.FindByName("PATCH-2", 0, &manifest_size);
  delta::TPatchManifest manifest;
  std::string error;
  ASSERT_TRUE(delta::ReadPatchManifest(manifest_bytes.data(), manifest_bytes.size(), manifest, &error)) << error;
  ASSERT_EQ(manifest.Items.size(), 6u);
  EXPECT_EQ(manifest.Items[0].Action, TPatchAction::Remove);
  EXPECT_EQ(manifest.Items[5].Name, "data\\level.dat");

  // Group 2 holds the five items that bring bytes, in manifest order.
  std::vector<std::string> names;
  pak.ForEachInGroup(2, [&](int i) { names.push_back(pak.Directory()[static_cast<size_t>(i)].Name); });
  EXPECT_EQ(names, (std::vector<std::string>{"cleared.cfg", "flip.bin", "new.txt", "noise.bin", "data\\level.dat"}));
  for (const delta::TPatchItem& item : manifest.Items) {
    if (item.Action != TPatchAction::Difference) continue;
    const int index = pak.IndexOfName(item.Name, 2);
    ASSERT_GE(index, 0) << item.Name;
    EXPECT_EQ(pak.Directory()[static_cast<size_t>(index)].PackedSize, 0u) << item.Name << " was deflated again";
    const TBytes blob = pak.Extract(index);
    std::string old_name = item.Name == "data\\level.dat" ? "v1/data/Level.dat" : "v1/" + item.Name;
    MemoryOld old_file(testing::ReadFile((root_ / old_name).string()));
    MemoryNew new_file;
    const delta::TApplyResult applied = delta::ApplyDifference(blob.data(), blob.size(), old_file, new_file);
    EXPECT_TRUE(applied) << item.Name << ": " << applied.Message;
    std::string new_name = item.Name == "data\\level.dat" ? "v2/data/level.dat" : "v2/" + item.Name;
    EXPECT_EQ(new_file.Bytes, testing::ReadFile((root_ / new_name).string())) << item.Name;
  }

  Globals() = TSetupGlobals();
  testing::TRecordingHost host;
  testing::TFakePlatform platform;
  platform.ExePath = setup_path;
  EXPECT_EQ(RunSetup(platform, {}), 0);
  for (const auto& box : host.Boxes) ADD_FAILURE() << box.Caption << ": " << box.Text;
  EXPECT_EQ(Globals().State.ArchiveGroups, std::vector<uint8_t>({0, 0, 2}));
  Globals() = TSetupGlobals();
}

TEST_F(PatchPlan, AFileThatGoesAwayBeforePlanningFailsAtItsLineAndTheTemporaryFolderGoes) {
  TCompiler c = Compile("name x\npatch v2 v1\n");
  fs::remove(root_ / "v1" / "gone.txt");
  const fs::path temporary = root_ / "failed.differences";
  try {
    TTemporaryFolder folder(temporary);
    TPlanOptions options;
    options.Threads = 3;
    options.TemporaryFolder = folder.Path().string();
    PlanPatches(c.Patches, options);
    FAIL() << "planned without gone.txt";
  } catch (const TBuildError& e) {
    EXPECT_EQ(e.Line, 2);
    EXPECT_NE(std::string(e.what()).find("gone.txt"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(temporary));

  // A write that fails after planning leaves no temporary folder either.
  const TCompiler good = Compile("patch v2 v1\n");
  try {
    TTemporaryFolder folder(temporary);
    TPlanOptions options;
    options.TemporaryFolder = folder.Path().string();
    TCompiler compiler = good;
    for (const TPatchPlan& plan : PlanPatches(compiler.Patches, options)) compiler.TakePatchPlan(plan);
    EXPECT_FALSE(fs::is_empty(temporary));
    TWriteOptions write;
    write.Output = (root_ / "no folder" / "p.exe").string();
    WriteSetup(write, compiler.PackageItems());
    FAIL() << "wrote into a missing folder";
  } catch (const TBuildError&) {
  }
  EXPECT_FALSE(fs::exists(temporary));
}

TEST_F(PatchPlan, ATemporaryFolderLeftByAKilledBuildIsTakenOverOnlyWhenItHoldsDifferences) {
  const fs::path left = root_ / "left.differences";
  Put("left.differences/3.kzpd", {1, 2});
  {
    TTemporaryFolder folder(left);
    EXPECT_TRUE(fs::is_empty(left));
  }
  EXPECT_FALSE(fs::exists(left));
  Put("left.differences/notes.txt", {1});
  EXPECT_THROW(TTemporaryFolder folder(left), TBuildError);
  EXPECT_TRUE(fs::exists(left / "notes.txt"));
}

TEST(PatchSavings, OneLinePerPatchWithEveryWayOfStoring) {
  TPatchPlan plan;
  plan.Line = 12;
  plan.UnchangedFiles = 1204;
  plan.UnchangedBytes = 3100000000;
  auto item = [&](TPatchAction action, uint64_t size) {
    TPatchPlanItem i;
    i.Item.Action = action;
    i.Item.Name = "f" + std::to_string(plan.Items.size());
    if (action != TPatchAction::Remove) i.Item.New.Size = size;
    plan.Items.push_back(i);
  };
  item(TPatchAction::Remove, 0);
  item(TPatchAction::Add, 12000000);
  item(TPatchAction::Difference, 2900000000);
  item(TPatchAction::Replace, 1200000);
  item(TPatchAction::Difference, 0);
  EXPECT_EQ(PatchSavingsText(plan, {0, 4000000, 18000000, 400000, 900}),
            "patch (line 12): 1,204 unchanged (3.1 GB, nothing stored); 1 new (12.0 MB -> 4.0 MB); 3 changed: "
            "2 as differences (2.9 GB -> 18.0 MB), 1 whole (1.2 MB -> 400.0 KB); 1 removed");
  plan.Items.clear();
  plan.UnchangedFiles = 3;
  plan.UnchangedBytes = 999;
  EXPECT_EQ(PatchSavingsText(plan, {}),
            "patch (line 12): 3 unchanged (999 bytes, nothing stored); 0 new; 0 changed; 0 removed");
}

TEST(PatchSavings, StoredBytesAreFoundByGroupAndName) {
  TPatchPlan plan;
  plan.Group = 3;
  for (const auto& [action, name] : std::vector<std::pair<TPatchAction, std::string>>{
           {TPatchAction::Remove, "a"}, {TPatchAction::Add, "a"}, {TPatchAction::Difference, "b"}}) {
    TPatchPlanItem i;
    i.Item.Action = action;
    i.Item.Name = name;
    plan.Items.push_back(i);
  }
  std::vector<TPackageItem> items = {{"a", 1, "", ""}, {"a", 3, "", ""}, {"b", 3, "", ""}};
  EXPECT_EQ(StoredOfPlan(plan, items, {10, 20, 30}), (std::vector<uint64_t>{0, 20, 30}));
}

}  // namespace
}  // namespace setup::builder

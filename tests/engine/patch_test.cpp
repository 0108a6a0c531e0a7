// "patch" at run time against the fake system: an installed version brought to the next one
// from a package built here the way the builder builds it (whole files, differences made with
// the delta library, the group's manifest), the refusals that change nothing, the runs that
// are run again, the install log and the gauge.
#include "engine/patch_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "core/sha256.h"
#include "delta/difference.h"
#include "delta/patch_manifest.h"
#include "engine/commands.h"
#include "engine/file_commands.h"
#include "engine/interpreter.h"
#include "engine/run_log.h"
#include "engine/status_channel.h"
#include "engine/uninstall_list.h"
#include "engine_state.h"
#include "fake_system.h"
#include "test_host.h"

namespace setup {
namespace {

using delta::TFileIdentity;
using delta::TPatchAction;
using delta::TPatchItem;
using delta::TPatchManifest;

constexpr int kPatch = CommandNumberOf("patch"), kFile = CommandNumberOf("file");

// A version of the game: file names below its folder ("\" between folders) and their bytes.
using TVersion = std::map<std::string, std::string>;

TFileIdentity IdentityOf(const std::string& bytes) {
  TFileIdentity identity{bytes.size(), {}};
  const std::unique_ptr<TSha256> digest = NewSha256();
  digest->Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  digest->Final(identity.Sha256);
  return identity;
}

std::string HexPrefix(const std::string& bytes) { return Sha256Hex(IdentityOf(bytes).Sha256).substr(0, 16); }

// Noise of a given size; the same seed gives the same bytes.
std::string Noise(size_t size, uint32_t seed) {
  const TBytes bytes = testing::NoiseBytes(size, seed);
  return std::string(bytes.begin(), bytes.end());
}

class TStringWriter : public delta::TNewFileWriter {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    Bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  std::string Bytes;
};

// The difference that turns old_bytes into new_bytes, made by the delta library from files
// (by the method it chooses, or the one given).
std::string Difference(const std::string& old_bytes, const std::string& new_bytes,
                       std::optional<delta::TDifferenceMethod> method = std::nullopt) {
  const std::string old_path = testing::ScratchPath("patch-old.bin"), new_path = testing::ScratchPath("patch-new.bin");
  testing::WriteFile(old_path, TBytes(old_bytes.begin(), old_bytes.end()));
  testing::WriteFile(new_path, TBytes(new_bytes.begin(), new_bytes.end()));
  TStringWriter out;
  const delta::TEncodeResult result = method ? delta::EncodeDifference(old_path, new_path, out, *method)
                                             : delta::EncodeDifference(old_path, new_path, out);
  EXPECT_TRUE(result.Ok) << result.Error;
  return out.Bytes;
}

// The system, with what the run was showing each time it opened or replaced a file.
class TWatchedSystem : public testing::TFakeSystem {
 public:
  struct TMoment {
    std::string Call;  // "read", "write", "create" or "replace", and the path
    std::u16string Status;
    uint32_t Progress = 0;
  };
  std::unique_ptr<TFileStream> OpenFile(const std::string& path, TFileMode mode) override {
    const char* call = mode == TFileMode::Read ? "read " : mode == TFileMode::ReadWrite ? "write " : "create ";
    Note(call + path);
    if (mode != TFileMode::Read && ReadOnly.count(path)) return nullptr;
    return TFakeSystem::OpenFile(path, mode);
  }
  bool ReplaceFile(const std::string& from, const std::string& to) override {
    Note("replace " + to);
    return TFakeSystem::ReplaceFile(from, to);
  }
  std::vector<TMoment> Moments;
  std::set<std::string> ReadOnly;  // files that open for reading only (marked so, or held by a game)

 private:
  void Note(const std::string& call) {
    TMoment moment{call, Moments.empty() ? u"" : Moments.back().Status, Moments.empty() ? 0 : Moments.back().Progress};
    StatusChannel().TakeStatusText(moment.Status);
    StatusChannel().TakeProgress(moment.Progress);
    Moments.push_back(moment);
  }
};

class Patch : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ResetEngineState(true, &finish_text_);
    KnownFolders().Clear();  // the fake system's folders are new for every test
    SetRunLog(&log_);
  }
  void TearDown() override {
    SetRunLog(nullptr);
    testing::ClearEngineState();
  }

  // The package of a patch from old_version to new_version in group 1, as the builder makes it:
  // unchanged files nowhere, new ones whole, changed ones as differences (those named in whole
  // stored whole instead, those named in chunked made by the chunks method), removed ones in the
  // manifest only. alter may change an entry's bytes before they are stored. more entries
  // (name, group, bytes) go in after.
  void PatchPackage(const TVersion& old_version, const TVersion& new_version, const std::set<std::string>& whole = {},
                    const std::function<void(const std::string& name, std::string& bytes)>& alter = {},
                    const std::vector<std::tuple<std::string, uint16_t, std::string>>& more = {},
                    const std::set<std::string>& chunked = {}) {
    TPatchManifest manifest;
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& [name, bytes] : new_version) {
      const auto old = old_version.find(name);
      if (old != old_version.end() && old->second == bytes) continue;
      TPatchItem item;
      item.Name = name;
      item.New = IdentityOf(bytes);
      if (old == old_version.end()) {
        item.Action = TPatchAction::Add;
        entries.emplace_back(name, bytes);
      } else {
        item.Old = IdentityOf(old->second);
        item.Action = whole.count(name) ? TPatchAction::Replace : TPatchAction::Difference;
        const auto method = chunked.count(name) ? std::optional(delta::TDifferenceMethod::Chunks) : std::nullopt;
        entries.emplace_back(name, whole.count(name) ? bytes : Difference(old->second, bytes, method));
      }
      manifest.Items.push_back(item);
    }
    for (const auto& [name, bytes] : old_version) {
      if (new_version.count(name)) continue;
      manifest.Items.push_back({TPatchAction::Remove, name, IdentityOf(bytes), {}});
    }
    manifest_ = manifest;
    const std::string path = testing::ScratchPath("patch-package.bin");
    {
      TPak pak(path, pmCreate);
      auto store = [&](const std::string& name, uint16_t group, std::string bytes) {
        if (alter) alter(name, bytes);
        const int i = pak.AddEntry(name, "", group);
        pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
      };
      store("SetupInfo", 0, "x");
      store(delta::PatchManifestName(1), 0, delta::WritePatchManifest(manifest));
      for (const auto& [name, bytes] : entries) store(name, 1, bytes);
      for (const auto& [name, group, bytes] : more) store(name, group, bytes);
      pak.SetHoldsDifferences(true);
      pak.WriteDirectory();
    }
    Globals().Package = std::make_unique<TPak>(path, pmRead);
  }

  // The version installed in C:\Games\Demo, and what the folder holds.
  void Install(const TVersion& version) {
    for (const auto& [name, bytes] : version) testing::PutFile(system_, "C:\\Games\\Demo\\" + name, bytes);
  }
  TVersion Installed() {
    TVersion version;
    const std::filesystem::path root = system_.Map("C:\\Games\\Demo");
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
      if (item.is_directory()) continue;
      std::string name = std::filesystem::relative(item.path(), root).string();
      std::replace(name.begin(), name.end(), '/', '\\');
      const TBytes bytes = testing::ReadFile(item.path().string());
      version[name] = std::string(bytes.begin(), bytes.end());
    }
    return version;
  }

  void RunPatchLine(const std::vector<std::string>& params = {"new", "old", "1"}) {
    Interpreter().CurrentLine = -1;
    Interpreter().ScriptStopped = false;
    Globals().CompLines.Lines = {{kPatch, params, static_cast<int32_t>(params.size()), 0}};
    RunLines();
  }

  // The gauge's count, after one step more that publishes it.
  uint32_t Progress() {
    StatusChannel().StepProgress(true);
    uint32_t count = 0;
    StatusChannel().TakeProgress(count);
    return count;
  }

  bool Logged(const std::string& line) { return std::count(log_.Lines.begin(), log_.Lines.end(), line) > 0; }

  struct TMemoryLog : TRunLog {
    void Write(std::string_view line) override { Lines.emplace_back(line); }
    std::vector<std::string> Lines;
  };

  TWatchedSystem system_;
  testing::TRecordingHost host_;
  TMemoryLog log_;
  std::u16string finish_text_;
  TPatchManifest manifest_;
};

// Version 1 and 2 of a small game: a changed level (a difference), a changed picture stored
// whole, an unchanged readme, a removed file, a new file in a new folder and a new empty one.
// Four members of an archive, in an order; the chunks method finds them wherever they moved.
std::string Archive(const std::vector<int>& members) {
  std::string archive;
  for (const int m : members) archive += Noise(300000, 10 + static_cast<uint32_t>(m));
  return archive;
}

const TVersion kVersion1 = {{"level.dat", Noise(200000, 1)},
                            {"title.bmp", "old title"},
                            {"readme.txt", "read me"},
                            {"assets.pak", Archive({0, 1, 2, 3})},
                            {"old\\gone.txt", "no longer shipped"}};
TVersion Version2() {
  std::string level = Noise(200000, 1);
  level.insert(90000, "a few bytes inserted in the middle");
  level.replace(150000, 10, "0123456789");
  return {{"level.dat", level},
          {"title.bmp", "the new title picture"},
          {"readme.txt", "read me"},
          {"assets.pak", Archive({3, 1, 4, 0})},
          {"maps\\new map.map", "a new map"},
          {"empty.cfg", ""}};
}

TEST_F(Patch, AddsReplacesAppliesDifferencesAndRemovesThroughTheOneStepReplacement) {
  const TVersion version2 = Version2();
  PatchPackage(kVersion1, version2, {"title.bmp"}, {}, {}, {"assets.pak"});
  ASSERT_EQ(manifest_.Items.size(), 6u);
  // The archive's difference copies its kept members from wherever they lie in the old file.
  const TPakEntry& assets = Globals().Package->Directory()[Globals().Package->IndexOfName("assets.pak", 1)];
  EXPECT_LT(assets.Size, 400000u);
  Install(kVersion1);
  RunPatchLine();
  EXPECT_FALSE(Interpreter().ScriptStopped);
  EXPECT_TRUE(host_.Boxes.empty());
  // Only the folder the removed file was in stays behind, empty.
  EXPECT_EQ(Installed(), version2);
  EXPECT_TRUE(system_.FolderExists("C:\\Games\\Demo\\old"));
  // Every written file came from beside itself in one step; changed ones over their old version.
  ASSERT_EQ(system_.Replacements.size(), 5u);
  for (const auto& r : system_.Replacements) EXPECT_EQ(r.From, r.To + kPatchTemporarySuffix);
  const auto level = std::find_if(system_.Replacements.begin(), system_.Replacements.end(),
                                  [](const auto& r) { return r.To == "C:\\Games\\Demo\\level.dat"; });
  ASSERT_NE(level, system_.Replacements.end());
  EXPECT_TRUE(level->OldContent == kVersion1.at("level.dat"));
  EXPECT_TRUE(Logged("Patched file: C:\\Games\\Demo\\level.dat"));
  EXPECT_TRUE(Logged("Patched file: C:\\Games\\Demo\\assets.pak"));
  EXPECT_TRUE(Logged("Wrote file: C:\\Games\\Demo\\title.bmp"));
  EXPECT_TRUE(Logged("Deleted file: C:\\Games\\Demo\\old\\gone.txt"));
}

// The install log records the files the patch wrote as "file" records them (path variables put
// back in), and the folder it made; not the unchanged file, not the removed one.
TEST_F(Patch, InstallLogRecordsEveryWrittenFile) {
  PatchPackage(kVersion1, Version2());
  Install(kVersion1);
  RunPatchLine();
  std::vector<std::string> files = UninstallList().FileList;
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"$INSTDIR\\assets.pak", "$INSTDIR\\empty.cfg", "$INSTDIR\\level.dat",
                                             "$INSTDIR\\maps\\new map.map", "$INSTDIR\\title.bmp"}));
  EXPECT_EQ(UninstallList().FolderList, std::vector<std::string>{"C:\\Games\\Demo\\maps"});
}

// A third parameter names the folder as "file" takes its destination.
TEST_F(Patch, ADestinationParameterIsTheFolderPatched) {
  PatchPackage({{"a.txt", "one"}}, {{"a.txt", "two"}});
  Install({{"sub\\a.txt", "one"}});
  RunPatchLine({"new", "old", "sub", "1"});
  EXPECT_EQ(Installed(), (TVersion{{"sub\\a.txt", "two"}}));
}

// One installed file is not the version the patch was made against: the run says which and
// what it found, changes nothing (not even the files checked before it), and stops the script.
TEST_F(Patch, AFileOfAnotherVersionIsRefusedAndNothingChanges) {
  struct TCase {
    const char* What;
    std::function<void(TVersion&)> Edit;
    std::string Found;
  };
  const std::string edited = std::string(kVersion1.at("title.bmp")).replace(0, 3, "NEW");
  const std::vector<TCase> cases = {
      {"same size, other bytes", [&](TVersion& v) { v["title.bmp"] = edited; },
       "Found: 9 bytes, SHA-256 " + HexPrefix(edited)},
      {"another size", [](TVersion& v) { v["title.bmp"] = "shorter"; }, "Found: 7 bytes\r"},
      {"missing", [](TVersion& v) { v.erase("title.bmp"); }, "Found: no such file\r"},
  };
  PatchPackage(kVersion1, Version2(), {"title.bmp"});
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    std::filesystem::remove_all(system_.Map("C:\\Games\\Demo"));
    TVersion installed = kVersion1;
    c.Edit(installed);
    Install(installed);
    host_.Boxes.clear();
    system_.Replacements.clear();
    finish_text_.clear();
    RunPatchLine();
    EXPECT_TRUE(Interpreter().ScriptStopped);
    EXPECT_EQ(Installed(), installed);
    EXPECT_TRUE(system_.Replacements.empty());
    EXPECT_TRUE(UninstallList().FileList.empty());
    EXPECT_EQ(finish_text_, u"It failed");
    ASSERT_EQ(host_.Boxes.size(), 1u);
    const std::string& text = host_.Boxes[0].Text;
    EXPECT_NE(text.find("C:\\Games\\Demo\\title.bmp"), std::string::npos) << text;
    EXPECT_NE(text.find(c.Found), std::string::npos) << text;
    EXPECT_NE(text.find("Expected: 9 bytes, SHA-256 " + HexPrefix("old title")), std::string::npos) << text;
    EXPECT_NE(text.find("patched version: 21 bytes, SHA-256 " + HexPrefix("the new title picture")), std::string::npos)
        << text;
    EXPECT_NE(text.find("Nothing has been changed."), std::string::npos);
  }
  // The script ends there: a line after the patch does not run.
  std::filesystem::remove_all(system_.Map("C:\\Games\\Demo"));
  Install({});
  Interpreter().CurrentLine = -1;
  Interpreter().ScriptStopped = false;
  Globals().CompLines.Lines = {{kPatch, {"n", "o", "1"}, 3, 0}, {kFile, {"f", "1"}, 2, 1}};
  RunLines();
  EXPECT_EQ(Interpreter().CurrentLine, 0);
}

// A file to patch that the system will not let the run write (held open by the game) is found
// by the check: nothing changes rather than half the patch.
TEST_F(Patch, AFileThatCannotBeWrittenIsRefusedBeforeAnyChange) {
  PatchPackage(kVersion1, Version2());
  Install(kVersion1);
  system_.ReadOnly.insert("C:\\Games\\Demo\\title.bmp");
  RunPatchLine();
  EXPECT_TRUE(Interpreter().ScriptStopped);
  EXPECT_EQ(Installed(), kVersion1);
  ASSERT_EQ(host_.Boxes.size(), 1u);
  EXPECT_NE(host_.Boxes[0].Text.find("Filename: C:\\Games\\Demo\\title.bmp"), std::string::npos);
  EXPECT_NE(host_.Boxes[0].Text.find("read-only or in use"), std::string::npos) << host_.Boxes[0].Text;
  EXPECT_TRUE(system_.Replacements.empty());
}

// Files already at the new version are left alone: a second run changes nothing and says
// nothing, and still records them in the install log.
TEST_F(Patch, FilesAlreadyNewAreSkippedSoASecondRunChangesNothing) {
  const TVersion version2 = Version2();
  PatchPackage(kVersion1, version2);
  Install(kVersion1);
  RunPatchLine();
  ASSERT_EQ(Installed(), version2);
  system_.Replacements.clear();
  UninstallList().ClearLists();
  RunPatchLine();
  EXPECT_FALSE(Interpreter().ScriptStopped);
  EXPECT_TRUE(host_.Boxes.empty());
  EXPECT_TRUE(system_.Replacements.empty());
  EXPECT_EQ(Installed(), version2);
  EXPECT_EQ(UninstallList().FileList.size(), 5u);
  EXPECT_TRUE(Logged("Kept file (already the new version): C:\\Games\\Demo\\level.dat"));
}

// A run killed half way left one file patched, one added, and the temporary file of the next
// beside its old version: run again, it finishes, and no temporary file stays.
TEST_F(Patch, ARunKilledHalfWayIsFinishedByTheNextRun) {
  const TVersion version2 = Version2();
  PatchPackage(kVersion1, version2);
  TVersion halfway = kVersion1;
  halfway["level.dat"] = version2.at("level.dat");
  halfway["maps\\new map.map"] = version2.at("maps\\new map.map");
  halfway[std::string("title.bmp") + kPatchTemporarySuffix] = "the new ti";  // cut short
  Install(halfway);
  RunPatchLine();
  EXPECT_FALSE(Interpreter().ScriptStopped);
  EXPECT_TRUE(host_.Boxes.empty());
  EXPECT_EQ(Installed(), version2);
  std::vector<std::string> replaced;
  for (const auto& r : system_.Replacements) replaced.push_back(r.To);
  EXPECT_EQ(replaced, (std::vector<std::string>{"C:\\Games\\Demo\\assets.pak", "C:\\Games\\Demo\\empty.cfg",
                                                "C:\\Games\\Demo\\title.bmp"}));
}

// A difference whose bytes are damaged (in the package, or in a way its CRC does not show),
// or that was made for another file, is refused: its target keeps its old version, no
// temporary file stays, the script stops; the files done before it stay done, and a sound
// package run afterwards finishes the patch.
TEST_F(Patch, ADamagedDifferenceLeavesItsFileAsItWas) {
  const TVersion version2 = Version2();
  const std::vector<std::pair<const char*, std::function<void(const std::string&, std::string&)>>> damages = {
      {"a flipped byte in the stream",
       [](const std::string& name, std::string& bytes) {
         if (name == "level.dat") bytes[bytes.size() / 2] ^= 0x40;
       }},
      {"cut short",
       [](const std::string& name, std::string& bytes) {
         if (name == "level.dat") bytes.resize(bytes.size() - 5);
       }},
      {"made for another file",
       [](const std::string& name, std::string& bytes) {
         if (name == "level.dat") bytes = Difference(Noise(1000, 7), Noise(1000, 8));
       }},
      {"only its header",
       [](const std::string& name, std::string& bytes) {
         if (name == "level.dat") bytes.resize(delta::kDifferenceHeaderSize);
       }},
  };
  for (const auto& [what, damage] : damages) {
    SCOPED_TRACE(what);
    std::filesystem::remove_all(system_.Map("C:\\Games\\Demo"));
    Install(kVersion1);
    host_.Boxes.clear();
    // assets.pak and empty.cfg come before level.dat in the manifest, title.bmp after.
    PatchPackage(kVersion1, version2, {}, damage);
    RunPatchLine();
    EXPECT_TRUE(Interpreter().ScriptStopped);
    TVersion expected = kVersion1;
    expected["assets.pak"] = version2.at("assets.pak");
    expected["empty.cfg"] = "";
    EXPECT_EQ(Installed(), expected);
    ASSERT_EQ(host_.Boxes.size(), 1u);
    EXPECT_NE(host_.Boxes[0].Text.find("Error: The file could not be patched"), std::string::npos)
        << host_.Boxes[0].Text;
    EXPECT_NE(host_.Boxes[0].Text.find("Filename: C:\\Games\\Demo\\level.dat"), std::string::npos);
  }
  host_.Boxes.clear();
  PatchPackage(kVersion1, version2);
  RunPatchLine();
  EXPECT_TRUE(host_.Boxes.empty());
  EXPECT_EQ(Installed(), version2);
}

// Stored bytes that no longer match their CRC (the package changed after start-up verified it).
TEST_F(Patch, AnEntryChangedSinceVerificationIsRefused) {
  PatchPackage(kVersion1, Version2());
  TPak& pak = *Globals().Package;
  const int index = pak.IndexOfName("level.dat", 1);
  ASSERT_GE(index, 0);
  const TPakEntry e = pak.Directory()[static_cast<size_t>(index)];
  const std::string path = testing::ScratchPath("patch-package.bin");
  TBytes bytes = testing::ReadFile(path);
  bytes[e.Offset + e.StoredLength() / 2] ^= 0x55;
  testing::WriteFile(path, bytes);
  Globals().Package = std::make_unique<TPak>(path, pmRead);
  Install(kVersion1);
  RunPatchLine();
  EXPECT_TRUE(Interpreter().ScriptStopped);
  EXPECT_EQ(Installed().at("level.dat"), kVersion1.at("level.dat"));
  EXPECT_EQ(Installed().count(std::string("level.dat") + kPatchTemporarySuffix), 0u);
}

// The system refuses to put the new version in place (the file is in use): the file keeps its
// old version, the new one beside it goes, and the run stops naming it.
TEST_F(Patch, AReplacementTheSystemRefusesLeavesTheFileAsItWas) {
  PatchPackage({{"a.dat", Noise(5000, 3)}}, {{"a.dat", Noise(5000, 4)}});
  Install({{"a.dat", Noise(5000, 3)}});
  system_.RefuseReplace = true;
  RunPatchLine();
  EXPECT_TRUE(Interpreter().ScriptStopped);
  EXPECT_EQ(Installed(), (TVersion{{"a.dat", Noise(5000, 3)}}));
  ASSERT_EQ(host_.Boxes.size(), 1u);
  EXPECT_NE(host_.Boxes[0].Text.find("it cannot be replaced"), std::string::npos) << host_.Boxes[0].Text;
}

// A missing or damaged manifest, or a manifest naming a file whose data is not in the group:
// said, nothing changed, the script stopped.
TEST_F(Patch, AMissingOrDamagedManifestStopsBeforeAnyChange) {
  const std::string path = testing::ScratchPath("patch-package.bin");
  const std::vector<std::pair<const char*, std::vector<std::tuple<std::string, uint16_t, std::string>>>> packages = {
      {"no manifest", {{"SetupInfo", 0, "x"}, {"a.txt", 1, "new"}}},
      {"a damaged one", {{"SetupInfo", 0, "x"}, {"PATCH-1", 0, "KZPM garbage"}, {"a.txt", 1, "new"}}},
  };
  Install({{"a.txt", "old"}});
  for (const auto& [what, entries] : packages) {
    SCOPED_TRACE(what);
    {
      TPak pak(path, pmCreate);
      for (const auto& [name, group, bytes] : entries) {
        const int i = pak.AddEntry(name, "", group);
        pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
      }
      pak.WriteDirectory();
    }
    Globals().Package = std::make_unique<TPak>(path, pmRead);
    host_.Boxes.clear();
    RunPatchLine();
    EXPECT_TRUE(Interpreter().ScriptStopped);
    EXPECT_EQ(Installed(), (TVersion{{"a.txt", "old"}}));
    ASSERT_EQ(host_.Boxes.size(), 1u);
    EXPECT_NE(host_.Boxes[0].Text.find("PATCH-1"), std::string::npos) << host_.Boxes[0].Text;
  }
  // The manifest is sound but the group lacks a file's data: found by the check.
  PatchPackage({{"a.txt", "old"}, {"b.txt", "old"}}, {{"a.txt", "new"}, {"b.txt", "new"}}, {"a.txt", "b.txt"},
               [](const std::string& name, std::string& bytes) {
                 if (name == "b.txt") bytes = "other length";
               });
  Install({{"b.txt", "old"}});
  host_.Boxes.clear();
  RunPatchLine();
  EXPECT_TRUE(Interpreter().ScriptStopped);
  EXPECT_EQ(Installed(), (TVersion{{"a.txt", "old"}, {"b.txt", "old"}}));
  ASSERT_EQ(host_.Boxes.size(), 1u);
  EXPECT_NE(host_.Boxes[0].Text.find("Filename: C:\\Games\\Demo\\b.txt"), std::string::npos) << host_.Boxes[0].Text;
}

// The gauge: a step for each entry of a files group, and for a patch group a step per MiB of
// the bytes it checks and writes; the run publishes exactly that many, moving within a large
// file as it is checked and rebuilt. The status line says what is being checked.
TEST_F(Patch, TheGaugeFollowsThePatchByBytes) {
  std::string big = Noise(3u << 20, 5);
  std::string big2 = big;
  big2.replace(1u << 20, 100, std::string(100, 'x'));
  const TVersion old_version = {{"big.pak", big}, {"small.txt", "small"}};
  const TVersion new_version = {{"big.pak", big2}, {"small.txt", "small"}, {"added.txt", "0123456789"}};
  PatchPackage(old_version, new_version, {}, {}, {{"one.txt", 2, "1"}, {"two.txt", 2, "2"}});
  // Checking 3 MiB, writing 3 MiB and 10 bytes: 7 steps; two entries of a files group: 2.
  EXPECT_EQ(PatchWorkBytes(manifest_), (6u << 20) + 10);
  EXPECT_EQ(PatchGaugeSteps(manifest_), 7u);
  Globals().CompLines.Lines = {{kPatch, {"n", "o", "1"}, 3, 0}, {kFile, {"f", "2"}, 2, 1}};
  EXPECT_EQ(InstallGaugeSteps(), 9u);

  Install(old_version);
  const uint32_t before = Progress();
  RunLines();
  EXPECT_FALSE(Interpreter().ScriptStopped);
  EXPECT_EQ(Installed().at("big.pak"), big2);
  EXPECT_EQ(Progress() - before, 9u + 1u);  // and the step that published it

  const auto moment = [&](const std::string& call) {
    const auto at =
        std::find_if(system_.Moments.begin(), system_.Moments.end(), [&](const auto& m) { return m.Call == call; });
    EXPECT_NE(at, system_.Moments.end()) << call;
    return at == system_.Moments.end() ? TWatchedSystem::TMoment{} : *at;
  };
  // The check of big.pak's old version ran before its rebuilding opened anything to write.
  const auto checked = moment("write C:\\Games\\Demo\\big.pak");
  EXPECT_EQ(WideToUtf8(checked.Status).rfind("Checking big.pak", 0), 0u) << WideToUtf8(checked.Status);
  EXPECT_EQ(checked.Progress - before, 3u);  // 3 MiB read: the gauge moved within the file
  // When the rebuilt file takes its place, its writing has moved the gauge too.
  const auto replaced = moment("replace C:\\Games\\Demo\\big.pak");
  EXPECT_EQ(WideToUtf8(replaced.Status).rfind("Extracting big.pak", 0), 0u) << WideToUtf8(replaced.Status);
  EXPECT_GE(replaced.Progress - before, 4u);
}

// A patch group whose manifest cannot be read counts an entry a step, as any other group.
TEST_F(Patch, AnUnreadableManifestCountsTheGroupsEntries) {
  PatchPackage({}, {{"a", "1"}, {"b", "2"}}, {}, [](const std::string& name, std::string& bytes) {
    if (name == "PATCH-1") bytes = "damaged";
  });
  Globals().CompLines.Lines = {{kPatch, {"n", "o", "1"}, 3, 0}};
  EXPECT_EQ(InstallGaugeSteps(), 2u);
}

// The room a patch needs beyond the installed version, at its worst moment.
TEST(PatchFigures, RequiredBytesAreTheGrowthAndTheLargestRebuiltFile) {
  TPatchManifest manifest;
  auto item = [](TPatchAction action, uint64_t old_size, uint64_t new_size) {
    TPatchItem i;
    i.Action = action;
    i.Name = "f";
    i.Old.Size = old_size;
    i.New.Size = new_size;
    return i;
  };
  manifest.Items = {item(TPatchAction::Add, 0, 100), item(TPatchAction::Difference, 5000, 5200),
                    item(TPatchAction::Replace, 300, 200), item(TPatchAction::Difference, 3000, 2900),
                    item(TPatchAction::Remove, 10000, 0)};
  // Added 100, grown 200, and the largest changed file (5,200) beside its old version.
  EXPECT_EQ(PatchRequiredBytes(manifest), 100u + 200u + 5200u);
  // Checked 5,000 + 300 + 3,000, written 100 + 5,200 + 200 + 2,900.
  EXPECT_EQ(PatchWorkBytes(manifest), 8300u + 8400u);
  EXPECT_EQ(PatchGaugeSteps(manifest), 1u);
  EXPECT_EQ(PatchGaugeSteps(TPatchManifest{}), 0u);
  manifest.Items[1].New.Size = ~uint64_t{0};  // a damaged manifest's sizes do not wrap around
  EXPECT_EQ(PatchWorkBytes(manifest), ~uint64_t{0});
  EXPECT_EQ(PatchRequiredBytes(manifest), ~uint64_t{0});
}

}  // namespace
}  // namespace setup

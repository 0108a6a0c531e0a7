// "patch" on Windows: an installed version in a folder named in Cyrillic with a character
// outside the Basic Multilingual Plane, past the classic limit of 260 characters, brought to the
// next version through the real file system: the rebuilt file beside the old one, the one-step
// replacement over it, and the check that refuses files marked read-only or held open by a
// running game before anything changes.
#include "platform/win32/system.h"  // first: brings in the Windows headers

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "core/command_list.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "core/sha256.h"
#include "core/text.h"
#include "delta/difference.h"
#include "delta/patch_manifest.h"
#include "engine/commands.h"
#include "engine/interpreter.h"
#include "engine/patch_commands.h"
#include "engine/uninstall_list.h"
#include "platform/win32/sha256_win32.h"
#include "test_support.h"

namespace setup::win32 {
namespace {

constexpr int kPatch = CommandNumberOf("patch");
using TVersion = std::map<std::string, std::string>;

// Bytes that deflate cannot shrink, the same for the same seed.
std::string Noise(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

delta::TFileIdentity IdentityOf(const std::string& bytes) {
  delta::TFileIdentity identity{bytes.size(), {}};
  const std::unique_ptr<TSha256> digest = NewSha256();
  digest->Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  digest->Final(identity.Sha256);
  return identity;
}

class TStringWriter : public delta::TNewFileWriter {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    Bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  std::string Bytes;
};

const std::string kLevel1 = Noise(300000, 1);
std::string Level2() {
  std::string level = kLevel1;
  level.insert(100000, "bytes inserted in the middle");
  return level;
}
const TVersion kVersion1 = {{"level.dat", kLevel1}, {"title.txt", "old title"}, {"gone.txt", "removed"}};
const TVersion kVersion2 = {
    {"level.dat", Level2()},
    {"title.txt", "new title"},
    {"\xD0\x9A\xD0\xB0\xD1\x80\xD1\x82\xD1\x8B\\map \xF0\x9F\x8E\xAE.map", "a new map"}};  // Карты\map 🎮.map

class PatchOnWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    // The engine's state of the run the other Windows tests share, put back at the end.
    try {
      previous_system_ = &System();
    } catch (const std::exception&) {
      previous_system_ = nullptr;
    }
    previous_globals_ = std::move(Globals());
    previous_log_ = UninstallList();
    SetSha256Factory(NewCryptoApiSha256);
    SetSystem(&system_);
    CreateDirectoryW(SystemPath(ScratchRoot()).c_str(), nullptr);
    folder_ = ScratchRoot() + "\\patch";
    RemoveTree(folder_);
    ASSERT_TRUE(CreateDirectoryW(SystemPath(folder_).c_str(), nullptr));
    // Four folders of some 70 characters: the install folder's files lie past 300.
    install_ = folder_;
    for (int i = 0; i < 4; ++i) {
      install_ +=
          "\\" + std::to_string(i) +
          " \xD0\x9E\xD1\x87\xD0\xB5\xD0\xBD\xD1\x8C \xD0\xB4\xD0\xBB\xD0\xB8\xD0\xBD\xD0\xBD\xD0\xBE\xD0\xB5 "
          "\xD0\xB8\xD0\xBC\xD1\x8F \xF0\x9F\x8E\xAE a folder name long enough to pass the limit";  // Очень длинное имя
                                                                                                    // 🎮
      ASSERT_TRUE(system_.CreateFolder(install_)) << i;
    }
    ASSERT_GT(Utf8ToWide(install_ + "\\level.dat").size(), 300u);
    Globals() = TSetupGlobals();
    Globals().SetupInfo.InstallDir = install_;
    RegisterCommands(Globals().Commands);
    UninstallList().ClearLists();
  }
  void TearDown() override {
    RemoveTree(folder_);
    Globals() = std::move(previous_globals_);
    UninstallList() = previous_log_;
    Interpreter().CurrentLine = -1;
    Interpreter().ScriptStopped = false;
    SetSystem(previous_system_);
    SetSha256Factory(nullptr);
  }

  // The package of the patch from kVersion1 to kVersion2, as the builder makes it: the level as
  // a difference, the title whole, the map added, gone.txt removed.
  void BuildPackage() {
    delta::TPatchManifest manifest;
    std::vector<std::pair<std::string, std::string>> entries;
    const std::string old_path = folder_ + "\\old.bin", new_path = folder_ + "\\new.bin";
    WriteWholeFile(old_path, kVersion1.at("level.dat"));
    WriteWholeFile(new_path, kVersion2.at("level.dat"));
    TStringWriter difference;
    const delta::TEncodeResult encoded = delta::EncodeDifference(old_path, new_path, difference);
    ASSERT_TRUE(encoded.Ok) << encoded.Error;
    manifest.Items.push_back({delta::TPatchAction::Difference, "level.dat", IdentityOf(kVersion1.at("level.dat")),
                              IdentityOf(kVersion2.at("level.dat"))});
    entries.emplace_back("level.dat", difference.Bytes);
    manifest.Items.push_back(
        {delta::TPatchAction::Replace, "title.txt", IdentityOf("old title"), IdentityOf("new title")});
    entries.emplace_back("title.txt", "new title");
    const std::string map = std::prev(kVersion2.end())->first;
    manifest.Items.push_back({delta::TPatchAction::Add, map, {}, IdentityOf("a new map")});
    entries.emplace_back(map, "a new map");
    manifest.Items.push_back({delta::TPatchAction::Remove, "gone.txt", IdentityOf("removed"), {}});

    const std::string package = folder_ + "\\setup.bin";
    {
      TPak pak(package, pmCreate);
      auto add = [&](const std::string& name, uint16_t group, const std::string& bytes) {
        const int i = pak.AddEntry(name, "", group);
        pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
      };
      add(delta::PatchManifestName(1), 0, delta::WritePatchManifest(manifest));
      for (const auto& [name, bytes] : entries) add(name, 1, bytes);
      pak.SetHoldsDifferences(true);
      ASSERT_TRUE(pak.WriteDirectory());
    }
    Globals().Package = std::make_unique<TPak>(package, pmRead);
  }

  void Install(const TVersion& version) {
    for (const auto& [name, bytes] : version) {
      const size_t slash = name.rfind('\\');
      if (slash != std::string::npos) system_.CreateFolder(install_ + "\\" + name.substr(0, slash));
      WriteWholeFile(install_ + "\\" + name, bytes);
    }
  }

  void RunPatchLine() {
    Globals().CompLines.Lines = {{kPatch, {"new", "old", "1"}, 3, 0}};
    Interpreter().CurrentLine = -1;
    Interpreter().ScriptStopped = false;
    RunLines();
  }

  // Every file below the install folder, by its name there, with its size and digest: a
  // difference is told in a line, not in the bytes.
  TVersion Installed() {
    TVersion described;
    for (const auto& [name, bytes] : Files()) described[name] = Described(bytes);
    return described;
  }
  static TVersion Described(const TVersion& version) {
    TVersion described;
    for (const auto& [name, bytes] : version) described[name] = Described(bytes);
    return described;
  }
  static std::string Described(const std::string& bytes) {
    const delta::TFileIdentity identity = IdentityOf(bytes);
    return std::to_string(identity.Size) + " bytes, " + Sha256Hex(identity.Sha256).substr(0, 16);
  }
  TVersion Files() {
    TVersion version;
    std::vector<std::string> folders = {""};
    for (size_t i = 0; i < folders.size(); ++i) {
      const std::string base = folders[i].empty() ? install_ : install_ + "\\" + folders[i];
      for (const TFolderItem& item : system_.ListFolder(base)) {
        const std::string name = folders[i].empty() ? item.Name : folders[i] + "\\" + item.Name;
        if (item.Folder)
          folders.push_back(name);
        else
          version[name] = ReadWholeFile(install_ + "\\" + name);
      }
    }
    return version;
  }

  TWin32System system_;
  std::string folder_, install_;
  TSystem* previous_system_ = nullptr;
  TSetupGlobals previous_globals_;
  TUninstallList previous_log_;
};

TEST_F(PatchOnWindows, AVersionInALongUnicodeFolderIsBroughtToTheNext) {
  BuildPackage();
  Install(kVersion1);
  RunPatchLine();
  EXPECT_FALSE(Interpreter().ScriptStopped);
  EXPECT_EQ(Installed(), Described(kVersion2));  // nothing left beside the files, gone.txt gone
  std::vector<std::string> files = UninstallList().FileList;
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"$INSTDIR\\level.dat", "$INSTDIR\\title.txt",
                                             "$INSTDIR\\" + std::prev(kVersion2.end())->first}));
  // A second run finds every file new and changes nothing.
  const FILETIME before = [&] {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(SystemPath(install_ + "\\level.dat").c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
  }();
  Sleep(20);
  RunPatchLine();
  EXPECT_FALSE(Interpreter().ScriptStopped);
  WIN32_FILE_ATTRIBUTE_DATA after{};
  GetFileAttributesExW(SystemPath(install_ + "\\level.dat").c_str(), GetFileExInfoStandard, &after);
  EXPECT_EQ(CompareFileTime(&before, &after.ftLastWriteTime), 0);
}

// The rebuilt file takes the old one's place in one step: the name then leads to another file
// of the system (the one written beside it), not to the old file written over.
TEST_F(PatchOnWindows, TheRebuiltFileReplacesTheOldOneInOneStep) {
  BuildPackage();
  Install(kVersion1);
  const std::string level = install_ + "\\level.dat";
  auto file_index = [&] {
    ScopedHandle file(CreateFileW(SystemPath(level).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    GetFileInformationByHandle(file.Get(), &info);
    return (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  };
  const uint64_t before = file_index();
  RunPatchLine();
  ASSERT_FALSE(Interpreter().ScriptStopped);
  EXPECT_EQ(Described(ReadWholeFile(level)), Described(kVersion2.at("level.dat")));
  EXPECT_NE(file_index(), before);
  EXPECT_FALSE(Exists(level + kPatchTemporarySuffix));
}

// A file marked read-only, or one a running game holds without sharing writes, is found by the
// check: nothing at all changes, and the run stops.
TEST_F(PatchOnWindows, ReadOnlyOrHeldFilesAreRefusedBeforeAnyChange) {
  BuildPackage();
  Install(kVersion1);
  const std::wstring title = SystemPath(install_ + "\\title.txt");
  ASSERT_TRUE(SetFileAttributesW(title.c_str(), FILE_ATTRIBUTE_READONLY));
  RunPatchLine();
  EXPECT_TRUE(Interpreter().ScriptStopped);
  EXPECT_EQ(Installed(), Described(kVersion1));
  SetFileAttributesW(title.c_str(), FILE_ATTRIBUTE_NORMAL);

  ScopedHandle game(CreateFileW(title.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(game.Valid());
  RunPatchLine();
  EXPECT_TRUE(Interpreter().ScriptStopped);
  EXPECT_EQ(Installed(), Described(kVersion1));
}

}  // namespace
}  // namespace setup::win32

// The install engine's commands on Windows: a script run against the real file system,
// registry and shell, the uninstaller it builds, and the removals that undo the run.
//
// One run per test program: the fixture builds a package with the project's writer, runs the
// script once, and every test checks one part of what the run left behind.
#include "platform/win32/system.h"  // first: brings in the Windows headers

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/commands.h"
#include "engine/file_commands.h"
#include "engine/interpreter.h"
#include "engine/uninstall_list.h"
#include "engine/uninstaller.h"
#include "icon_fixtures.h"
#include "platform/win32/setup_thread.h"
#include "test_support.h"

namespace setup::win32 {
namespace {

constexpr char kKey[] = "Software\\SetupSystemTests\\Engine";
constexpr char kProtocol[] = "setupsystemtests-proto";
// A title and an install folder in Cyrillic with a character outside the Basic Multilingual
// Plane: the system's program list and every path of the run carry them.
constexpr char kShortName[] = "SetupSystemTests Engine \xD0\x98\xD0\xB3\xD1\x80\xD0\xB0 \xF0\x9F\x8E\xAE";  // Игра 🎮

constexpr int kFile = CommandNumberOf("file"), kDelete = CommandNumberOf("delete"),
              kWriteRegStr = CommandNumberOf("writeregstr"), kRmDir = CommandNumberOf("rmdir"),
              kCreateDirectory = CommandNumberOf("createdirectory"),
              kCreateShortcut = CommandNumberOf("createshortcut"), kCopyFile = CommandNumberOf("copyfile"),
              kWriteRegStrUrl = CommandNumberOf("writeregstr_url"), kRename = CommandNumberOf("rename"),
              kExecute = CommandNumberOf("execute");

std::string Folder() { return ScratchRoot() + "\\engine"; }
std::string Install() {
  return Folder() +
         "\\Install Dir \xD0\xA3\xD1\x81\xD1\x82\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBA\xD0\xB0 \xF0\x9F\x8E\xAE";  // Установка 🎮
}

std::string RegValue(HKEY root, const std::string& key, const std::string& name) {
  ScopedRegKey k;
  if (RegOpenKeyExW(root, WidenUtf8(key).c_str(), 0, KEY_READ, k.Receive()) != ERROR_SUCCESS) return "<no key>";
  wchar_t data[1024] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  if (RegQueryValueExW(k.Get(), WidenUtf8(name).c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) !=
      ERROR_SUCCESS) {
    return "<no value>";
  }
  return NarrowUtf8(data);
}

// A 16 x 16 icon file whose one image is recognisable by its bytes.
std::string IconFile() { return testing::IconFile(std::string(40 + 16 * 16 * 4 + 16 * 4, '\x5A')); }

// Builds the package, runs the script once and keeps what the run recorded.
class EngineRun : public ::testing::Environment {
 public:
  void SetUp() override {
    CreateDirectoryW(WidenUtf8(ScratchRoot()).c_str(), nullptr);
    RemoveTree(Folder());
    CreateDirectoryW(WidenUtf8(Folder()).c_str(), nullptr);
    SetSystem(&system_);
    TSetupGlobals& g = Globals();
    g = TSetupGlobals();

    // A large entry from a file of exactly the limit, all zeros but its last byte.
    const std::string large = Folder() + "\\large.bin";
    {
      ScopedHandle f(CreateFileW(WidenUtf8(large).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
      SetFilePointer(f.Get(), kLargeEntryLimit - 1, nullptr, FILE_BEGIN);
      DWORD written = 0;
      WriteFile(f.Get(), "L", 1, &written, nullptr);
    }
    WriteWholeFile(Folder() + "\\icon.ico", IconFile());
    const std::string package = Folder() + "\\setup.bin";
    {
      TPak pak(package, pmCreate);
      auto add = [&](const std::string& name, uint16_t group, const std::string& bytes) {
        const int i = pak.AddEntry(name, "", group);
        pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
      };
      add("readme.txt", 1, "read me");
      add("data\\levels\\one.lvl", 1, std::string(70000, 'l'));
      pak.StoreFromFile(pak.AddEntry("movie.bik", large, 2));
      add("cond.txt", 3, "condition held");
      add("held.txt", 5, "new");
      add("never.txt", 4, "condition failed");
      add("UNINSTALL_Pages.txt", 0, "uninstall pages");
      add("uninstall_language-English", 0, "language");
      add("UNINSTALL_ICON.ICO", 0, IconFile());
      ASSERT_TRUE(pak.WriteDirectory());
    }
    g.Package = std::make_unique<TPak>(package, pmRead);
    g.State.PackageFromArgument = true;  // the uninstaller takes this whole program as its executable part
    TSetupInfoFile& info = g.SetupInfo;
    info.SetupName = info.ShortName = kShortName;
    info.InstallDir = Install();
    info.UninstallPrefix = "eng_";
    info.UninstallExeName = "eng_Uninstall.exe";
    info.HasUninstaller = 1;
    WriteWholeFile(Folder() + "\\source.cfg", "settings");
    WriteWholeFile(Folder() + "\\gone.txt", "x");
    CreateDirectoryW(WidenUtf8(Folder() + "\\cache").c_str(), nullptr);
    CreateDirectoryW(WidenUtf8(Folder() + "\\cache\\deep").c_str(), nullptr);
    WriteWholeFile(Folder() + "\\cache\\deep\\a.bin", "a");
    CreateDirectoryW(WidenUtf8(Install()).c_str(), nullptr);  // exists already: createdirectory still logs it
    // Files the player has already: one to be replaced, one another program holds open.
    WriteWholeFile(Install() + "\\readme.txt", "an older readme");
    WriteWholeFile(Install() + "\\held.txt", "old");
    ScopedHandle held(
        CreateFileW(WidenUtf8(Install() + "\\held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));

    const std::string f = Folder();
    std::vector<std::pair<int, std::vector<std::string>>> script = {
        {kFile, {"files", "1"}},
        {kFile, {"movies", "Movies", "2"}},
        {kFile, {"files", "5"}},
        {kWriteRegStr, {"HKCU", kKey, "Mode", "full"}},
        {kFile, {"c", "cond", "HKCU", kKey, "Mode", "full", "1", "3"}},
        {kFile, {"n", "never", "hkcu", kKey, "Mode", "full", "False", "4"}},
        {kCopyFile, {f + "\\source.cfg", "$INSTDIR\\cfg\\copy.cfg"}},
        {kRename, {"$INSTDIR\\cfg\\copy.cfg", "$INSTDIR\\cfg\\renamed.cfg"}},
        {kDelete, {f + "\\gone.txt"}},
        {kCreateDirectory, {"$INSTDIR"}},
        {kCreateDirectory, {"$INSTDIR\\saves\\slot1"}},
        {kRmDir, {f + "\\cache", "1"}},
        {kWriteRegStr, {"hkcu", kKey, "", "default value"}},
        {kWriteRegStr, {"HKCU", kKey, "Path", "$INSTDIR"}},
        {kWriteRegStrUrl, {kProtocol, "$INSTDIR\\game.exe,0", "$INSTDIR\\game.exe", "-url", "%1"}},
        {kCreateShortcut, {"$INSTDIR\\links\\Game.lnk", "$INSTDIR\\readme.txt", "-play", "$INSTDIR\\game.ico"}},
        {kExecute, {"cmd.exe", "/c echo ran> \"" + Install() + "\\executed.txt\""}},
    };
    for (const auto& [command, params] : script) {
      g.CompLines.Lines.push_back({command, params, static_cast<int32_t>(params.size()),
                                   static_cast<int32_t>(g.CompLines.Lines.size())});
    }
    RegisterCommands(g.Commands);
    UninstallList().ClearLists();
    Interpreter().CurrentLine = -1;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    RunScript();
    log_ = UninstallList();
  }

  void TearDown() override {
    RegDeleteKeyW(HKEY_CURRENT_USER, WidenUtf8(kKey).c_str());
    for (const char* sub : {"\\shell\\open\\command", "\\shell\\open", "\\shell", "\\DefaultIcon", ""}) {
      RegDeleteKeyW(HKEY_CLASSES_ROOT, WidenUtf8(std::string(kProtocol) + sub).c_str());
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, WidenUtf8(std::string(kUninstallRegistryKey) + kShortName).c_str());
    Globals() = TSetupGlobals();
    SetSystem(nullptr);
    CoUninitialize();
  }

  static TUninstallList log_;
  TWin32System system_;
};
TUninstallList EngineRun::log_;
[[maybe_unused]] const auto* g_engine_run = ::testing::AddGlobalTestEnvironment(new EngineRun);

TEST(EngineOnWindows, ExtractionWritesEveryFileAndLogsFilesAndFolders) {
  EXPECT_EQ(ReadWholeFile(Install() + "\\readme.txt"), "read me");
  EXPECT_EQ(ReadWholeFile(Install() + "\\data\\levels\\one.lvl"), std::string(70000, 'l'));
  const auto& files = EngineRun::log_.FileList;
  EXPECT_EQ(files[0], "$INSTDIR\\readme.txt");
  EXPECT_EQ(files[1], "$INSTDIR\\data\\levels\\one.lvl");
  EXPECT_EQ(files[2], "$INSTDIR\\Movies\\movie.bik");  // one separator after a destination folder
  const auto& folders = EngineRun::log_.FolderList;
  EXPECT_NE(std::find(folders.begin(), folders.end(), Install() + "\\data\\"), folders.end());
  EXPECT_NE(std::find(folders.begin(), folders.end(), Install() + "\\data\\levels"), folders.end());
}

TEST(EngineOnWindows, LargeEntryIsCopiedWhole) {
  const std::string path = Install() + "\\Movies\\movie.bik";
  const std::string bytes = ReadWholeFile(path);
  ASSERT_EQ(bytes.size(), kLargeEntryLimit);
  EXPECT_EQ(bytes.back(), 'L');
  EXPECT_EQ(bytes[kStreamChunk - 1], '\0');
}

TEST(EngineOnWindows, ExistingFileIsReplacedAndOneHeldOpenIsKept) {
  EXPECT_EQ(ReadWholeFile(Install() + "\\readme.txt"), "read me");
  EXPECT_EQ(ReadWholeFile(Install() + "\\held.txt"), "old");
  EXPECT_FALSE(Exists(Install() + "\\readme.txt.setup-new"));
  EXPECT_FALSE(Exists(Install() + "\\held.txt.setup-new"));
}

TEST(EngineOnWindows, RegistryConditionsChooseTheSevenParameterForm) {
  EXPECT_EQ(ReadWholeFile(Install() + "\\cond\\cond.txt"), "condition held");
  EXPECT_FALSE(Exists(Install() + "\\never\\never.txt"));  // "False" negates the true comparison
}

TEST(EngineOnWindows, CopyRenameDeleteCreateAndRemoveFolders) {
  EXPECT_EQ(ReadWholeFile(Install() + "\\cfg\\renamed.cfg"), "settings");
  EXPECT_FALSE(Exists(Install() + "\\cfg\\copy.cfg"));
  EXPECT_FALSE(Exists(Folder() + "\\gone.txt"));
  EXPECT_TRUE(Exists(Install() + "\\saves\\slot1"));
  EXPECT_FALSE(Exists(Folder() + "\\cache"));
  const auto& folders = EngineRun::log_.FolderList;
  EXPECT_NE(std::find(folders.begin(), folders.end(), Install()), folders.end());  // existed, still logged
}

TEST(EngineOnWindows, RegistryStringsAndUrlProtocolReadBack) {
  EXPECT_EQ(RegValue(HKEY_CURRENT_USER, kKey, ""), "default value");
  EXPECT_EQ(RegValue(HKEY_CURRENT_USER, kKey, "Path"), Install());
  EXPECT_EQ(RegValue(HKEY_CLASSES_ROOT, kProtocol, ""), std::string("URL:") + kProtocol + " Protocol");
  EXPECT_EQ(RegValue(HKEY_CLASSES_ROOT, kProtocol, "URL Protocol"), "");
  EXPECT_EQ(RegValue(HKEY_CLASSES_ROOT, std::string(kProtocol) + "\\DefaultIcon", ""), Install() + "\\game.exe,0");
  EXPECT_EQ(RegValue(HKEY_CLASSES_ROOT, std::string(kProtocol) + "\\shell\\open\\command", ""),
            "\"" + Install() + "\\game.exe\" \"-url\" \"%1\"");
}

TEST(EngineOnWindows, ShortcutReadsBackThroughTheShellLinkObject) {
  IShellLinkW* link = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                             reinterpret_cast<void**>(&link)),
            S_OK);
  IPersistFile* file = nullptr;
  link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  ASSERT_EQ(file->Load(WidenUtf8(Install() + "\\links\\Game.lnk").c_str(), STGM_READ), S_OK);
  // The shell may give the names in the file system's case.
  const auto same_text = [](const wchar_t* a, const std::string& b) { return lstrcmpiW(a, WidenUtf8(b).c_str()) == 0; };
  // The target as the link's item list names it: the list keeps every character, where the
  // link's location block may hold the target in the system's code page only.
  wchar_t text[MAX_PATH] = {};
  PIDLIST_ABSOLUTE items = nullptr;
  ASSERT_EQ(link->GetIDList(&items), S_OK);
  EXPECT_TRUE(SHGetPathFromIDListW(items, text));
  CoTaskMemFree(items);
  EXPECT_TRUE(same_text(text, Install() + "\\readme.txt")) << NarrowUtf8(text);
  link->GetArguments(text, MAX_PATH);
  EXPECT_EQ(std::wstring(text), L"-play");
  link->GetWorkingDirectory(text, MAX_PATH);
  EXPECT_TRUE(same_text(text, Install())) << NarrowUtf8(text);
  int icon = -1;
  link->GetIconLocation(text, MAX_PATH, &icon);
  EXPECT_TRUE(same_text(text, Install() + "\\game.ico")) << NarrowUtf8(text);
  EXPECT_EQ(icon, 0);
  file->Release();
  link->Release();
}

TEST(EngineOnWindows, ExecuteWaitsForTheProgram) {
  EXPECT_EQ(ReadWholeFile(Install() + "\\executed.txt").substr(0, 3), "ran");
}

TEST(EngineOnWindows, UninstallerCarriesItsEntriesAndAnUninstallerRecord) {
  const std::string uninstaller = Install() + "\\eng_Uninstall.exe";
  TPak pak(uninstaller, pmRead);
  ASSERT_TRUE(pak.Trailer().HasMagic());
  std::vector<std::string> names;
  for (const TPakEntry& e : pak.Directory()) names.push_back(e.Name);
  // The prefix goes whatever its case; the rest of the name stays as it was.
  EXPECT_EQ(names, (std::vector<std::string>{"Pages.txt", "language-English", "SetupInfo"}));
  const TBytes record = pak.FindByName("SetupInfo", 0);
  TSetupInfoFile info;
  info.LoadFromBuffer(record.data(), record.size());
  EXPECT_EQ(info.Mode, 1);
  EXPECT_EQ(info.InstallDir, Install());
  // The icon went into the executable part, not the package.
  HMODULE module = LoadLibraryExW(WidenUtf8(uninstaller).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HRSRC icon = FindResourceW(module, MAKEINTRESOURCEW(1), RT_ICON);
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(SizeofResource(module, icon), IconFile().size() - 22);
  FreeLibrary(module);
}

TEST(EngineOnWindows, RegistrationAndInstallLog) {
  const std::string key = std::string(kUninstallRegistryKey) + kShortName;
  EXPECT_EQ(RegValue(HKEY_LOCAL_MACHINE, key, "DisplayName"), kShortName);
  EXPECT_EQ(RegValue(HKEY_LOCAL_MACHINE, key, "UninstallString"), "\"" + Install() + "\\eng_Uninstall.exe\"");
  TUninstallList loaded;
  loaded.LoadLog(Install(), "eng_");
  EXPECT_EQ(loaded.FileList, EngineRun::log_.FileList);
  EXPECT_EQ(loaded.RegistryList, EngineRun::log_.RegistryList);
}

// Runs last (gtest keeps declaration order): the uninstall undoes what the run made.
TEST(EngineOnWindows, ZzRemovalsUndoTheRun) {
  TUninstallList log;
  log.LoadLog(Install(), "eng_");
  for (const std::string& file : log.FileList) RemoveLoggedFile(file);
  for (size_t i = log.FolderList.size(); i-- > 0;) RemoveLoggedFolder(log.FolderList[i]);
  for (const std::string& line : log.RegistryList) RemoveRegistryEntry(line);
  RemoveUninstallRegistration();
  DeleteInstallLog();
  for (const char* gone : {"\\readme.txt", "\\data", "\\Movies", "\\links", "\\eng_install.log"}) {
    EXPECT_FALSE(Exists(Install() + gone)) << gone;
  }
  EXPECT_EQ(RegValue(HKEY_CURRENT_USER, kKey, "Path"), "<no value>");
  EXPECT_EQ(RegValue(HKEY_CLASSES_ROOT, kProtocol, "URL Protocol"), "<no value>");
  EXPECT_EQ(RegValue(HKEY_LOCAL_MACHINE, std::string(kUninstallRegistryKey) + kShortName, "DisplayName"), "<no key>");
  EXPECT_TRUE(Exists(Install() + "\\eng_Uninstall.exe"));  // the finishing program removes it
  EXPECT_TRUE(Exists(Install() + "\\cfg\\renamed.cfg"));  // a rename is not recorded
}

}  // namespace
}  // namespace setup::win32

namespace setup::win32 {
namespace {

// The worker idles until asked, runs the script once and clears Running itself.
TEST(SetupThread, RunsOneScriptWhenAskedAndReportsTheEnd) {
  TWin32System system;
  SetSystem(&system);
  Globals() = TSetupGlobals();
  Globals().SetupInfo.InstallDir = Folder() + "\\thread\\made by the closing steps";
  Interpreter().CurrentLine = -1;
  {
    TSetupThread thread;
    Sleep(20);
    EXPECT_FALSE(Exists(Globals().SetupInfo.InstallDir));  // idle: nothing runs unasked
    thread.Running = true;
    for (int waited = 0; thread.Running && waited < 10000; waited += 5) Sleep(5);
    EXPECT_FALSE(thread.Running);
  }
  EXPECT_TRUE(Exists(Globals().SetupInfo.InstallDir));
  Globals() = TSetupGlobals();
  SetSystem(nullptr);
}

// A whole install into a folder past the classic limit of 260 characters: extraction, a copy,
// the install log and the uninstaller made there, the folder listed, and the removals taking
// everything away again.
TEST(EngineLongPaths, InstallListAndRemoveAFolderPastTheClassicLimit) {
  TWin32System system;
  SetSystem(&system);
  Globals() = TSetupGlobals();
  TSetupGlobals& g = Globals();
  std::vector<std::string> levels = {Folder() + "\\long"};
  for (int i = 0; i < 5; ++i) {
    // "N Очень длинное имя папки 日本語 🎮 and then some more": some 60 characters
    levels.push_back(
        levels.back() + "\\" + std::to_string(i) +
        " \xD0\x9E\xD1\x87\xD0\xB5\xD0\xBD\xD1\x8C \xD0\xB4\xD0\xBB\xD0\xB8\xD0\xBD\xD0\xBD\xD0\xBE\xD0\xB5 "
        "\xD0\xB8\xD0\xBC\xD1\x8F \xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB8 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E "
        "\xF0\x9F\x8E\xAE and then some more");
  }
  const std::string install = levels.back();
  ASSERT_GT(Utf8ToWide(install).size(), 300u);
  const std::string package = Folder() + "\\long-setup.bin";
  {
    TPak pak(package, pmCreate);
    auto add = [&](const std::string& name, uint16_t group, const std::string& bytes) {
      const int i = pak.AddEntry(name, "", group);
      pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    };
    add("readme.txt", 1, "read me");
    add("data\\levels\\one.lvl", 1, std::string(70000, 'l'));
    add("UNINSTALL_Pages.txt", 0, "uninstall pages");
    add("UNINSTALL_ICON.ICO", 0, IconFile());
    ASSERT_TRUE(pak.WriteDirectory());
  }
  g.Package = std::make_unique<TPak>(package, pmRead);
  g.State.PackageFromArgument = true;
  TSetupInfoFile& info = g.SetupInfo;
  info.SetupName = info.ShortName = "SetupSystemTests Long Paths";
  info.InstallDir = install;
  info.UninstallPrefix = "long_";
  info.UninstallExeName = "long_Uninstall.exe";
  info.HasUninstaller = 1;
  const std::vector<std::pair<int, std::vector<std::string>>> script = {
      {kFile, {"files", "1"}},
      {kCreateDirectory, {"$INSTDIR\\saves"}},
      {kCopyFile, {"$INSTDIR\\readme.txt", "$INSTDIR\\saves\\copy.txt"}},
  };
  for (const auto& [command, params] : script) {
    g.CompLines.Lines.push_back(
        {command, params, static_cast<int32_t>(params.size()), static_cast<int32_t>(g.CompLines.Lines.size())});
  }
  RegisterCommands(g.Commands);
  UninstallList().ClearLists();
  Interpreter().CurrentLine = -1;
  RunScript();

  EXPECT_EQ(ReadWholeFile(install + "\\readme.txt"), "read me");
  EXPECT_EQ(ReadWholeFile(install + "\\data\\levels\\one.lvl"), std::string(70000, 'l'));
  EXPECT_EQ(ReadWholeFile(install + "\\saves\\copy.txt"), "read me");
  std::vector<std::string> listed;
  for (const TFolderItem& item : system.ListFolder(install)) listed.push_back(item.Name + (item.Folder ? "/" : ""));
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed,
            (std::vector<std::string>{"data/", "long_Uninstall.exe", "long_install.log", "readme.txt", "saves/"}));
  {
    TPak uninstaller(install + "\\long_Uninstall.exe", pmRead);
    EXPECT_TRUE(uninstaller.Trailer().HasMagic());
    EXPECT_EQ(uninstaller.Directory().size(), 2u);
  }

  TUninstallList log;
  log.LoadLog(install, "long_");
  EXPECT_EQ(log.FileList, (std::vector<std::string>{"$INSTDIR\\readme.txt", "$INSTDIR\\data\\levels\\one.lvl",
                                                    "$INSTDIR\\saves\\copy.txt"}));
  for (const std::string& file : log.FileList) RemoveLoggedFile(file);
  for (size_t i = log.FolderList.size(); i-- > 0;) RemoveLoggedFolder(log.FolderList[i]);
  RemoveUninstallRegistration();
  DeleteInstallLog();
  EXPECT_FALSE(Exists(install + "\\data"));
  EXPECT_FALSE(Exists(install + "\\readme.txt"));
  EXPECT_FALSE(Exists(install + "\\long_install.log"));
  EXPECT_FALSE(Exists(install + "\\saves"));
  // The uninstaller is left for the finishing program; the folders the run did not log are the
  // player's.
  EXPECT_TRUE(system.DeleteFile(install + "\\long_Uninstall.exe"));
  for (size_t i = levels.size(); i-- > 0;) {
    if (system.FolderExists(levels[i])) {
      EXPECT_TRUE(system.RemoveFolder(levels[i])) << i;
    }
  }
  EXPECT_FALSE(Exists(levels.front()));
  Globals() = TSetupGlobals();
  SetSystem(nullptr);
}

}  // namespace
}  // namespace setup::win32

// TWin32System against the real file system, registry and shell under Wine, and FINALISE.EXE
// removing an uninstaller that has ended.
//
// Files go to a scratch folder below the temporary folder, one sub-folder per test, removed when
// the run ends; registry keys go below HKCU\Software\SetupSystemTests\System. Programs to wait
// for are this test program itself, started with "--system-test-child" (see RunAsChildWhenAsked):
// a child that waits for a named event lets a test decide when the child ends, so no test
// depends on how long anything takes. Time limits below only stop a broken run from hanging.
#include "platform/win32/system.h"  // first: brings in the Windows headers

#include <gtest/gtest.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "icon_fixtures.h"
#include "test_support.h"

namespace setup::win32 {
namespace {

constexpr char kChildSwitch[] = "--system-test-child";
constexpr char kTestKey[] = "Software\\SetupSystemTests\\System";
constexpr char kTestKeyParent[] = "Software\\SetupSystemTests";
constexpr int kCurrentUser = 1;
constexpr int kCurrentConfig = 4;
// Bounds that only stop a broken run from hanging.
constexpr DWORD kChildLifetimeMs = 60000;
constexpr DWORD kFinaliseBoundMs = 90000;

// --- the test program as a child process ---

// "--system-test-child wait EVENT MARKER": waits for the named event (at most a minute), then
// creates the file MARKER ("-" for none) and ends with 0.
// "--system-test-child exit CODE": ends at once with CODE.
bool RunAsChildWhenAsked() {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv) return false;
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(NarrowUtf8(argv[i]));
  LocalFree(argv);
  if (args.size() < 3 || args[1] != kChildSwitch) return false;
  if (args[2] == "exit" && args.size() == 4) ExitProcess(static_cast<UINT>(std::stoul(args[3])));
  if (args[2] == "wait" && args.size() == 5) {
    ScopedHandle event(OpenEventA(SYNCHRONIZE, FALSE, args[3].c_str()));
    if (event.Valid()) WaitForSingleObject(event.Get(), kChildLifetimeMs);
    if (args[4] != "-") {
      ScopedHandle marker(
          CreateFileA(args[4].c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    ExitProcess(0);
  }
  ExitProcess(2);
}

// Runs before the test framework reads the command line; a child never gets that far.
[[maybe_unused]] const bool g_ran_as_child = RunAsChildWhenAsked();

// An event a child waits for, with a name unique to this run.
class ChildRelease {
 public:
  ChildRelease() {
    static int counter = 0;
    name_ = "SetupSystemTests-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    event_.Reset(CreateEventA(nullptr, TRUE, FALSE, name_.c_str()));
  }
  ~ChildRelease() { Release(); }  // a child is never left waiting
  const std::string& Name() const { return name_; }
  void Release() {
    if (event_.Valid()) SetEvent(event_.Get());
  }

 private:
  std::string name_;
  ScopedHandle event_;
};

std::string WaitArguments(const ChildRelease& release, const std::string& marker) {
  return std::string(kChildSwitch) + " wait " + release.Name() + " \"" + marker + "\"";
}

// Starts a program directly (not through the shell) and returns its process handle.
HANDLE StartProgram(const std::string& exe, const std::string& arguments, const std::string& folder = "") {
  std::string command = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

DWORD WaitForExitCode(HANDLE process, DWORD bound_ms) {
  if (WaitForSingleObject(process, bound_ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process, &code);
  return code;
}

// --- files and the scratch folder ---

// Waits for a file a child creates; true once it is there.
bool WaitForFile(const std::string& path) {
  for (DWORD waited = 0; waited < kChildLifetimeMs; waited += 50) {
    if (Exists(path)) return true;
    Sleep(50);
  }
  return Exists(path);
}

// Each test gets an empty folder of its own: folder_ (without trailing backslash).
class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateDirectoryA(ScratchRoot().c_str(), nullptr);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = ScratchRoot() + "\\" + info->test_suite_name() + "." + info->name();
    RemoveTree(folder_);
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr)) << folder_;
  }
  std::string Path(const std::string& name) const { return folder_ + "\\" + name; }
  std::string BinFile(const std::string& name) {
    const std::string self = system_.RunningExecutablePath();
    return self.substr(0, self.find_last_of('\\') + 1) + name;
  }

  TWin32System system_;
  std::string folder_;
};

// --- files and folders ---

using SystemFiles = SystemTest;

TEST_F(SystemFiles, FileExistsIsTrueForFilesAndWildcardsButNotFolders) {
  WriteWholeFile(Path("Readme.txt"), "text");
  ASSERT_TRUE(CreateDirectoryA(Path("Subfolder").c_str(), nullptr));
  EXPECT_TRUE(system_.FileExists(Path("Readme.txt")));
  EXPECT_TRUE(system_.FileExists(Path("*.txt")));
  EXPECT_TRUE(system_.FileExists(Path("Read?e.txt")));
  EXPECT_FALSE(system_.FileExists(Path("Subfolder")));
  EXPECT_FALSE(system_.FileExists(Path("Sub*")));  // the first match is a folder
  EXPECT_FALSE(system_.FileExists(Path("Missing.txt")));
  EXPECT_FALSE(system_.FileExists(Path("*.doc")));
  EXPECT_TRUE(system_.FolderExists(Path("Subfolder")));
  EXPECT_TRUE(system_.FolderExists(folder_ + "\\"));
  EXPECT_FALSE(system_.FolderExists(Path("Readme.txt")));
  EXPECT_FALSE(system_.FolderExists(Path("Missing")));
}

TEST_F(SystemFiles, CreateAndRemoveFolderButNeverANonEmptyOne) {
  EXPECT_TRUE(system_.CreateFolder(Path("New")));
  EXPECT_TRUE(system_.FolderExists(Path("New")));
  EXPECT_FALSE(system_.CreateFolder(Path("New")));               // already there
  EXPECT_FALSE(system_.CreateFolder(Path("Missing\\Deeper")));  // one level only
  WriteWholeFile(Path("New\\Keep.txt"), "keep");
  EXPECT_FALSE(system_.RemoveFolder(Path("New")));
  EXPECT_TRUE(Exists(Path("New\\Keep.txt")));
  ASSERT_TRUE(DeleteFileA(Path("New\\Keep.txt").c_str()));
  EXPECT_TRUE(system_.RemoveFolder(Path("New")));
  EXPECT_FALSE(Exists(Path("New")));
}

TEST_F(SystemFiles, DeleteFileClearsTheReadOnlyAttribute) {
  WriteWholeFile(Path("ReadOnly.txt"), "locked");
  ASSERT_TRUE(SetFileAttributesA(Path("ReadOnly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_FALSE(DeleteFileA(Path("ReadOnly.txt").c_str()));  // the plain call refuses
  EXPECT_TRUE(system_.DeleteFile(Path("ReadOnly.txt")));
  EXPECT_FALSE(Exists(Path("ReadOnly.txt")));
  EXPECT_FALSE(system_.DeleteFile(Path("ReadOnly.txt")));
}

TEST_F(SystemFiles, DeleteFileOfAnOpenReadOnlyFileFailsAndKeepsTheAttribute) {
  WriteWholeFile(Path("Open.txt"), "held");
  ASSERT_TRUE(SetFileAttributesA(Path("Open.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  {
    ScopedHandle held(CreateFileA(Path("Open.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(held.Valid());
    EXPECT_FALSE(system_.DeleteFile(Path("Open.txt")));
    EXPECT_TRUE(GetFileAttributesA(Path("Open.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
  }
  EXPECT_TRUE(system_.DeleteFile(Path("Open.txt")));
}

// A running program's file refuses deletion as read-only files do; clearing the attribute does
// not help then, and the attribute must be back afterwards.
TEST_F(SystemFiles, DeleteFileOfARunningReadOnlyProgramFailsAndKeepsTheAttribute) {
  const std::string program = Path("Running.exe");
  ASSERT_TRUE(CopyFileA(system_.RunningExecutablePath().c_str(), program.c_str(), FALSE));
  ASSERT_TRUE(SetFileAttributesA(program.c_str(), FILE_ATTRIBUTE_READONLY));
  ChildRelease release;
  ScopedHandle running(StartProgram(program, WaitArguments(release, "-")));
  ASSERT_TRUE(running.Valid());
  EXPECT_FALSE(system_.DeleteFile(program));
  EXPECT_TRUE(GetFileAttributesA(program.c_str()) & FILE_ATTRIBUTE_READONLY);
  release.Release();
  EXPECT_EQ(WaitForExitCode(running.Get(), kChildLifetimeMs), 0u);
  EXPECT_TRUE(system_.DeleteFile(program));
}

TEST_F(SystemFiles, CopyFileReplacesTheDestination) {
  WriteWholeFile(Path("From.txt"), "new content");
  WriteWholeFile(Path("To.txt"), "old content that is longer");
  EXPECT_TRUE(system_.CopyFile(Path("From.txt"), Path("To.txt")));
  EXPECT_EQ(ReadWholeFile(Path("To.txt")), "new content");
  EXPECT_EQ(ReadWholeFile(Path("From.txt")), "new content");
  EXPECT_FALSE(system_.CopyFile(Path("Missing.txt"), Path("To.txt")));
  EXPECT_EQ(ReadWholeFile(Path("To.txt")), "new content");
}

TEST_F(SystemFiles, RenameFileMovesButDoesNotReplace) {
  WriteWholeFile(Path("Old.txt"), "moved");
  EXPECT_TRUE(system_.RenameFile(Path("Old.txt"), Path("New.txt")));
  EXPECT_FALSE(Exists(Path("Old.txt")));
  EXPECT_EQ(ReadWholeFile(Path("New.txt")), "moved");
  WriteWholeFile(Path("Other.txt"), "other");
  EXPECT_FALSE(system_.RenameFile(Path("Other.txt"), Path("New.txt")));
  EXPECT_EQ(ReadWholeFile(Path("New.txt")), "moved");
  EXPECT_FALSE(system_.RenameFile(Path("Missing.txt"), Path("Any.txt")));
}

TEST_F(SystemFiles, ReplaceFilePutsTheNewFileInPlace) {
  WriteWholeFile(Path("Game.dat"), "old content that is longer");
  WriteWholeFile(Path("Game.dat.setup-new"), "new content");
  EXPECT_TRUE(system_.ReplaceFile(Path("Game.dat.setup-new"), Path("Game.dat")));
  EXPECT_EQ(ReadWholeFile(Path("Game.dat")), "new content");
  EXPECT_FALSE(Exists(Path("Game.dat.setup-new")));
}

// A file held open without sharing, and a read-only one (which a direct write refuses too),
// stay as they were, and so does the new file.
TEST_F(SystemFiles, ReplaceFileOfAHeldOrReadOnlyFileFailsAndKeepsBoth) {
  WriteWholeFile(Path("Held.dat"), "old");
  WriteWholeFile(Path("New.dat"), "new");
  {
    ScopedHandle held(CreateFileA(Path("Held.dat").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.Valid());
    EXPECT_FALSE(system_.ReplaceFile(Path("New.dat"), Path("Held.dat")));
  }
  EXPECT_EQ(ReadWholeFile(Path("Held.dat")), "old");
  ASSERT_TRUE(SetFileAttributesA(Path("Held.dat").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(system_.ReplaceFile(Path("New.dat"), Path("Held.dat")));
  EXPECT_EQ(ReadWholeFile(Path("Held.dat")), "old");
  EXPECT_EQ(ReadWholeFile(Path("New.dat")), "new");
}

std::vector<std::string> Described(std::vector<TFolderItem> items) {
  std::vector<std::string> out;
  for (const TFolderItem& item : items) out.push_back(item.Name + (item.Folder ? "/" : ""));
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(SystemFiles, ListFolderSeesHiddenFilesAndFoldersButNotDots) {
  WriteWholeFile(Path("Plain.txt"), "a");
  WriteWholeFile(Path("Hidden.dat"), "b");
  ASSERT_TRUE(SetFileAttributesA(Path("Hidden.dat").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  WriteWholeFile(Path("NoExtension"), "c");
  ASSERT_TRUE(CreateDirectoryA(Path("Sub").c_str(), nullptr));
  WriteWholeFile(Path("Sub\\Inner.txt"), "d");  // not listed: one level only
  const std::vector<std::string> expected = {"Hidden.dat", "NoExtension", "Plain.txt", "Sub/"};
  EXPECT_EQ(Described(system_.ListFolder(folder_)), expected);
  EXPECT_EQ(Described(system_.ListFolder(folder_ + "\\")), expected);
  EXPECT_TRUE(system_.ListFolder(Path("Missing")).empty());
  const std::vector<std::string> inner = {"Inner.txt"};
  EXPECT_EQ(Described(system_.ListFolder(Path("Sub"))), inner);
}

TEST_F(SystemFiles, TempFolderAndRunningExecutable) {
  const std::string temp = system_.TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '\\');
  EXPECT_TRUE(system_.FolderExists(temp));
  const std::string self = system_.RunningExecutablePath();
  EXPECT_TRUE(system_.FileExists(self));
  ASSERT_GT(self.size(), 16u);
  EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, self.c_str() + self.size() - 16, 16, "\\win32_tests.exe",
                           16),
            CSTR_EQUAL)
      << self;
}

TEST(SystemDrives, CdRomRootsAreCdDrivesInRootForm) {
  TWin32System system;
  for (const std::string& root : system.CdRomRoots()) {
    ASSERT_EQ(root.size(), 3u) << root;
    EXPECT_EQ(root.substr(1), ":\\");
    EXPECT_EQ(GetDriveTypeA(root.c_str()), static_cast<UINT>(DRIVE_CDROM)) << root;
  }
}

TEST(SystemDrives, SystemMessageTextHasNoLineBreak) {
  const std::string text = SystemMessageText(ERROR_OUTOFMEMORY);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
}

// --- registry ---

class SystemRegistry : public ::testing::Test {
 protected:
  void TearDown() override {
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, kTestKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, kTestKeyParent);  // only when nothing else is left in it
  }
  static std::string Key(const std::string& sub) { return std::string(kTestKey) + "\\" + sub; }
  static void WriteRaw(const std::string& key, const char* name, DWORD type, const void* data, DWORD size) {
    ScopedRegKey opened;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              opened.Receive(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(opened.Get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }
  // The value as stored, read without the code under test.
  static std::string ReadRaw(const std::string& key, const char* name, DWORD* type = nullptr) {
    char data[1024] = {};
    DWORD size = sizeof data;
    DWORD stored_type = 0;
    if (RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &stored_type, data, &size) !=
        ERROR_SUCCESS) {
      return "<absent>";
    }
    if (type) *type = stored_type;
    return std::string(data, size);
  }

  TWin32System system_;
};

TEST_F(SystemRegistry, WriteStoresATerminatedStringAndReadGivesItBack) {
  EXPECT_TRUE(system_.RegWriteString(kCurrentUser, Key("App"), "Path", "C:\\Games\\Demo"));
  DWORD type = 0;
  EXPECT_EQ(ReadRaw(Key("App"), "Path", &type), std::string("C:\\Games\\Demo\0", 14));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  std::string value = "stale";
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, Key("App"), "Path", false, value));
  EXPECT_EQ(value, "C:\\Games\\Demo");
  EXPECT_TRUE(system_.RegWriteString(kCurrentUser, Key("App"), "Empty", ""));
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, Key("App"), "Empty", false, value));
  EXPECT_EQ(value, "");
  const std::string long_text(5000, 'x');
  EXPECT_TRUE(system_.RegWriteString(kCurrentUser, Key("App"), "Long", long_text));
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, Key("App"), "Long", false, value));
  EXPECT_EQ(value, long_text);
}

TEST_F(SystemRegistry, DefaultValueTrailingBackslashAndBlanksInKeys) {
  EXPECT_TRUE(system_.RegWriteString(kCurrentUser, Key("With Blanks\\Deeper Key"), "", "default"));
  EXPECT_EQ(ReadRaw(Key("With Blanks\\Deeper Key"), nullptr), std::string("default\0", 8));
  std::string value;
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, Key("With Blanks\\Deeper Key"), "", false, value));
  EXPECT_EQ(value, "default");

  EXPECT_TRUE(system_.RegWriteString(kCurrentUser, Key("Trailing\\"), "Name", "value"));
  EXPECT_EQ(ReadRaw(Key("Trailing"), "Name"), std::string("value\0", 6));
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, Key("Trailing\\"), "Name", false, value));
  EXPECT_EQ(value, "value");
  EXPECT_TRUE(system_.RegKeyExists(kCurrentUser, Key("Trailing\\")));
}

TEST_F(SystemRegistry, ReadOfAMissingKeyFailsUnlessCreated) {
  std::string value = "unchanged";
  EXPECT_FALSE(system_.RegReadString(kCurrentUser, Key("Missing"), "Name", false, value));
  EXPECT_EQ(value, "unchanged");
  EXPECT_FALSE(system_.RegKeyExists(kCurrentUser, Key("Missing")));
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, Key("Missing"), "Name", true, value));
  EXPECT_EQ(value, "");
  EXPECT_TRUE(system_.RegKeyExists(kCurrentUser, Key("Missing")));
}

TEST_F(SystemRegistry, AbsentValueReadsEmpty) {
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("App"), "Other", "x"));
  std::string value = "stale";
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, Key("App"), "Absent", false, value));
  EXPECT_EQ(value, "");
  value = "stale";
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, Key("App"), "", false, value));  // no default value
  EXPECT_EQ(value, "");
}

TEST_F(SystemRegistry, ExpandableStringsAreReadUnexpandedAndOtherTypesRaise) {
  const char expandable[] = "%TEMP%\\Setup";
  WriteRaw(Key("Types"), "Expand", REG_EXPAND_SZ, expandable, sizeof expandable);
  const DWORD number = 7;
  WriteRaw(Key("Types"), "Number", REG_DWORD, &number, sizeof number);
  WriteRaw(Key("Types"), "Binary", REG_BINARY, "ab", 2);
  const char trailing[] = "two zeros\0";  // stored with both
  WriteRaw(Key("Types"), "Zeros", REG_SZ, trailing, sizeof trailing);

  std::string value;
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, Key("Types"), "Expand", false, value));
  EXPECT_EQ(value, "%TEMP%\\Setup");
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, Key("Types"), "Zeros", false, value));
  EXPECT_EQ(value, "two zeros");
  for (const char* name : {"Number", "Binary"}) {
    try {
      system_.RegReadString(kCurrentUser, Key("Types"), name, false, value);
      ADD_FAILURE() << name << " did not raise";
    } catch (const ESetupError& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid data type for '" + std::string(name) + "'");
    }
  }
}

TEST_F(SystemRegistry, RootsOutsideTheTableCannotBeOpened) {
  std::string value;
  EXPECT_FALSE(system_.RegWriteString(5, Key("App"), "Name", "value"));
  EXPECT_FALSE(system_.RegWriteString(-1, Key("App"), "Name", "value"));
  EXPECT_FALSE(system_.RegReadString(5, Key("App"), "Name", true, value));
  EXPECT_FALSE(system_.RegKeyExists(5, "Software"));
  system_.RegDeleteValue(5, Key("App"), "Name");
  system_.RegDeleteKeyTree(5, Key("App"));
  EXPECT_TRUE(system_.RegKeyExists(kCurrentUser, "Software"));
}

TEST_F(SystemRegistry, WriteThatTheSystemRefusesRaises) {
  // Value names are limited to 16383 characters; the key opens, the write is refused.
  const std::string name(20000, 'n');
  try {
    system_.RegWriteString(kCurrentUser, Key("App"), name, "value");
    ADD_FAILURE() << "no exception";
  } catch (const ESetupError& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to set data for '" + name + "'");
  }
}

TEST_F(SystemRegistry, DeleteValueRemovesOnlyThatValueAndNeverCreatesKeys) {
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("App"), "Gone", "1"));
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("App"), "Stays", "2"));
  system_.RegDeleteValue(kCurrentUser, Key("App"), "Gone");
  EXPECT_EQ(ReadRaw(Key("App"), "Gone"), "<absent>");
  EXPECT_EQ(ReadRaw(Key("App"), "Stays"), std::string("2\0", 2));
  system_.RegDeleteValue(kCurrentUser, Key("App"), "Gone");  // again: silent
  system_.RegDeleteValue(kCurrentUser, Key("Nowhere"), "Gone");
  EXPECT_FALSE(system_.RegKeyExists(kCurrentUser, Key("Nowhere")));
}

TEST_F(SystemRegistry, DeleteKeyTreeRemovesEverySubKeyAndLeavesSiblings) {
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("Tree"), "Top", "1"));
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("Tree\\A\\B\\C"), "Deep", "2"));
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("Tree\\A\\Second"), "", "3"));
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("Tree\\With Blank"), "x", "4"));
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("Sibling"), "Keep", "5"));
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("TreeLonger"), "Keep", "6"));
  system_.RegDeleteKeyTree(kCurrentUser, Key("Tree"));
  EXPECT_FALSE(system_.RegKeyExists(kCurrentUser, Key("Tree")));
  EXPECT_TRUE(system_.RegKeyExists(kCurrentUser, Key("Sibling")));
  EXPECT_TRUE(system_.RegKeyExists(kCurrentUser, Key("TreeLonger")));
  system_.RegDeleteKeyTree(kCurrentUser, Key("Tree"));  // again: silent

  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("Slash\\Child"), "x", "1"));
  system_.RegDeleteKeyTree(kCurrentUser, Key("Slash\\"));
  EXPECT_FALSE(system_.RegKeyExists(kCurrentUser, Key("Slash")));
}

// An empty key text names the root: deleting "its tree" would empty the whole root. Checked on
// the current configuration root, whose loss would hurt this prefix least should it happen.
TEST_F(SystemRegistry, DwordIsStoredAsFourBytes) {
  EXPECT_TRUE(system_.RegWriteDword(kCurrentUser, Key("App"), "EstimatedSize", 0x12345678));
  DWORD type = 0;
  EXPECT_EQ(ReadRaw(Key("App"), "EstimatedSize", &type), std::string("\x78\x56\x34\x12", 4));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
}

// Only a key without values and sub-keys goes; the default value counts as a value.
TEST_F(SystemRegistry, DeleteEmptyKeyLeavesKeysThatHoldAnything) {
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("Parent\\Child"), "Name", "v"));
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, Key("Default"), "", "v"));
  EXPECT_FALSE(system_.RegDeleteEmptyKey(kCurrentUser, Key("Parent")));         // a sub-key
  EXPECT_FALSE(system_.RegDeleteEmptyKey(kCurrentUser, Key("Parent\\Child")));  // a value
  EXPECT_FALSE(system_.RegDeleteEmptyKey(kCurrentUser, Key("Default")));
  EXPECT_FALSE(system_.RegDeleteEmptyKey(kCurrentUser, Key("Missing")));
  system_.RegDeleteValue(kCurrentUser, Key("Parent\\Child"), "Name");
  EXPECT_TRUE(system_.RegDeleteEmptyKey(kCurrentUser, Key("Parent\\Child\\")));
  EXPECT_TRUE(system_.RegDeleteEmptyKey(kCurrentUser, Key("Parent")));
  EXPECT_FALSE(system_.RegKeyExists(kCurrentUser, Key("Parent")));
  EXPECT_TRUE(system_.RegKeyExists(kCurrentUser, Key("Default")));
  EXPECT_FALSE(system_.RegDeleteEmptyKey(kCurrentUser, "\\"));
}

TEST_F(SystemRegistry, DeleteKeyTreeNeverEmptiesARoot) {
  constexpr char kCanary[] = "SetupSystemTestsCanary";
  ASSERT_TRUE(system_.RegWriteString(kCurrentConfig, kCanary, "x", "1"));
  system_.RegDeleteKeyTree(kCurrentConfig, "");
  system_.RegDeleteKeyTree(kCurrentConfig, "\\");
  EXPECT_TRUE(system_.RegKeyExists(kCurrentConfig, kCanary));
  RegDeleteKeyA(HKEY_CURRENT_CONFIG, kCanary);
}

// --- shell links ---

class SystemShellLinks : public SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  }
  void TearDown() override { CoUninitialize(); }
  // A link target in the scratch folder; the link reads its attributes, not its content.
  std::string Target() {
    const std::string target = Path("Program Folder\\App.exe");
    CreateDirectoryA(Path("Program Folder").c_str(), nullptr);
    WriteWholeFile(target, "MZ");
    return target;
  }

  struct TLinkFields {
    std::string Path, Arguments, WorkingFolder, IconFile;
    int IconIndex = -1;
    int ShowCommand = 0;
  };
  static bool ReadLink(const std::string& link, TLinkFields& fields) {
    ScopedComPtr<IShellLinkA> shell_link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                shell_link.Receive()))) {
      return false;
    }
    ScopedComPtr<IPersistFile> file;
    if (FAILED(shell_link->QueryInterface(IID_IPersistFile, file.Receive()))) return false;
    if (FAILED(file->Load(WidenUtf8(link).c_str(), STGM_READ))) return false;
    char text[MAX_PATH * 2] = {};
    shell_link->GetPath(text, sizeof text, nullptr, SLGP_RAWPATH);
    fields.Path = text;
    text[0] = 0;
    shell_link->GetArguments(text, sizeof text);
    fields.Arguments = text;
    text[0] = 0;
    shell_link->GetWorkingDirectory(text, sizeof text);
    fields.WorkingFolder = text;
    text[0] = 0;
    shell_link->GetIconLocation(text, sizeof text, &fields.IconIndex);
    fields.IconFile = text;
    shell_link->GetShowCmd(&fields.ShowCommand);
    return true;
  }
};

TEST_F(SystemShellLinks, LinkHoldsTargetArgumentsFolderAndIcon) {
  const std::string target = Target();
  WriteWholeFile(Path("App.ico"), "not read by the link");
  system_.CreateShellLink(Path("App.lnk"), target, "/quiet \"two words\"", folder_, Path("App.ico"));
  TLinkFields fields;
  ASSERT_TRUE(ReadLink(Path("App.lnk"), fields));
  EXPECT_EQ(fields.Path, target);
  EXPECT_EQ(fields.Arguments, "/quiet \"two words\"");
  EXPECT_EQ(fields.WorkingFolder, folder_);
  EXPECT_EQ(fields.IconFile, Path("App.ico"));
  EXPECT_EQ(fields.IconIndex, 0);
  EXPECT_EQ(fields.ShowCommand, SW_SHOWNORMAL);
}

TEST_F(SystemShellLinks, NoIconLocationWhenTheIconIsTheTarget) {
  const std::string target = Target();
  system_.CreateShellLink(Path("Plain.lnk"), target, "", folder_, target);
  TLinkFields fields;
  ASSERT_TRUE(ReadLink(Path("Plain.lnk"), fields));
  EXPECT_EQ(fields.Path, target);
  EXPECT_EQ(fields.Arguments, "");
  EXPECT_EQ(fields.IconFile, "");
}

TEST_F(SystemShellLinks, MissingLinkFolderIsNotCreatedAndFailsSilently) {
  const std::string target = Target();
  system_.CreateShellLink(Path("Missing\\App.lnk"), target, "", folder_, target);
  EXPECT_FALSE(Exists(Path("Missing")));
}

// --- starting programs ---

using SystemPrograms = SystemTest;

TEST_F(SystemPrograms, ExecuteAndWaitReturnsOnlyAfterTheProgramEnded) {
  ChildRelease release;
  const std::string marker = Path("Ended.txt");  // created by the child just before it ends
  const std::string arguments = WaitArguments(release, marker);
  int calls = 0;
  const bool started = system_.ExecuteAndWait(system_.RunningExecutablePath(), &arguments, [&] {
    if (calls < 20) {
      EXPECT_FALSE(Exists(marker));  // not released yet: the child cannot be done
    }
    if (++calls == 20) release.Release();  // let the child end while the wait goes on
    return true;
  });
  EXPECT_TRUE(started);
  EXPECT_GE(calls, 20);
  EXPECT_TRUE(Exists(marker));
}

TEST_F(SystemPrograms, ExecuteAndWaitStopsWaitingWhenAsked) {
  ChildRelease release;
  const std::string marker = Path("Ended.txt");
  const std::string arguments = WaitArguments(release, marker);
  int calls = 0;
  EXPECT_TRUE(system_.ExecuteAndWait(system_.RunningExecutablePath(), &arguments, [&] { return ++calls < 3; }));
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(Exists(marker));  // the child is still waiting for its release
  release.Release();
  EXPECT_TRUE(WaitForFile(marker));  // and the child is done before the scratch folder goes
}

// A program may end with the code that also means "still running" (259); its end must be seen.
TEST_F(SystemPrograms, ExecuteAndWaitSeesTheEndOfAProgramEndingWithTheStillActiveCode) {
  const std::string arguments = std::string(kChildSwitch) + " exit 259";
  int calls = 0;
  constexpr int kGiveUp = 100000;  // only reached when the end goes unseen
  EXPECT_TRUE(system_.ExecuteAndWait(system_.RunningExecutablePath(), &arguments, [&] { return ++calls < kGiveUp; }));
  EXPECT_LT(calls, kGiveUp);
}

TEST_F(SystemPrograms, ExecuteAndWaitWithoutKeepWaitingWaitsToTheEnd) {
  const std::string arguments = std::string(kChildSwitch) + " exit 0";
  EXPECT_TRUE(system_.ExecuteAndWait(system_.RunningExecutablePath(), &arguments, nullptr));
}

// When the shell cannot start a file it may show its own message box: close any that comes up.
class MessageBoxCloser {
 public:
  MessageBoxCloser() : thread_([this] { Run(); }) {}
  ~MessageBoxCloser() {
    stop_ = true;
    thread_.join();
  }

 private:
  static BOOL CALLBACK Close(HWND window, LPARAM) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (process == GetCurrentProcessId() && std::wstring(name) == L"#32770") PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
  }
  void Run() {
    while (!stop_) {
      EnumWindows(Close, 0);
      Sleep(20);
    }
  }
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(SystemPrograms, ExecuteAndWaitOfAMissingFileFails) {
  MessageBoxCloser closer;
  int calls = 0;
  EXPECT_FALSE(system_.ExecuteAndWait(Path("Missing.exe"), nullptr, [&] { return ++calls > 0; }));
  EXPECT_EQ(calls, 0);
}

TEST_F(SystemPrograms, ShellOpenDoesNotWait) {
  ChildRelease release;
  const std::string marker = Path("Ended.txt");
  system_.ShellOpen(system_.RunningExecutablePath(), WaitArguments(release, marker));
  EXPECT_FALSE(Exists(marker));  // back while the child still waits
  release.Release();
  EXPECT_TRUE(WaitForFile(marker));  // it did run
}

// --- icons ---

using testing::AppendIconEntry;
using testing::IconFile;
using testing::IconHeader;
using testing::IconImage;

// The bytes of RT_ICON 1 in an executable, read as a data file.
bool ReadIconResource(const std::string& exe, std::string& bytes) {
  HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return false;
  bool found = false;
  if (HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(3))) {
    const DWORD size = SizeofResource(module, resource);
    HGLOBAL loaded = LoadResource(module, resource);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data) {
      bytes.assign(static_cast<const char*>(data), size);
      found = true;
    }
  }
  FreeLibrary(module);
  return found;
}

using SystemIcons = SystemTest;

TEST_F(SystemIcons, ReplaceExeIconWritesTheFirstImageAsIconOne) {
  const std::string exe = Path("Target.exe");
  ASSERT_TRUE(CopyFileA(BinFile("finalise.exe").c_str(), exe.c_str(), FALSE));
  // Two images; the first one is stored last, so its directory entry must be followed.
  const std::string first = IconImage(0x40);
  const std::string second = IconImage(0x80);
  std::string file = IconHeader(2);
  const uint32_t images = 6 + 2 * 16;
  AppendIconEntry(file, static_cast<uint32_t>(first.size()), images + static_cast<uint32_t>(second.size()));
  AppendIconEntry(file, static_cast<uint32_t>(second.size()), images);
  file += second + first;
  WriteWholeFile(Path("App.ico"), file);

  EXPECT_TRUE(system_.ReplaceExeIcon(Path("App.ico"), exe));
  std::string stored;
  ASSERT_TRUE(ReadIconResource(exe, stored));
  EXPECT_EQ(stored, first);

  // Again over the icon now present: replaced, not added beside it.
  WriteWholeFile(Path("Other.ico"), IconFile(second));
  EXPECT_TRUE(system_.ReplaceExeIcon(Path("Other.ico"), exe));
  ASSERT_TRUE(ReadIconResource(exe, stored));
  EXPECT_EQ(stored, second);

  // Still a program that runs: without an argument it ends with 1.
  ScopedHandle process(StartProgram(exe, ""));
  ASSERT_TRUE(process.Valid());
  EXPECT_EQ(WaitForExitCode(process.Get(), kFinaliseBoundMs), 1u);
}

TEST_F(SystemIcons, TruncatedIconFileLeavesTheExeUnchanged) {
  const std::string exe = Path("Target.exe");
  ASSERT_TRUE(CopyFileA(BinFile("finalise.exe").c_str(), exe.c_str(), FALSE));
  const std::string before = ReadWholeFile(exe);
  const std::string file = IconFile(IconImage(0x40));
  for (size_t length : {size_t{0}, size_t{5}, kIconHeadBytes - 1, kIconHeadBytes, kIconHeadBytes + 40,
                        file.size() - 1}) {
    WriteWholeFile(Path("Cut.ico"), file.substr(0, length));
    EXPECT_FALSE(system_.ReplaceExeIcon(Path("Cut.ico"), exe)) << length;
  }
  EXPECT_EQ(ReadWholeFile(exe), before);
  std::string stored;
  EXPECT_FALSE(ReadIconResource(exe, stored));
}

TEST_F(SystemIcons, MissingFilesGiveFalse) {
  WriteWholeFile(Path("App.ico"), IconFile(IconImage(1)));
  EXPECT_FALSE(system_.ReplaceExeIcon(Path("Missing.ico"), BinFile("finalise.exe")));
  EXPECT_FALSE(system_.ReplaceExeIcon(Path("App.ico"), Path("Missing.exe")));
  EXPECT_FALSE(Exists(Path("Missing.exe")));
}

// --- FINALISE.EXE ---

class Finalise : public SystemTest {
 protected:
  // A copy of FINALISE.EXE in the temporary folder, where uninstallers start it.
  std::string FinaliseCopy() {
    const std::string copy = Path("FINALISE.EXE");
    EXPECT_TRUE(CopyFileA(BinFile("finalise.exe").c_str(), copy.c_str(), FALSE));
    return copy;
  }
  // A stand-in uninstaller: a copy of this test program.
  std::string Uninstaller(const std::string& folder) {
    EXPECT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const std::string uninstaller = folder + "\\UNINST.EXE";
    EXPECT_TRUE(CopyFileA(system_.RunningExecutablePath().c_str(), uninstaller.c_str(), FALSE));
    return uninstaller;
  }
  static std::string PendingRenames() {
    char data[65536] = {};
    DWORD size = sizeof data - 2;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager",
                     "PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
      return {};
    }
    std::string text(data, size);
    std::replace(text.begin(), text.end(), '\0', '|');
    return text;
  }
  static bool Pending(const std::string& path) {
    char long_path[MAX_PATH * 2] = {};
    GetLongPathNameA(path.c_str(), long_path, sizeof long_path);
    std::string wanted = long_path;
    std::string pending = PendingRenames();
    CharUpperBuffA(wanted.data(), static_cast<DWORD>(wanted.size()));
    CharUpperBuffA(pending.data(), static_cast<DWORD>(pending.size()));
    return !wanted.empty() && pending.find(wanted + "|") != std::string::npos;
  }
};

TEST_F(Finalise, IsAWindowsProgramWithoutConsole) {
  const std::string exe = ReadWholeFile(BinFile("finalise.exe"));
  ASSERT_GT(exe.size(), 0x40u);
  const uint32_t pe = LoadLE32(reinterpret_cast<const uint8_t*>(exe.data()) + 0x3C);
  ASSERT_LT(pe + 24 + 70, exe.size());
  EXPECT_EQ(exe.substr(pe, 4), std::string("PE\0\0", 4));
  // Subsystem: offset 68 of the optional header, which follows the 20-byte file header.
  EXPECT_EQ(LoadLE16(reinterpret_cast<const uint8_t*>(exe.data()) + pe + 24 + 68), IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST_F(Finalise, WaitsForTheUninstallerThenRemovesItAndItsEmptyFolder) {
  const std::string finalise = FinaliseCopy();
  const std::string folder = Path("App");
  const std::string uninstaller = Uninstaller(folder);
  ChildRelease release;
  ScopedHandle running(StartProgram(uninstaller, WaitArguments(release, "-")));
  ASSERT_TRUE(running.Valid());
  ScopedHandle cleaner(StartProgram(finalise, "\"" + uninstaller + "\""));
  ASSERT_TRUE(cleaner.Valid());
  // Held by its running program, the file cannot go yet.
  EXPECT_EQ(WaitForSingleObject(cleaner.Get(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(Exists(uninstaller));
  release.Release();
  EXPECT_EQ(WaitForExitCode(running.Get(), kChildLifetimeMs), 0u);
  EXPECT_EQ(WaitForExitCode(cleaner.Get(), kFinaliseBoundMs), 0u);
  EXPECT_FALSE(Exists(uninstaller));
  EXPECT_FALSE(Exists(folder));
  EXPECT_TRUE(Pending(finalise));  // the copy in the temporary folder goes at the next restart
}

TEST_F(Finalise, KeepsAFolderThatStillHoldsFiles) {
  const std::string finalise = FinaliseCopy();
  const std::string folder = Path("App With Blanks");
  const std::string uninstaller = Uninstaller(folder);
  WriteWholeFile(folder + "\\Settings.ini", "kept");
  ASSERT_TRUE(SetFileAttributesA(uninstaller.c_str(), FILE_ATTRIBUTE_READONLY));
  ScopedHandle cleaner(StartProgram(finalise, "\"" + uninstaller + "\""));
  ASSERT_TRUE(cleaner.Valid());
  EXPECT_EQ(WaitForExitCode(cleaner.Get(), kFinaliseBoundMs), 0u);
  EXPECT_FALSE(Exists(uninstaller));
  EXPECT_TRUE(Exists(folder + "\\Settings.ini"));
}

TEST_F(Finalise, AnAlreadyMissingUninstallerIsNoFailure) {
  const std::string finalise = FinaliseCopy();
  ASSERT_TRUE(CreateDirectoryA(Path("Empty").c_str(), nullptr));
  ScopedHandle cleaner(StartProgram(finalise, "\"" + Path("Empty\\UNINST.EXE") + "\""));
  ASSERT_TRUE(cleaner.Valid());
  EXPECT_EQ(WaitForExitCode(cleaner.Get(), kFinaliseBoundMs), 0u);
  EXPECT_FALSE(Exists(Path("Empty")));
}

TEST_F(Finalise, WithoutAFullPathNothingIsDeleted) {
  const std::string finalise = FinaliseCopy();
  const std::string folder = Path("App");
  const std::string uninstaller = Uninstaller(folder);
  for (const std::string& arguments : {std::string(), std::string("UNINST.EXE"), std::string("\"\"")}) {
    ScopedHandle cleaner(StartProgram(finalise, arguments, folder));
    ASSERT_TRUE(cleaner.Valid());
    EXPECT_EQ(WaitForExitCode(cleaner.Get(), kFinaliseBoundMs), 1u) << arguments;
    EXPECT_TRUE(Exists(uninstaller)) << arguments;
  }
}

TEST_F(Finalise, SchedulesItsOwnDeletionOnlyInTheTemporaryFolder) {
  // Outside the temporary folder: C:\ is writable in the test prefix.
  const std::string outside = "C:\\SetupSystemTests-" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryA(outside.c_str(), nullptr));
  const std::string copy = outside + "\\FINALISE.EXE";
  ASSERT_TRUE(CopyFileA(BinFile("finalise.exe").c_str(), copy.c_str(), FALSE));
  ScopedHandle cleaner(StartProgram(copy, "\"" + Path("Nothing.exe") + "\""));
  ASSERT_TRUE(cleaner.Valid());
  EXPECT_EQ(WaitForExitCode(cleaner.Get(), kFinaliseBoundMs), 0u);
  EXPECT_FALSE(Pending(copy));
  RemoveTree(outside);
}

}  // namespace
}  // namespace setup::win32

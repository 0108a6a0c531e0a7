// The Windows edge in Unicode, against the real system under Wine: names in Greek, Japanese,
// Cyrillic and outside the Basic Multilingual Plane through TSystem, the C runtime's file calls,
// the registry and shell links; paths past the classic limit of 260 characters; the command line
// and environment a program starts with; the error report; the system's lower-casing.
//
// What the system holds is read back with its own wide calls and compared with UTF-16 literals,
// so a character lost on the way (a code-page guess, a "?" for what an ANSI call cannot show)
// is seen. Programs started here are this test program itself with "--unicode-test-child".
#include "platform/win32/system.h"  // first: brings in the Windows headers

#include <gtest/gtest.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archives/archive_file.h"
#include "core/exit_codes.h"
#include "core/file_stream.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "platform/win32/error_log.h"
#include "platform/win32/host.h"
#include "platform/win32/startup_platform.h"
#include "test_support.h"

namespace setup::win32 {
namespace {

constexpr wchar_t kChildSwitch[] = L"--unicode-test-child";
constexpr char kTestKey[] = "Software\\SetupSystemTests\\Unicode";
constexpr wchar_t kTestKeyWide[] = L"Software\\SetupSystemTests\\Unicode";
constexpr int kCurrentUser = 1;
// Bounds that only stop a broken run from hanging.
constexpr DWORD kChildBoundMs = 60000;

// One name per script, and one with characters that take two UTF-16 units each.
const std::u16string kNames[] = {
    u"Ελληνικά αρχεία",
    u"日本語のファイル",
    u"Кириллица Ёё",
    u"Игра \U0001F3AE \U0001D11E",
};

std::string Utf8(std::u16string_view text) { return WideToUtf8(text); }
std::wstring Wide(std::u16string_view text) { return ToWide(text); }

// --- the test program as a child process ---

// "--unicode-test-child args OUT ...": writes every argument of the command line as the program
// hands it to the portable code, one a line, then "env=" and the value of SETUP_ТЕСТ in the
// environment table, to the file OUT (itself an argument), in UTF-8.
// "--unicode-test-child report ...": writes the error report for a Unicode error text; the
// arguments are the report's command line.
bool RunAsChildWhenAsked() {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  const bool child = argv && count >= 3 && std::wstring_view(argv[1]) == kChildSwitch;
  const std::wstring mode = child ? argv[2] : L"";
  if (argv) LocalFree(argv);
  if (!child) return false;
  const std::vector<std::string> args = CommandLineArguments();
  if (mode == L"args" && args.size() >= 3) {
    std::string text;
    for (const std::string& arg : args) text += arg + "\n";
    for (const auto& [name, value] : ReadEnvironmentTable()) {
      if (name == u"SETUP_ТЕСТ") text += "env=" + Utf8(value) + "\n";
    }
    ExitProcess(setup::WriteWholeFile(args[2], text.data(), text.size()) ? 0 : 3);
  }
  if (mode == L"report") {
    Globals().State.Arguments.assign(args.begin() + 2, args.end());
    WriteErrorLog(Utf8(u"Ошибка: файл «日本» \U0001F3AE не найден"), "Setup Thread");
  }
  ExitProcess(2);
}

// Runs before the test framework reads the command line; a child never gets that far.
[[maybe_unused]] const bool g_ran_as_child = RunAsChildWhenAsked();

// Sets environment variables for the programs started while it lives, and restores them.
class ChildEnvironment {
 public:
  void Set(const std::wstring& name, const std::wstring& value) {
    wchar_t old[32768];
    const DWORD length = GetEnvironmentVariableW(name.c_str(), old, 32768);
    saved_.push_back({name, length > 0 && length < 32768 ? std::wstring(old, length) : std::wstring(), length > 0});
    SetEnvironmentVariableW(name.c_str(), value.c_str());
  }
  ~ChildEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      SetEnvironmentVariableW(it->Name.c_str(), it->Had ? it->Value.c_str() : nullptr);
    }
  }

 private:
  struct TSaved {
    std::wstring Name, Value;
    bool Had;
  };
  std::vector<TSaved> saved_;
};

// Starts this program with the child switch and the arguments (a command line of their own).
HANDLE StartChild(const std::wstring& arguments) {
  const std::wstring self = RunningProgramWide();
  std::wstring command = L"\"" + self + L"\" " + kChildSwitch + L" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(self.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

DWORD WaitForExitCode(HANDLE process) {
  if (WaitForSingleObject(process, kChildBoundMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process, &code);
  return code;
}

std::vector<std::string> Described(std::vector<TFolderItem> items) {
  std::vector<std::string> out;
  for (const TFolderItem& item : items) out.push_back(item.Name + (item.Folder ? "/" : ""));
  std::sort(out.begin(), out.end());
  return out;
}

// Each test gets an empty folder of its own, named in Cyrillic: folder_ (UTF-8) and wide_folder_.
class UnicodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateDirectoryW(SystemPath(ScratchRoot()).c_str(), nullptr);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = ScratchRoot() + "\\" + info->name() + Utf8(u" Папка");
    wide_folder_ = WidenUtf8(folder_);
    RemoveTree(folder_);
    ASSERT_TRUE(CreateDirectoryW(wide_folder_.c_str(), nullptr));
  }
  std::string Path(std::u16string_view name) const { return folder_ + "\\" + Utf8(name); }
  std::wstring WidePath(std::u16string_view name) const { return wide_folder_ + L"\\" + Wide(name); }
  static bool SystemHas(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  TWin32System system_;
  std::string folder_;
  std::wstring wide_folder_;
};

// --- files and folders ---

using UnicodeFiles = UnicodeTest;

TEST_F(UnicodeFiles, FilesAndFoldersKeepEveryCharacterThroughTheirLife) {
  for (const std::u16string& name : kNames) {
    SCOPED_TRACE(Utf8(name));
    const std::string folder = Path(name);
    ASSERT_TRUE(system_.CreateFolder(folder));
    EXPECT_TRUE(SystemHas(WidePath(name)));
    EXPECT_TRUE(system_.FolderExists(folder));

    const std::string file = folder + "\\" + Utf8(name) + ".dat";
    const std::string bytes = "bytes of " + Utf8(name) + std::string("\0\xFF\r\n", 4);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    EXPECT_EQ(system_.WriteNewFile(file, data, bytes.size()), TSystem::kCreated);
    EXPECT_EQ(system_.WriteNewFile(file, data, 1), TSystem::kExists);
    EXPECT_TRUE(SystemHas(WidePath(name) + L"\\" + Wide(name) + L".dat"));
    EXPECT_TRUE(system_.FileExists(file));
    EXPECT_TRUE(system_.FileExists(folder + "\\*.dat"));
    EXPECT_EQ(Described(system_.ListFolder(folder)), std::vector<std::string>{Utf8(name) + ".dat"});

    const std::string copy = folder + "\\" + Utf8(u"копия ") + Utf8(name);
    EXPECT_TRUE(system_.CopyFile(file, copy));
    EXPECT_EQ(ReadWholeFile(copy), bytes);

    const std::string newer = file + ".new";
    ASSERT_EQ(system_.WriteNewFile(newer, reinterpret_cast<const uint8_t*>("newer"), 5), TSystem::kCreated);
    EXPECT_TRUE(system_.ReplaceFile(newer, copy));
    EXPECT_EQ(ReadWholeFile(copy), "newer");
    EXPECT_FALSE(system_.FileExists(newer));

    const std::string renamed = folder + "\\" + Utf8(u"Ὀδυσσεύς ") + Utf8(name) + ".dat";
    EXPECT_TRUE(system_.RenameFile(file, renamed));
    EXPECT_FALSE(system_.FileExists(file));
    EXPECT_EQ(ReadWholeFile(renamed), bytes);

    EXPECT_TRUE(system_.DeleteFile(renamed));
    EXPECT_TRUE(system_.DeleteFile(copy));
    EXPECT_TRUE(system_.RemoveFolder(folder));
    EXPECT_FALSE(SystemHas(WidePath(name)));
  }
}

// Names made by another program (here the wide calls directly) come out of the listing as the
// system holds them, and reach the system again unchanged.
TEST_F(UnicodeFiles, ListingGivesNamesAsTheSystemHoldsThem) {
  std::vector<std::string> expected;
  for (const std::u16string& name : kNames) {
    ASSERT_TRUE(CreateDirectoryW(WidePath(name).c_str(), nullptr));
    ScopedHandle file(CreateFileW(WidePath(name + u".txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_HIDDEN, nullptr));
    ASSERT_TRUE(file.Valid());
    expected.push_back(Utf8(name) + "/");
    expected.push_back(Utf8(name) + ".txt");
  }
  std::sort(expected.begin(), expected.end());
  const std::vector<TFolderItem> items = system_.ListFolder(folder_);
  EXPECT_EQ(Described(items), expected);
  for (const TFolderItem& item : items) {
    EXPECT_TRUE(item.Folder ? system_.FolderExists(folder_ + "\\" + item.Name)
                            : system_.FileExists(folder_ + "\\" + item.Name))
        << item.Name;
  }
}

// The C runtime's file calls of the portable code: the file stream and the archive files.
TEST_F(UnicodeFiles, CRuntimeFilesTakeUtf8Names) {
  for (const std::u16string& name : kNames) {
    SCOPED_TRACE(Utf8(name));
    const std::string path = Path(name + u".bin");
    const std::string bytes = Utf8(name);
    ASSERT_TRUE(setup::WriteWholeFile(path, bytes.data(), bytes.size()));
    EXPECT_TRUE(SystemHas(WidePath(name + u".bin")));
    EXPECT_TRUE(setup::FileExists(path));
    EXPECT_EQ(FileLength(path), static_cast<int64_t>(bytes.size()));
    EXPECT_FALSE(TFileStream::Open(path, TFileMode::CreateNew));
    EXPECT_TRUE(TFileStream::Open(Path(name + u".new"), TFileMode::CreateNew));
    EXPECT_TRUE(SystemHas(WidePath(name + u".new")));

    TArchiveFileSystem& files = NativeArchiveFileSystem();
    EXPECT_TRUE(files.Exists(path));
    EXPECT_FALSE(files.IsReadOnly(path));
    {
      auto file = files.OpenForUpdate(path);
      ASSERT_TRUE(file);
      std::string read(bytes.size(), '\0');
      EXPECT_EQ(file->ReadAt(0, read.data(), read.size()), bytes.size());
      EXPECT_EQ(read, bytes);
    }
    const std::string moved = Path(u"→ " + name);
    EXPECT_TRUE(files.Rename(path, moved));
    EXPECT_TRUE(SystemHas(WidePath(u"→ " + name)));
    EXPECT_TRUE(files.Remove(moved));
    EXPECT_FALSE(SystemHas(WidePath(u"→ " + name)));
  }
}

// --- paths past the classic limit ---

using LongPaths = UnicodeTest;

TEST_F(LongPaths, FolderPastThreeHundredCharactersIsMadeWrittenListedAndRemoved) {
  // Five folders of some 60 characters: the deepest ends well past 300.
  std::vector<std::string> levels;
  std::string path = folder_;
  for (int i = 0; i < 5; ++i) {
    path += "\\" + std::to_string(i) + Utf8(u" Очень длинное имя папки, 日本語の名前 \U0001F3AE ελληνικά, end");
    levels.push_back(path);
    ASSERT_TRUE(system_.CreateFolder(path)) << i;
  }
  const std::u16string deepest = Utf8ToWide(levels.back());
  ASSERT_GT(deepest.size(), 300u);
  EXPECT_TRUE(system_.FolderExists(levels.back()));
  EXPECT_TRUE(SystemHas(L"\\\\?\\" + Wide(deepest)));

  const std::string file = levels.back() + "\\" + Utf8(u"Файл.dat");
  const std::string bytes(70000, 'x');
  EXPECT_EQ(system_.WriteNewFile(file, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
            TSystem::kCreated);
  EXPECT_TRUE(SystemHas(L"\\\\?\\" + Wide(deepest) + L"\\Файл.dat"));
  EXPECT_TRUE(system_.FileExists(file));
  // The system reads ".", ".." and "/" in a long path as in a short one.
  EXPECT_TRUE(system_.FileExists(levels.back() + "\\.\\..\\" + levels.back().substr(levels[3].size() + 1) + "/" +
                                 Utf8(u"Файл.dat")));
  EXPECT_EQ(Described(system_.ListFolder(levels.back())), std::vector<std::string>{Utf8(u"Файл.dat")});
  EXPECT_EQ(Described(system_.ListFolder(levels[3])),
            std::vector<std::string>{levels.back().substr(levels[3].size() + 1) + "/"});

  const std::string copy = levels.back() + "\\copy.dat";
  EXPECT_TRUE(system_.CopyFile(file, copy));
  EXPECT_EQ(ReadWholeFile(copy), bytes);
  ASSERT_EQ(system_.WriteNewFile(file + ".new", reinterpret_cast<const uint8_t*>("new"), 3), TSystem::kCreated);
  EXPECT_TRUE(system_.ReplaceFile(file + ".new", copy));
  EXPECT_EQ(ReadWholeFile(copy), "new");
  EXPECT_TRUE(system_.RenameFile(copy, copy + ".renamed"));

  // The C runtime's calls of the portable code.
  EXPECT_TRUE(setup::FileExists(file));
  EXPECT_EQ(FileLength(file), 70000);
  ASSERT_TRUE(setup::WriteWholeFile(levels.back() + "\\stream.bin", "abc", 3));
  TArchiveFileSystem& files = NativeArchiveFileSystem();
  EXPECT_TRUE(files.Exists(levels.back() + "\\stream.bin"));
  EXPECT_TRUE(files.OpenForUpdate(levels.back() + "\\stream.bin"));
  EXPECT_TRUE(files.Rename(levels.back() + "\\stream.bin", levels.back() + "\\archive.bin"));
  EXPECT_TRUE(files.Remove(levels.back() + "\\archive.bin"));

  EXPECT_FALSE(system_.RemoveFolder(levels.back()));  // not empty yet
  EXPECT_TRUE(system_.DeleteFile(file));
  EXPECT_TRUE(system_.DeleteFile(copy + ".renamed"));
  for (size_t i = levels.size(); i-- > 0;) EXPECT_TRUE(system_.RemoveFolder(levels[i])) << i;
  EXPECT_TRUE(system_.ListFolder(folder_).empty());
}

// Wine takes long paths without the prefix too, so the form itself is checked here: the Windows
// layer and the C runtime's branch give the same, full and prefixed from 248 characters on.
TEST(LongPathForms, LongAbsolutePathsAreMadeFullAndPrefixed) {
  const std::string tail =
      "\\" + std::string(120, 'a') + "\\" + Utf8(u"Ελληνικά 日本 \U0001F3AE ") + std::string(120, 'b');
  const std::wstring wide_tail = WidenUtf8(tail);
  const struct {
    std::string Path;
    std::wstring Expected;
  } cases[] = {
      {"C:\\Games\\Demo", L"C:\\Games\\Demo"},  // short: as it is
      {"C:" + tail, L"\\\\?\\C:" + wide_tail},
      {"C:" + tail + "\\.\\sub\\..\\file.txt", L"\\\\?\\C:" + wide_tail + L"\\file.txt"},
      {"c:/" + tail.substr(1) + "/x", L"\\\\?\\c:" + wide_tail + L"\\x"},
      {"\\\\server\\share" + tail, L"\\\\?\\UNC\\server\\share" + wide_tail},
      {"\\\\?\\C:" + tail + "\\..", L"\\\\?\\C:" + wide_tail + L"\\.."},  // prefixed: the caller's own
      {"relative" + tail, L"relative" + wide_tail},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SystemPath(c.Path), c.Expected) << c.Path;
    EXPECT_EQ(WideFilePath(c.Path), c.Expected) << c.Path;
  }
}

// --- registry ---

class UnicodeRegistry : public ::testing::Test {
 protected:
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kTestKeyWide); }
  // The value as stored, read without the code under test.
  static std::u16string ReadRaw(const std::wstring& key, const std::wstring& name, DWORD* type = nullptr) {
    wchar_t data[1024] = {};
    DWORD size = sizeof data;
    DWORD stored_type = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &stored_type, data,
                     &size) != ERROR_SUCCESS) {
      return u"<absent>";
    }
    if (type) *type = stored_type;
    return ToU16(std::wstring_view(data, size / sizeof(wchar_t)));
  }

  TWin32System system_;
};

TEST_F(UnicodeRegistry, KeysNamesAndDataKeepEveryCharacter) {
  const std::u16string key = u"Ключ 日本 \U0001F3AE";
  const std::u16string name = u"Имя Ελληνικά";
  const std::u16string data = u"Значение 日本語 \U0001F3AE";
  const std::string key8 = std::string(kTestKey) + "\\" + Utf8(key);
  const std::wstring wide_key = std::wstring(kTestKeyWide) + L"\\" + Wide(key);

  EXPECT_TRUE(system_.RegWriteString(kCurrentUser, key8, Utf8(name), Utf8(data)));
  DWORD type = 0;
  EXPECT_EQ(ReadRaw(wide_key, Wide(name), &type), data + u'\0');  // UTF-16 with its closing zero
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  std::string value;
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, key8, Utf8(name), false, value));
  EXPECT_EQ(value, Utf8(data));
  EXPECT_TRUE(system_.RegKeyExists(kCurrentUser, key8));
  TWin32StartupPlatform platform;
  value.clear();
  EXPECT_TRUE(platform.ReadRegistryString(kCurrentUser, key8, Utf8(name), value));
  EXPECT_EQ(value, Utf8(data));

  // Written by another program, without a closing zero and as an expandable string.
  const std::wstring other = L"%ПУТЬ%\\日本";
  ScopedRegKey opened;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, wide_key.c_str(), 0, KEY_SET_VALUE, opened.Receive()), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(opened.Get(), L"Другой", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(other.data()),
                           static_cast<DWORD>(other.size() * sizeof(wchar_t))),
            ERROR_SUCCESS);
  EXPECT_TRUE(system_.RegReadString(kCurrentUser, key8, Utf8(u"Другой"), false, value));
  EXPECT_EQ(value, Utf8(u"%ПУТЬ%\\日本"));

  system_.RegDeleteValue(kCurrentUser, key8, Utf8(name));
  EXPECT_EQ(ReadRaw(wide_key, Wide(name)), u"<absent>");
  EXPECT_EQ(ReadRaw(wide_key, L"Другой"), u"%ПУТЬ%\\日本" + std::u16string(1, u'\0'));
}

TEST_F(UnicodeRegistry, KeyTreeWithUnicodeSubKeysIsDeletedWhole) {
  const std::string tree = std::string(kTestKey) + "\\" + Utf8(u"Дерево");
  for (const std::u16string& name : kNames) {
    ASSERT_TRUE(system_.RegWriteString(kCurrentUser, tree + "\\" + Utf8(name) + "\\" + Utf8(name), "", "x"));
  }
  ASSERT_TRUE(system_.RegWriteString(kCurrentUser, std::string(kTestKey) + "\\" + Utf8(u"Деревья"), "", "kept"));
  system_.RegDeleteKeyTree(kCurrentUser, tree);
  EXPECT_FALSE(system_.RegKeyExists(kCurrentUser, tree));
  EXPECT_TRUE(system_.RegKeyExists(kCurrentUser, std::string(kTestKey) + "\\" + Utf8(u"Деревья")));
}

// --- shell links ---

// The target of a loaded link as its item list names it: the list keeps every character of the
// names, where the link's location block may hold the target in the system's code page only.
std::wstring LinkTarget(IShellLinkW* link) {
  PIDLIST_ABSOLUTE items = nullptr;
  if (FAILED(link->GetIDList(&items)) || !items) return L"<no item list>";
  wchar_t path[MAX_PATH] = {};
  const bool found = SHGetPathFromIDListW(items, path);
  CoTaskMemFree(items);
  return found ? path : L"<no path>";
}

class UnicodeShellLinks : public UnicodeTest {
 protected:
  void SetUp() override {
    UnicodeTest::SetUp();
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(UnicodeShellLinks, LinkWithUnicodeNamesReadsBack) {
  ASSERT_TRUE(system_.CreateFolder(Path(u"Программа \U0001F3AE")));
  const std::string target = Path(u"Программа \U0001F3AE\\Игра 日本.exe");
  WriteWholeFile(target, "MZ");
  const std::string link = Path(u"Ярлык Ελληνικά \U0001F3AE.lnk");
  system_.CreateShellLink(link, target, Utf8(u"/имя \"два слова\""), Path(u"Программа \U0001F3AE"),
                          Path(u"Значок.ico"));
  ASSERT_TRUE(SystemHas(WidePath(u"Ярлык Ελληνικά \U0001F3AE.lnk")));

  ScopedComPtr<IShellLinkW> shell_link;
  ASSERT_TRUE(SUCCEEDED(
      CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, shell_link.Receive())));
  ScopedComPtr<IPersistFile> file;
  ASSERT_TRUE(SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, file.Receive())));
  ASSERT_TRUE(SUCCEEDED(file->Load(WidePath(u"Ярлык Ελληνικά \U0001F3AE.lnk").c_str(), STGM_READ)));
  EXPECT_EQ(LinkTarget(shell_link.Get()), WidePath(u"Программа \U0001F3AE\\Игра 日本.exe"));
  wchar_t text[MAX_PATH * 2] = {};
  shell_link->GetArguments(text, MAX_PATH * 2);
  EXPECT_EQ(std::wstring(text), L"/имя \"два слова\"");
  shell_link->GetWorkingDirectory(text, MAX_PATH * 2);
  EXPECT_EQ(std::wstring(text), WidePath(u"Программа \U0001F3AE"));
  int icon = -1;
  shell_link->GetIconLocation(text, MAX_PATH * 2, &icon);
  EXPECT_EQ(std::wstring(text), WidePath(u"Значок.ico"));
}

// --- the program's start and end ---

using UnicodeProcess = UnicodeTest;

TEST_F(UnicodeProcess, CommandLineAndEnvironmentArriveAsUtf8) {
  ChildEnvironment environment;
  environment.Set(L"SETUP_ТЕСТ", L"Значение \U0001F3AE");
  const std::wstring out = WidePath(u"аргументы.txt");
  ScopedHandle child(StartChild(L"args \"" + out + L"\" \"Привет мир\" Ёлка \"日本 \U0001F3AE\" /ПУТЬ=Ω"));
  ASSERT_TRUE(child.Valid());
  EXPECT_EQ(WaitForExitCode(child.Get()), 0u);
  const std::string expected = Utf8(u"--unicode-test-child\nargs\n") + NarrowUtf8(out) + "\n" +
                               Utf8(u"Привет мир\nЁлка\n日本 \U0001F3AE\n/ПУТЬ=Ω\nenv=Значение \U0001F3AE\n");
  EXPECT_EQ(ReadWholeFile(NarrowUtf8(out)), expected);
}

struct TBoxSearch {
  DWORD Process;
  HWND Box = nullptr;
};

BOOL CALLBACK FindBoxOfProcess(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<TBoxSearch*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t name[16] = {};
  GetClassNameW(window, name, 16);
  if (owner != search->Process || std::wstring(name) != L"#32770") return TRUE;
  search->Box = window;
  return FALSE;
}

// Reads the text of a message box that a process shows and closes the box; empty when none
// came up in time.
std::wstring CloseMessageBoxOf(DWORD process) {
  TBoxSearch search{process};
  for (DWORD waited = 0; waited < kChildBoundMs && !search.Box; waited += 50) {
    EnumWindows(FindBoxOfProcess, reinterpret_cast<LPARAM>(&search));
    if (!search.Box) Sleep(50);
  }
  if (!search.Box) return {};
  wchar_t text[4096] = {};
  GetDlgItemTextW(search.Box, 0xFFFF, text, 4096);
  PostMessageW(search.Box, WM_CLOSE, 0, 0);
  return text;
}

TEST_F(UnicodeProcess, ErrorReportIsWrittenInUtf8) {
  ASSERT_TRUE(system_.CreateFolder(Path(u"Временная 日本 \U0001F3AE")));
  ChildEnvironment environment;
  environment.Set(L"TMP", WidePath(u"Временная 日本 \U0001F3AE"));
  environment.Set(L"TEMP", WidePath(u"Временная 日本 \U0001F3AE"));
  environment.Set(L"SETUP_NO_SHELL_OPEN", L"1");
  ScopedHandle child(StartChild(L"report \"файл.txt\" /путь 日本"));
  ASSERT_TRUE(child.Valid());
  const std::wstring box = CloseMessageBoxOf(GetProcessId(child.Get()));
  EXPECT_EQ(WaitForExitCode(child.Get()), static_cast<DWORD>(kExitErrorReport));

  const std::u16string error = u"Ошибка: файл «日本» \U0001F3AE не найден";
  const std::wstring report_path = WidePath(u"Временная 日本 \U0001F3AE\\ErrorLog0000.TXT");
  EXPECT_NE(box.find(Wide(error)), std::wstring::npos) << NarrowUtf8(box);
  EXPECT_NE(box.find(report_path), std::wstring::npos) << NarrowUtf8(box);
  const std::string report = ReadWholeFile(NarrowUtf8(report_path));
  ASSERT_FALSE(report.empty());
  EXPECT_NE(report.substr(0, 3), "\xEF\xBB\xBF");  // no byte-order mark
  EXPECT_TRUE(IsValidUtf8(report));
  EXPECT_NE(report.find(": " + Utf8(error) + "\r\n"), std::string::npos) << report;
  // The command line upper-cased in ASCII letters only, the rest as it came.
  EXPECT_NE(report.find(": " + Utf8(u"файл.TXT /путь 日本") + "\r\n"), std::string::npos) << report;
}

// --- the system's lower-casing ---

TEST(UnicodeHost, LowerLocaleFollowsTheSystemInEveryScript) {
  TWin32Host host;
  EXPECT_EQ(host.LowerLocale(Utf8(u"КИРИЛЛИЦА ЁЖИК Ѓ Є І Ї")), Utf8(u"кириллица ёжик ѓ є і ї"));
  EXPECT_EQ(host.LowerLocale(Utf8(u"ΕΛΛΗΝΙΚΆ ΑΒΓΔ Ω")), Utf8(u"ελληνικά αβγδ ω"));
  EXPECT_EQ(host.LowerLocale(Utf8(u"SETUP.EXE 日本 \U0001F3AE")), Utf8(u"setup.exe 日本 \U0001F3AE"));
  EXPECT_EQ(host.LowerLocale(""), "");
}

}  // namespace
}  // namespace setup::win32

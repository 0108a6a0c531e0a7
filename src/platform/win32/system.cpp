// TSystem on Windows. The engine's paths and registry texts are UTF-8; every call here is the
// system's wide one, with the texts converted right at the call and names the system hands out
// converted back. File paths go through SystemPath, which gives long ones the form that works
// past 260 characters. The icon file read by ReplaceExeIcon is outside data: its head is
// checked by the portable reader of core/icon_file.h before any image is read.
#include "platform/win32/system.h"

#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>

#include "core/error.h"
#include "core/icon_file.h"
#include "core/text.h"
#include "platform/win32/native_view.h"

namespace setup::win32 {

namespace {

// The drive list must fit this many characters, or CdRomRoots gives up.
constexpr DWORD kDriveListChars = 129;
// Registry keys nest at most 512 deep; a tree deeper than that is not followed.
constexpr int kMaxKeyDepth = 512;
// A key name is at most 255 characters.
constexpr DWORD kMaxKeyNameChars = 255;
// Reads of a registry value that keeps growing under us before the read gives up.
constexpr int kValueReadAttempts = 8;

// Owns a search handle of FindFirstFileW.
class ScopedFind {
 public:
  ScopedFind(const std::string& pattern, WIN32_FIND_DATAW& data)
      : h_(FindFirstFileW(SystemPath(pattern).c_str(), &data)) {}
  ~ScopedFind() {
    if (Valid()) FindClose(h_);
  }
  ScopedFind(const ScopedFind&) = delete;
  ScopedFind& operator=(const ScopedFind&) = delete;
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return h_; }

 private:
  HANDLE h_;
};

// Owns an update session of BeginUpdateResourceW; discards the changes unless committed.
class ScopedResourceUpdate {
 public:
  explicit ScopedResourceUpdate(const std::string& exe) : h_(BeginUpdateResourceW(SystemPath(exe).c_str(), FALSE)) {}
  ~ScopedResourceUpdate() {
    if (h_) EndUpdateResourceW(h_, TRUE);
  }
  ScopedResourceUpdate(const ScopedResourceUpdate&) = delete;
  ScopedResourceUpdate& operator=(const ScopedResourceUpdate&) = delete;
  HANDLE Get() const { return h_; }
  // Writes the changes into the file; true when that worked.
  bool Commit() {
    HANDLE h = h_;
    h_ = nullptr;
    return EndUpdateResourceW(h, FALSE) != FALSE;
  }

 private:
  HANDLE h_;
};

// Reads exactly n bytes at the current position.
bool ReadExactly(HANDLE file, void* buffer, DWORD n) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (n > 0) {
    DWORD got = 0;
    if (!ReadFile(file, out, n, &got, nullptr) || got == 0) return false;
    out += got;
    n -= got;
  }
  return true;
}

bool IsFolderSeparator(char c) { return c == '\\' || c == '/'; }

// The key text without the trailing backslashes the scripts may give it.
std::string WithoutTrailingBackslashes(std::string key) {
  while (!key.empty() && key.back() == '\\') key.pop_back();
  return key;
}

// Deletes the sub-keys of name below parent, depth first, then name itself. Keys that cannot
// be opened or deleted are left; the rest goes.
void DeleteKeyTree(HKEY parent, const std::wstring& name, int depth) {
  if (depth > kMaxKeyDepth) return;
  std::vector<std::wstring> children;
  {
    ScopedRegKey key;
    if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | RegistryView(), key.Receive()) == ERROR_SUCCESS) {
      // Names first, deletions after: deleting while enumerating shifts the indexes.
      for (DWORD index = 0;; ++index) {
        wchar_t child[kMaxKeyNameChars + 1];
        DWORD length = kMaxKeyNameChars + 1;
        LONG result = RegEnumKeyExW(key.Get(), index, child, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) break;
        children.emplace_back(child, length);
      }
      for (const std::wstring& child : children) DeleteKeyTree(key.Get(), child, depth + 1);
    }
  }
  RegDeleteKeyExW(parent, name.c_str(), RegistryView(), 0);
}

// Opens a key below a root of the table, with creation when asked.
LONG OpenKey(HKEY root, const std::string& key, bool create, REGSAM access, ScopedRegKey& opened) {
  const std::wstring name = WidenUtf8(key);
  if (create) {
    return RegCreateKeyExW(root, name.c_str(), 0, nullptr, 0, access | RegistryView(), nullptr, opened.Receive(),
                           nullptr);
  }
  return RegOpenKeyExW(root, name.c_str(), 0, access | RegistryView(), opened.Receive());
}

}  // namespace

std::string SystemMessageText(unsigned long code) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string out = text ? NarrowUtf8(text) : "System error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  return out;
}

// --- files and folders ---
// Each call runs with the system folder's redirection off in the 64-bit view (ScopedNativeFiles):
// the redirection is per thread, and the install's writer threads make files too.

std::unique_ptr<TFileStream> TWin32System::OpenFile(const std::string& path, TFileMode mode) {
  const ScopedNativeFiles native;
  return TSystem::OpenFile(path, mode);
}

TSystem::TNewFileResult TWin32System::WriteNewFile(const std::string& path, const uint8_t* data, size_t size) {
  const ScopedNativeFiles native;
  // The handle's calls directly: the C library's file layer costs as much again per small file.
  const std::wstring name = SystemPath(path);
  const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? kExists : kFailed;
  }
  bool written = true;
  while (size > 0 && written) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    DWORD done = 0;
    written = WriteFile(file, data, piece, &done, nullptr) && done == piece;
    data += done;
    size -= done;
  }
  written = CloseHandle(file) && written;
  if (written) return kCreated;
  DeleteFileW(name.c_str());
  return kFailed;
}

bool TWin32System::FileExists(const std::string& path) {
  const ScopedNativeFiles native;
  WIN32_FIND_DATAW data;
  ScopedFind find(path, data);
  return find.Valid() && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int64_t TWin32System::FileSize(const std::string& path) {
  const ScopedNativeFiles native;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(SystemPath(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return -1;
  }
  return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

bool TWin32System::FolderExists(const std::string& path) {
  const ScopedNativeFiles native;
  const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool TWin32System::CreateFolder(const std::string& path) {
  const ScopedNativeFiles native;
  return CreateDirectoryW(SystemPath(path).c_str(), nullptr) != FALSE;
}

bool TWin32System::RemoveFolder(const std::string& path) {
  const ScopedNativeFiles native;
  return RemoveDirectoryW(SystemPath(path).c_str()) != FALSE;
}

bool TWin32System::DeleteFile(const std::string& path) {
  const ScopedNativeFiles native;
  const std::wstring name = SystemPath(path);
  if (DeleteFileW(name.c_str())) return true;
  if (GetLastError() != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return false;
  if (!SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return false;
  if (DeleteFileW(name.c_str())) return true;
  // Still in use or otherwise held: leave the file as it was found.
  SetFileAttributesW(name.c_str(), attributes);
  return false;
}

bool TWin32System::CopyFile(const std::string& from, const std::string& to) {
  const ScopedNativeFiles native;
  return CopyFileW(SystemPath(from).c_str(), SystemPath(to).c_str(), FALSE) != FALSE;
}

bool TWin32System::RenameFile(const std::string& from, const std::string& to) {
  const ScopedNativeFiles native;
  return MoveFileW(SystemPath(from).c_str(), SystemPath(to).c_str()) != FALSE;
}

bool TWin32System::ReplaceFile(const std::string& from, const std::string& to) {
  const ScopedNativeFiles native;
  const std::wstring target = SystemPath(to);
  // The direct write this stands in for (CREATE_ALWAYS) refuses these files: so does this.
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return MoveFileExW(SystemPath(from).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
         FALSE;
}

bool TWin32System::CanReplaceFile(const std::string& path) {
  const ScopedNativeFiles native;
  const std::wstring target = SystemPath(path);
  // The attributes ReplaceFile refuses, whatever the file's rights say (an administrator, or
  // Wine run as root, may open a read-only file for writing).
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes &
       (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  // Writing and deleting asked for, everything shared: a program that holds the file without
  // sharing either (a running game, its executable) makes this fail as it would the replacement.
  const HANDLE file =
      CreateFileW(target.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

std::vector<TFolderItem> TWin32System::ListFolder(const std::string& folder) {
  const ScopedNativeFiles native;
  std::vector<TFolderItem> items;
  std::string pattern = folder;
  if (!pattern.empty() && !IsFolderSeparator(pattern.back())) pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAW data;
  ScopedFind find(pattern, data);
  if (!find.Valid()) return items;
  do {
    const std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    items.push_back(TFolderItem{NarrowUtf8(name), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(find.Get(), &data));
  return items;
}

std::vector<std::string> TWin32System::CdRomRoots() {
  wchar_t list[kDriveListChars + 1] = {};  // one more for the closing zero of a full list
  const DWORD length = GetLogicalDriveStringsW(kDriveListChars, list);
  if (length > kDriveListChars) throw ESetupError(SystemMessageText(ERROR_OUTOFMEMORY));
  std::vector<std::string> roots;
  for (const wchar_t* root = list; root < list + length && *root; root += std::wcslen(root) + 1) {
    if (GetDriveTypeW(root) == DRIVE_CDROM) roots.push_back(NarrowUtf8(root));
  }
  return roots;
}

std::string TWin32System::TempFolder() { return NarrowUtf8(TempFolderWide()); }

std::string TWin32System::RunningExecutablePath() { return NarrowUtf8(RunningProgramWide()); }

// --- registry ---

long ReadRegistryText(HKEY key, const std::string& name, std::string& value) {
  const std::wstring value_name = WidenUtf8(name);
  DWORD type = 0;
  DWORD size = 0;
  LONG result = RegQueryValueExW(key, value_name.c_str(), nullptr, &type, nullptr, &size);
  std::wstring data;
  // The value may grow between asking for its size and reading it: ask again then.
  for (int attempt = 0; result == ERROR_SUCCESS || result == ERROR_MORE_DATA; ++attempt) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw ESetupError("Invalid data type for '" + name + "'");
    if (attempt > 0 && result == ERROR_SUCCESS) break;
    if (attempt == kValueReadAttempts) return ERROR_MORE_DATA;
    // One character more than asked for: an odd byte count or a value stored without its
    // closing zero still fits.
    data.assign(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    result = RegQueryValueExW(key, value_name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  }
  if (result != ERROR_SUCCESS) return result;
  data.resize(size / sizeof(wchar_t));
  while (!data.empty() && data.back() == L'\0') data.pop_back();
  value = NarrowUtf8(data);
  return ERROR_SUCCESS;
}

bool TWin32System::RegWriteString(int root, const std::string& key, const std::string& name, const std::string& value) {
  const HKEY root_key = RootIndexToHandle(root);
  if (!root_key) return false;
  ScopedRegKey opened;
  if (OpenKey(root_key, key, true, KEY_ALL_ACCESS, opened) != ERROR_SUCCESS) return false;
  const std::wstring data = WidenUtf8(value);
  const DWORD size = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));  // with the closing zero
  if (RegSetValueExW(opened.Get(), WidenUtf8(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                     size) != ERROR_SUCCESS) {
    throw ESetupError("Failed to set data for '" + name + "'");
  }
  return true;
}

bool TWin32System::RegWriteDword(int root, const std::string& key, const std::string& name, uint32_t value) {
  const HKEY root_key = RootIndexToHandle(root);
  if (!root_key) return false;
  ScopedRegKey opened;
  if (OpenKey(root_key, key, true, KEY_ALL_ACCESS, opened) != ERROR_SUCCESS) return false;
  const DWORD data = value;
  if (RegSetValueExW(opened.Get(), WidenUtf8(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                     sizeof data) != ERROR_SUCCESS) {
    throw ESetupError("Failed to set data for '" + name + "'");
  }
  return true;
}

bool TWin32System::RegReadString(int root, const std::string& key, const std::string& name, bool create,
                                 std::string& value) {
  const HKEY root_key = RootIndexToHandle(root);
  if (!root_key) return false;
  ScopedRegKey opened;
  if (OpenKey(root_key, key, create, KEY_ALL_ACCESS, opened) != ERROR_SUCCESS) return false;
  std::string data;
  const long result = ReadRegistryText(opened.Get(), name, data);
  if (result == ERROR_FILE_NOT_FOUND) {
    value.clear();
    return true;
  }
  if (result != ERROR_SUCCESS) return false;
  value = data;
  return true;
}

void TWin32System::RegDeleteValue(int root, const std::string& key, const std::string& name) {
  const HKEY root_key = RootIndexToHandle(root);
  if (!root_key) return;
  ScopedRegKey opened;
  if (OpenKey(root_key, key, false, KEY_SET_VALUE, opened) != ERROR_SUCCESS) return;
  RegDeleteValueW(opened.Get(), WidenUtf8(name).c_str());
}

bool TWin32System::RegKeyExists(int root, const std::string& key) {
  const HKEY root_key = RootIndexToHandle(root);
  if (!root_key) return false;
  ScopedRegKey opened;
  return OpenKey(root_key, key, false, KEY_READ, opened) == ERROR_SUCCESS;
}

void TWin32System::RegDeleteKeyTree(int root, const std::string& key) {
  const HKEY root_key = RootIndexToHandle(root);
  if (!root_key) return;
  // An empty key text names the root itself: its whole content would go. Never that.
  const std::string name = WithoutTrailingBackslashes(key);
  if (name.empty()) return;
  DeleteKeyTree(root_key, WidenUtf8(name), 0);
}

bool TWin32System::RegDeleteEmptyKey(int root, const std::string& key) {
  const HKEY root_key = RootIndexToHandle(root);
  if (!root_key) return false;
  const std::string name = WithoutTrailingBackslashes(key);
  if (name.empty()) return false;
  {
    ScopedRegKey opened;
    if (OpenKey(root_key, name, false, KEY_READ, opened) != ERROR_SUCCESS) return false;
    DWORD sub_keys = 0, values = 0;
    if (RegQueryInfoKeyW(opened.Get(), nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        sub_keys != 0 || values != 0) {
      return false;
    }
  }
  return RegDeleteKeyExW(root_key, WidenUtf8(name).c_str(), RegistryView(), 0) == ERROR_SUCCESS;
}

// --- shell ---

bool TWin32System::CreateShellLink(const std::string& link, const std::string& target, const std::string& arguments,
                                   const std::string& working_folder, const std::string& icon_file) {
  ScopedComPtr<IShellLinkW> shell_link;
  HRESULT result =
      CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, shell_link.Receive());
  if (SUCCEEDED(result)) {
    shell_link->SetPath(WidenUtf8(target).c_str());
    shell_link->SetArguments(WidenUtf8(arguments).c_str());
    shell_link->SetWorkingDirectory(WidenUtf8(working_folder).c_str());
    shell_link->SetShowCmd(SW_SHOWNORMAL);
    if (icon_file != target) shell_link->SetIconLocation(WidenUtf8(icon_file).c_str(), 0);
    ScopedComPtr<IPersistFile> file;
    result = shell_link->QueryInterface(IID_IPersistFile, file.Receive());
    if (SUCCEEDED(result)) result = file->Save(SystemPath(link).c_str(), FALSE);
  }
  if (SUCCEEDED(result)) return true;
  // The COM calls report through their result, not the thread's last error: the run log reads
  // that, so the result goes there (a Win32 error inside the result as the error itself).
  SetLastError(HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result) : static_cast<DWORD>(result));
  return false;
}

bool TWin32System::ExecuteAndWait(const std::string& file, const std::string* parameters,
                                  const std::function<bool()>& keep_waiting) {
  const std::wstring wide_file = WidenUtf8(file);
  const std::wstring wide_parameters = parameters ? WidenUtf8(*parameters) : std::wstring();
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = ApplicationWindow();
  info.lpFile = wide_file.c_str();
  info.lpParameters = parameters ? wide_parameters.c_str() : nullptr;
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info)) return false;
  // No process when the shell handed a document to a program that was already running.
  ScopedHandle process(info.hProcess);
  if (!process.Valid()) return true;
  // The end of the process is read from its handle, not its exit code: a program may well
  // end with the code that means "still active".
  while (WaitForSingleObject(process.Get(), 1) == WAIT_TIMEOUT) {
    if (keep_waiting && !keep_waiting()) break;
  }
  return true;
}

void TWin32System::ShellOpen(const std::string& file, const std::string& parameters) {
  ShellExecuteW(nullptr, nullptr, WidenUtf8(file).c_str(), WidenUtf8(parameters).c_str(), nullptr, SW_SHOWNORMAL);
}

std::string TWin32System::LastErrorText() {
  const DWORD code = GetLastError();
  if (code == ERROR_SUCCESS) return {};
  return SystemMessageText(code) + " [" + std::to_string(code) + "]";
}

bool TWin32System::ReplaceExeIcon(const std::string& icon_file, const std::string& exe_file) {
  std::string image;
  {
    ScopedHandle icon(CreateFileW(SystemPath(icon_file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!icon.Valid()) return false;
    LARGE_INTEGER file_size;
    if (!GetFileSizeEx(icon.Get(), &file_size) || file_size.QuadPart < 0) return false;
    uint8_t head[kIconHeadBytes];
    if (static_cast<uint64_t>(file_size.QuadPart) < kIconHeadBytes) return false;
    if (!ReadExactly(icon.Get(), head, kIconHeadBytes)) return false;
    TIconImagePlace place;
    if (!FindFirstIconImage(head, sizeof head, static_cast<uint64_t>(file_size.QuadPart), place)) return false;
    LARGE_INTEGER position;
    position.QuadPart = place.Offset;
    if (!SetFilePointerEx(icon.Get(), position, nullptr, FILE_BEGIN)) return false;
    image.resize(place.Size);
    if (!ReadExactly(icon.Get(), image.data(), place.Size)) return false;
  }
  ScopedResourceUpdate update(exe_file);
  if (!update.Get()) return false;
  if (!UpdateResourceW(update.Get(), MAKEINTRESOURCEW(3) /* RT_ICON */, MAKEINTRESOURCEW(1),
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), image.data(), static_cast<DWORD>(image.size()))) {
    return false;
  }
  return update.Commit();
}

}  // namespace setup::win32

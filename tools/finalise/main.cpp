// FINALISE.EXE: removes an uninstaller after it has finished.
//
// A running program cannot delete its own file, so the uninstaller copies this program into the
// temporary folder, starts it with its own full path (quoted) as the one argument and ends.
// Without a handle to wait on, the only sign that the uninstaller is gone is that its file can
// be deleted: the delete is tried every 100 ms for up to a minute. Then the uninstaller's folder
// is removed if nothing else is left in it, and this program asks to be deleted at the next
// restart, since nothing is left to delete it earlier.
//
// Exit code 0 when the uninstaller file is gone, 1 when there was no usable argument or the
// file could not be deleted in time. No window, no message: nobody is left to read one.
#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

namespace {

constexpr DWORD kRetryMilliseconds = 100;
constexpr DWORD kGiveUpMilliseconds = 60000;
// Longest path taken, in characters, with the closing zero; the wide calls allow this much.
constexpr int kPathChars = 32768;

// Paths live here rather than on the stack: 64 KiB each.
wchar_t g_target[kPathChars];       // the uninstaller, from the command line
wchar_t g_module[kPathChars];       // this program's file
wchar_t g_temp[kPathChars];         // the temporary folder
wchar_t g_long_module[kPathChars];  // the two above in their long forms
wchar_t g_long_temp[kPathChars];

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t'; }

// Copies the first argument after the program name into out; quotes group and are dropped.
bool FirstArgument(const wchar_t* command_line, wchar_t* out, int out_chars) {
  const wchar_t* p = command_line;
  // The program name: quoted text, or text up to the first blank. Windows takes no escapes here.
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p) ++p;
  } else {
    while (*p && !IsSpace(*p)) ++p;
  }
  while (IsSpace(*p)) ++p;
  int n = 0;
  bool quoted = false;
  for (; *p && (quoted || !IsSpace(*p)); ++p) {
    if (*p == L'"') {
      quoted = !quoted;
      continue;
    }
    if (n + 1 >= out_chars) return false;
    out[n++] = *p;
  }
  out[n] = 0;
  return n > 0;
}

// Only a full path is acted on ("C:\..." or "\\server\share\..."): a relative one would name a
// file in whatever folder this program happens to run in.
bool IsFullPath(const wchar_t* path) {
  const bool drive = ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
                     path[1] == L':' && path[2] == L'\\';
  const bool network = path[0] == L'\\' && path[1] == L'\\' && path[2] && path[2] != L'\\';
  return drive || network;
}

// Deletes the file once its program has ended; true when the file is gone.
bool DeleteWhenReleased(const wchar_t* path) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (DeleteFileW(path)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (error == ERROR_ACCESS_DENIED) {
      // A read-only uninstaller would never go; a running one keeps refusing either way.
      const DWORD attributes = GetFileAttributesW(path);
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
      }
    }
    if (GetTickCount() - start >= kGiveUpMilliseconds) return false;
    Sleep(kRetryMilliseconds);
  }
}

// Removes the folder of path when it is empty; RemoveDirectory refuses any other.
void RemoveFolderIfEmpty(wchar_t* path) {
  wchar_t* last = nullptr;
  for (wchar_t* p = path; *p; ++p) {
    if (*p == L'\\') last = p;
  }
  if (!last) return;
  *last = 0;
  RemoveDirectoryW(path);
  *last = L'\\';
}

// Full long form of a path, or false.
bool LongPath(const wchar_t* path, wchar_t* out) {
  const DWORD n = GetLongPathNameW(path, out, kPathChars);
  return n > 0 && n < static_cast<DWORD>(kPathChars);
}

// Asks for this program's file to be deleted at the next restart, but only for a copy in the
// temporary folder, where the uninstaller puts it: a copy anywhere else belongs to someone.
void ScheduleOwnDeletion() {
  const DWORD module_length = GetModuleFileNameW(nullptr, g_module, kPathChars);
  if (module_length == 0 || module_length >= static_cast<DWORD>(kPathChars)) return;
  const DWORD temp_length = GetTempPathW(kPathChars, g_temp);
  if (temp_length == 0 || temp_length >= static_cast<DWORD>(kPathChars)) return;
  if (!LongPath(g_module, g_long_module) || !LongPath(g_temp, g_long_temp)) return;
  const int folder_length = lstrlenW(g_long_temp);
  if (folder_length == 0 || lstrlenW(g_long_module) <= folder_length) return;
  if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, g_long_module, folder_length, g_long_temp, folder_length) !=
      CSTR_EQUAL) {
    return;
  }
  // "C:\Temp" must not pass for "C:\TempOther\...".
  if (g_long_temp[folder_length - 1] != L'\\' && g_long_module[folder_length] != L'\\') return;
  MoveFileExW(g_long_module, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int code = 1;
  if (FirstArgument(GetCommandLineW(), g_target, kPathChars) && IsFullPath(g_target)) {
    if (DeleteWhenReleased(g_target)) {
      RemoveFolderIfEmpty(g_target);
      code = 0;
    }
  }
  ScheduleOwnDeletion();
  return code;
}

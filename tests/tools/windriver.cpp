// windriver: a small console program that the end-to-end tests run inside the same Wine
// prefix and X display as setup.exe, to find its windows, read their controls and press
// their buttons.
//
//   windriver wait CAPTION [TIMEOUT_MS]            prints the window's HWND in hex
//   windriver texts CAPTION                        prints CLASS<TAB>ID<TAB>TEXT per child
//   windriver press CAPTION BUTTONTEXT             posts BM_CLICK to the matching button
//   windriver answer CAPTION BUTTONTEXT [TIMEOUT_MS]   wait + texts + press
//   windriver list                                 prints HWND<TAB>CLASS<TAB>CAPTION
//
// Only visible top-level windows whose caption equals CAPTION exactly are considered.
// Child texts are read with WM_GETTEXT through SendMessageTimeout so that a hung program
// cannot hang the driver; captions are read from the window manager's copy, which never
// sends a message. CR, LF and TAB in texts are written as \r, \n and \t so that every
// control stays on one line. Output is UTF-8.
//
// The driver stands apart from the code it tests: it uses <windows.h> directly and nothing
// of setup.exe's own sources.
//
// Exit codes: 0 success, 1 the window or button was not found (message on stderr),
// 2 bad command line.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

// How long one WM_GETTEXT may take before the control counts as unreadable.
constexpr UINT kMessageTimeoutMs = 2000;
// Longest control text read; a message box text is far shorter.
constexpr LRESULT kMaxTextLength = 1 << 20;
// Longest caption compared; longer captions are cut and never match.
constexpr int kMaxCaptionLength = 4096;
constexpr DWORD kDefaultTimeoutMs = 20000;
constexpr DWORD kPollIntervalMs = 50;

enum ExitCode { kExitOk = 0, kExitNotFound = 1, kExitUsage = 2 };

// ---- output ---------------------------------------------------------------------------

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

// Writes to a console as wide text, to a file or pipe as UTF-8 bytes.
void Write(DWORD which, const std::wstring& text) {
  HANDLE out = GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  std::string bytes = ToUtf8(text);
  WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Print(const std::wstring& line) { Write(STD_OUTPUT_HANDLE, line + L"\n"); }
void Fail(const std::wstring& message) { Write(STD_ERROR_HANDLE, L"windriver: " + message + L"\n"); }

std::wstring Hex(HWND hwnd) {
  wchar_t buffer[32];
  swprintf(buffer, 32, L"0x%08lX", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(hwnd)));
  return buffer;
}

std::wstring Escape(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    if (c == L'\r') out += L"\\r";
    else if (c == L'\n') out += L"\\n";
    else if (c == L'\t') out += L"\\t";
    else out += c;
  }
  return out;
}

// ---- reading windows ------------------------------------------------------------------

std::wstring Caption(HWND hwnd) {
  std::vector<wchar_t> buffer(kMaxCaptionLength + 1, L'\0');
  int length = InternalGetWindowText(hwnd, buffer.data(), kMaxCaptionLength + 1);
  return std::wstring(buffer.data(), length > 0 ? length : 0);
}

std::wstring ClassName(HWND hwnd) {
  wchar_t buffer[256] = {};
  int length = GetClassNameW(hwnd, buffer, 256);
  return std::wstring(buffer, length > 0 ? length : 0);
}

// The control's text via WM_GETTEXT; empty when the owner does not answer in time.
std::wstring ControlText(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                           &length)) {
    return {};
  }
  if (length == 0) return {};
  if (static_cast<LRESULT>(length) > kMaxTextLength) length = kMaxTextLength;
  std::vector<wchar_t> buffer(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(buffer.data()),
                           SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied)) {
    return {};
  }
  if (copied > length) copied = length;
  return std::wstring(buffer.data(), copied);
}

BOOL CALLBACK CollectVisible(HWND hwnd, LPARAM param) {
  if (IsWindowVisible(hwnd)) reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
  return TRUE;
}

BOOL CALLBACK CollectAll(HWND hwnd, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
  return TRUE;
}

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> windows;
  EnumWindows(CollectVisible, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

std::vector<HWND> ChildWindows(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(parent, CollectAll, reinterpret_cast<LPARAM>(&children));
  return children;
}

HWND FindByCaption(const std::wstring& caption) {
  for (HWND hwnd : TopLevelWindows()) {
    if (Caption(hwnd) == caption) return hwnd;
  }
  return nullptr;
}

HWND WaitForCaption(const std::wstring& caption, DWORD timeout_ms) {
  ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (HWND hwnd = FindByCaption(caption)) return hwnd;
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(kPollIntervalMs);
  }
}

// A button text as the user reads it: "&" marks the accelerator, "&&" stands for "&".
std::wstring WithoutAccelerators(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'&') {
      if (i + 1 < text.size() && text[i + 1] == L'&') {
        out += L'&';
        ++i;
      }
      continue;
    }
    out += text[i];
  }
  return out;
}

HWND FindButton(HWND parent, const std::wstring& text) {
  std::wstring wanted = WithoutAccelerators(text);
  for (HWND child : ChildWindows(parent)) {
    if (_wcsicmp(ClassName(child).c_str(), L"Button") != 0) continue;
    if (WithoutAccelerators(ControlText(child)) == wanted) return child;
  }
  return nullptr;
}

// ---- commands -------------------------------------------------------------------------

void PrintTexts(HWND window) {
  for (HWND child : ChildWindows(window)) {
    wchar_t id[16];
    swprintf(id, 16, L"%d", GetDlgCtrlID(child));
    Print(ClassName(child) + L"\t" + id + L"\t" + Escape(ControlText(child)));
  }
}

bool ParseTimeout(const wchar_t* text, DWORD& timeout_ms) {
  wchar_t* end = nullptr;
  unsigned long value = wcstoul(text, &end, 10);
  if (end == text || *end != L'\0') return false;
  timeout_ms = static_cast<DWORD>(value);
  return true;
}

int CommandWait(const std::wstring& caption, DWORD timeout_ms) {
  HWND hwnd = WaitForCaption(caption, timeout_ms);
  if (!hwnd) {
    Fail(L"no visible window \"" + caption + L"\" within " + std::to_wstring(timeout_ms) + L" ms");
    return kExitNotFound;
  }
  Print(Hex(hwnd));
  return kExitOk;
}

int CommandTexts(const std::wstring& caption) {
  HWND hwnd = FindByCaption(caption);
  if (!hwnd) {
    Fail(L"no visible window \"" + caption + L"\"");
    return kExitNotFound;
  }
  PrintTexts(hwnd);
  return kExitOk;
}

int Press(HWND window, const std::wstring& caption, const std::wstring& button_text) {
  HWND button = FindButton(window, button_text);
  if (!button) {
    Fail(L"window \"" + caption + L"\" has no button \"" + button_text + L"\"");
    return kExitNotFound;
  }
  if (!PostMessageW(button, BM_CLICK, 0, 0)) {
    Fail(L"PostMessage(BM_CLICK) failed with error " + std::to_wstring(GetLastError()));
    return kExitNotFound;
  }
  return kExitOk;
}

int CommandPress(const std::wstring& caption, const std::wstring& button_text) {
  HWND hwnd = FindByCaption(caption);
  if (!hwnd) {
    Fail(L"no visible window \"" + caption + L"\"");
    return kExitNotFound;
  }
  return Press(hwnd, caption, button_text);
}

int CommandAnswer(const std::wstring& caption, const std::wstring& button_text, DWORD timeout_ms) {
  HWND hwnd = WaitForCaption(caption, timeout_ms);
  if (!hwnd) {
    Fail(L"no visible window \"" + caption + L"\" within " + std::to_wstring(timeout_ms) + L" ms");
    return kExitNotFound;
  }
  PrintTexts(hwnd);
  return Press(hwnd, caption, button_text);
}

int CommandList() {
  for (HWND hwnd : TopLevelWindows()) {
    Print(Hex(hwnd) + L"\t" + ClassName(hwnd) + L"\t" + Escape(Caption(hwnd)));
  }
  return kExitOk;
}

int Usage() {
  Fail(L"usage:\n"
       L"  windriver wait CAPTION [TIMEOUT_MS]\n"
       L"  windriver texts CAPTION\n"
       L"  windriver press CAPTION BUTTONTEXT\n"
       L"  windriver answer CAPTION BUTTONTEXT [TIMEOUT_MS]\n"
       L"  windriver list");
  return kExitUsage;
}

int Run(const std::vector<std::wstring>& args) {
  if (args.empty()) return Usage();
  const std::wstring& command = args[0];
  size_t count = args.size() - 1;
  DWORD timeout_ms = kDefaultTimeoutMs;

  if (command == L"wait" && (count == 1 || count == 2)) {
    if (count == 2 && !ParseTimeout(args[2].c_str(), timeout_ms)) return Usage();
    return CommandWait(args[1], timeout_ms);
  }
  if (command == L"texts" && count == 1) return CommandTexts(args[1]);
  if (command == L"press" && count == 2) return CommandPress(args[1], args[2]);
  if (command == L"answer" && (count == 2 || count == 3)) {
    if (count == 3 && !ParseTimeout(args[3].c_str(), timeout_ms)) return Usage();
    return CommandAnswer(args[1], args[2], timeout_ms);
  }
  if (command == L"list" && count == 0) return CommandList();
  return Usage();
}

}  // namespace

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) {
    Fail(L"cannot read the command line");
    return kExitUsage;
  }
  std::vector<std::wstring> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  LocalFree(argv);
  return Run(args);
}

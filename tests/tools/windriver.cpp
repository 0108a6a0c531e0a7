// windriver: a small console program that the end-to-end tests run inside the same Wine
// prefix and X display as setup.exe, to find its windows, read their controls, type into
// them, press their buttons, walk the folder tree, choose from the language menu and take
// pictures of the wizard.
//
//   windriver wait CAPTION [TIMEOUT_MS]            prints the window's HWND in hex
//   windriver texts CAPTION                        prints CLASS<TAB>ID<TAB>TEXT per child
//   windriver press CAPTION BUTTONTEXT             posts BM_CLICK to the visible, enabled
//                                                  button of that text
//   windriver answer CAPTION BUTTONTEXT [TIMEOUT_MS]   wait + texts + press
//   windriver list                                 prints HWND<TAB>CLASS<TAB>CAPTION
//   windriver controls CAPTION                     prints CLASS<TAB>ID<TAB>VISIBLE<TAB>ENABLED<TAB>
//                                                  LEFT<TAB>TOP<TAB>WIDTH<TAB>HEIGHT<TAB>TEXT per
//                                                  descendant, rectangles in client coordinates
//   windriver text CAPTION SELECTOR                prints the selected control's text
//   windriver settext CAPTION SELECTOR TEXT        WM_SETTEXT, as typing would (EN_CHANGE follows)
//   windriver click CAPTION SELECTOR               posts BM_CLICK to the selected control
//   windriver close CAPTION                        posts SC_CLOSE, the close box
//   windriver key CAPTION KEY                      types Tab ShiftTab Return Escape Down Up Space
//                                                  Home or End into the window's focused control
//   windriver focus CAPTION                        prints CLASS<TAB>ID<TAB>TEXT of the focus
//   windriver menu CAPTION INDEX [TIMEOUT_MS]      chooses item INDEX (from 0) of the popup menu
//                                                  the window has open or opens within the time
//   windriver tree CAPTION                         prints DEPTH<TAB>SELECTED<TAB>EXPANDED<TAB>TEXT
//                                                  per shown item of the first visible tree
//   windriver treeselect CAPTION PATH              expands down PATH ("C:\Program Files") and
//                                                  selects its last item
//   windriver screenshot CAPTION FILE              the client area as a 24-bit BMP file
//   windriver clientsize CAPTION                   prints WIDTHxHEIGHT of the client area
//   windriver run COMMANDLINE                      starts the command line as the system starts
//                                                  a registered one (no program name apart), waits
//                                                  and ends with the program's exit code
//
// Only visible top-level windows whose caption equals CAPTION exactly are considered.
// SELECTOR names one visible descendant: a decimal control id, a class name (the first
// visible window of that class, in EnumChildWindows order) or CLASS#N (the N-th, from 1).
// Controls of hidden pages are never selected, and disabled ones are never clicked: a test
// that reaches for them has lost track of the page.
//
// Messages go through SendMessageTimeout so that a hung program cannot hang the driver;
// captions are read from the window manager's copy, which never sends a message. CR, LF and
// TAB in texts are written as \r, \n and \t, other control characters as \xHH, so that every
// control stays on one line. Output is UTF-8.
//
// Keys reach the program as hardware input (SendInput after making its window the foreground
// one), so that they pass through its message loop and its dialog navigation with the shift
// state they need: key messages posted to the focus move through a dialog as well, but carry
// no shift state, so a posted Shift+Tab moves forward. The popup menu is driven by keys
// posted to the menu window: the menu's own loop reads the keyboard messages of its thread
// whatever window they are addressed to. The items of another process's menu cannot be read
// (under Wine a menu lives in its own process), so INDEX is not checked against their number:
// past the last item the choice wraps round to the first, and a test checks what it chose.
//
// The driver stands apart from the code it tests: it uses <windows.h> directly and nothing
// of setup.exe's own sources.
//
// Exit codes: 0 success, 1 the window or control was not found or did not do what was asked
// (message on stderr), 2 bad command line.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

namespace {

// How long one message may take before the control counts as unreadable.
constexpr UINT kMessageTimeoutMs = 2000;
// Longest control text read; a message box text is far shorter.
constexpr LRESULT kMaxTextLength = 1 << 20;
// Longest caption compared; longer captions are cut and never match.
constexpr int kMaxCaptionLength = 4096;
constexpr DWORD kDefaultTimeoutMs = 20000;
constexpr DWORD kPollIntervalMs = 50;
// Longest tree item text read; folder names are at most 255 characters.
constexpr int kMaxTreeTextLength = 1024;
// Bound on the items walked in one tree, so that a damaged tree cannot loop the driver.
constexpr int kMaxTreeItems = 100000;
// How long an expanded tree item may take to show its first child.
constexpr DWORD kTreeExpandWaitMs = 3000;
// Pictures: how long pending paints may take, how long the X server is given to receive the
// program's drawing afterwards, and how many captures are compared for a settled picture.
constexpr DWORD kPaintWaitMs = 3000;
constexpr DWORD kSettleMs = 200;
constexpr int kMaxCaptures = 10;
// How long the program may take to make its window the foreground one.
constexpr DWORD kForegroundWaitMs = 3000;
// Rounds of sent messages that let the program take keys queued before them.
constexpr int kSettleRounds = 3;

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

// Other control characters (a binary file shown in a text box holds NULs) are written as
// \xHH, so that they cannot cut or garble a line for the shell that reads it.
std::wstring Escape(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    if (c == L'\r') out += L"\\r";
    else if (c == L'\n') out += L"\\n";
    else if (c == L'\t') out += L"\\t";
    else if (c < 0x20 || c == 0x7F) {
      wchar_t code[8];
      swprintf(code, 8, L"\\x%02X", static_cast<unsigned>(c));
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

std::wstring Number(long long value) { return std::to_wstring(value); }

// ---- owned handles --------------------------------------------------------------------

// Owns what a Windows call handed out and gives it back with Release at the end of the scope;
// null means none.
template <typename Handle, auto Release>
class Owned {
 public:
  explicit Owned(Handle handle) : handle_(handle) {}
  ~Owned() {
    if (handle_) Release(handle_);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Handle get() const { return handle_; }

 private:
  Handle handle_;
};

using ScopedHandle = Owned<HANDLE, CloseHandle>;
using ScopedBitmap = Owned<HBITMAP, DeleteObject>;
// A DC made by CreateCompatibleDC.
using MemoryDc = Owned<HDC, DeleteDC>;

// A DC from GetDC, released to its window.
class WindowDc {
 public:
  explicit WindowDc(HWND hwnd) : hwnd_(hwnd), dc_(GetDC(hwnd)) {}
  ~WindowDc() {
    if (dc_) ReleaseDC(hwnd_, dc_);
  }
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND hwnd_;
  HDC dc_;
};

// An object selected into a DC for the scope; the previous one goes back at its end.
class Selection {
 public:
  Selection(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
  ~Selection() {
    if (old_) SelectObject(dc_, old_);
  }
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;
  bool ok() const { return old_ != nullptr; }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// Memory in another process, for messages whose structures carry pointers the system does
// not carry across processes (the tree's item requests).
class RemoteMemory {
 public:
  RemoteMemory(HWND owner, size_t size) : size_(size) {
    DWORD pid = 0;
    GetWindowThreadProcessId(owner, &pid);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process_) {
      address_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
  }
  ~RemoteMemory() {
    if (address_) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    if (process_) CloseHandle(process_);
  }
  RemoteMemory(const RemoteMemory&) = delete;
  RemoteMemory& operator=(const RemoteMemory&) = delete;

  bool ok() const { return address_ != nullptr; }
  char* address(size_t offset = 0) const { return static_cast<char*>(address_) + offset; }
  bool Write(size_t offset, const void* data, size_t size) const {
    SIZE_T done = 0;
    return offset + size <= size_ && WriteProcessMemory(process_, address(offset), data, size, &done) &&
           done == size;
  }
  bool Read(size_t offset, void* data, size_t size) const {
    SIZE_T done = 0;
    return offset + size <= size_ && ReadProcessMemory(process_, address(offset), data, size, &done) &&
           done == size;
  }

 private:
  size_t size_;
  HANDLE process_ = nullptr;
  void* address_ = nullptr;
};

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

bool SameText(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

// Sends a message that carries no pointer; false when the owner does not answer in time.
bool Send(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR* result = nullptr) {
  DWORD_PTR ignored = 0;
  return SendMessageTimeoutW(hwnd, message, wparam, lparam, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             result ? result : &ignored) != 0;
}

// The control's text via WM_GETTEXT; empty when the owner does not answer in time.
std::wstring ControlText(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!Send(hwnd, WM_GETTEXTLENGTH, 0, 0, &length)) return {};
  if (length == 0) return {};
  if (static_cast<LRESULT>(length) > kMaxTextLength) length = kMaxTextLength;
  std::vector<wchar_t> buffer(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!Send(hwnd, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(buffer.data()), &copied)) {
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

// Every descendant, each before its own children (EnumChildWindows recurses).
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

// The window of CAPTION, or null after saying so.
HWND RequireWindow(const std::wstring& caption) {
  HWND hwnd = FindByCaption(caption);
  if (!hwnd) Fail(L"no visible window \"" + caption + L"\"");
  return hwnd;
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

// The visible button of that text; buttons of hidden pages do not count.
HWND FindButton(HWND parent, const std::wstring& text) {
  std::wstring wanted = WithoutAccelerators(text);
  for (HWND child : ChildWindows(parent)) {
    if (!IsWindowVisible(child) || !SameText(ClassName(child), L"Button")) continue;
    if (WithoutAccelerators(ControlText(child)) == wanted) return child;
  }
  return nullptr;
}

// SELECTOR: a decimal id, CLASS or CLASS#N; only visible descendants are candidates. A class
// may itself start with '#' ("#32770"), so "#N" only counts after a non-empty class name.
HWND FindControl(HWND parent, const std::wstring& selector) {
  if (selector.empty()) return nullptr;
  bool is_id = selector.find_first_not_of(L"0123456789") == std::wstring::npos;
  std::wstring class_name = selector;
  unsigned long wanted = 1;
  if (!is_id) {
    size_t hash = selector.rfind(L'#');
    if (hash != std::wstring::npos && hash > 0 && hash + 1 < selector.size() &&
        selector.find_first_not_of(L"0123456789", hash + 1) == std::wstring::npos) {
      class_name = selector.substr(0, hash);
      wanted = wcstoul(selector.c_str() + hash + 1, nullptr, 10);
      if (wanted == 0) return nullptr;
    }
  }
  unsigned long id = is_id ? wcstoul(selector.c_str(), nullptr, 10) : 0;
  unsigned long seen = 0;
  for (HWND child : ChildWindows(parent)) {
    if (!IsWindowVisible(child)) continue;
    bool match = is_id ? static_cast<unsigned long>(GetDlgCtrlID(child)) == id : SameText(ClassName(child), class_name);
    if (match && ++seen == wanted) return child;
  }
  return nullptr;
}

HWND RequireControl(HWND window, const std::wstring& caption, const std::wstring& selector) {
  HWND control = FindControl(window, selector);
  if (!control) Fail(L"window \"" + caption + L"\" has no visible control \"" + selector + L"\"");
  return control;
}

// The window that has the keyboard focus in the thread of HWND, or null.
HWND FocusOf(HWND hwnd) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

// ---- commands: reading ----------------------------------------------------------------

void PrintTexts(HWND window) {
  for (HWND child : ChildWindows(window)) {
    Print(ClassName(child) + L"\t" + Number(GetDlgCtrlID(child)) + L"\t" + Escape(ControlText(child)));
  }
}

bool ParseNumber(const wchar_t* text, DWORD& value) {
  wchar_t* end = nullptr;
  errno = 0;
  unsigned long parsed = wcstoul(text, &end, 10);
  if (end == text || *end != L'\0' || *text == L'-' || errno == ERANGE || parsed > MAXDWORD) return false;
  value = static_cast<DWORD>(parsed);
  return true;
}

int CommandWait(const std::wstring& caption, DWORD timeout_ms) {
  HWND hwnd = WaitForCaption(caption, timeout_ms);
  if (!hwnd) {
    Fail(L"no visible window \"" + caption + L"\" within " + Number(timeout_ms) + L" ms");
    return kExitNotFound;
  }
  Print(Hex(hwnd));
  return kExitOk;
}

int CommandTexts(const std::wstring& caption) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  PrintTexts(hwnd);
  return kExitOk;
}

int CommandControls(const std::wstring& caption) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  for (HWND child : ChildWindows(hwnd)) {
    RECT rect = {};
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, hwnd, reinterpret_cast<POINT*>(&rect), 2);
    Print(ClassName(child) + L"\t" + Number(GetDlgCtrlID(child)) + L"\t" + (IsWindowVisible(child) ? L"1" : L"0") +
          L"\t" + (IsWindowEnabled(child) ? L"1" : L"0") + L"\t" + Number(rect.left) + L"\t" + Number(rect.top) +
          L"\t" + Number(rect.right - rect.left) + L"\t" + Number(rect.bottom - rect.top) + L"\t" +
          Escape(ControlText(child)));
  }
  return kExitOk;
}

int CommandText(const std::wstring& caption, const std::wstring& selector) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  HWND control = RequireControl(hwnd, caption, selector);
  if (!control) return kExitNotFound;
  Print(Escape(ControlText(control)));
  return kExitOk;
}

int CommandFocus(const std::wstring& caption) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  HWND focus = FocusOf(hwnd);
  if (!focus) {
    Fail(L"no window has the focus in the thread of \"" + caption + L"\"");
    return kExitNotFound;
  }
  Print(ClassName(focus) + L"\t" + Number(GetDlgCtrlID(focus)) + L"\t" + Escape(ControlText(focus)));
  return kExitOk;
}

int CommandClientSize(const std::wstring& caption) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  RECT client = {};
  GetClientRect(hwnd, &client);
  Print(Number(client.right) + L"x" + Number(client.bottom));
  return kExitOk;
}

int CommandList() {
  for (HWND hwnd : TopLevelWindows()) {
    Print(Hex(hwnd) + L"\t" + ClassName(hwnd) + L"\t" + Escape(Caption(hwnd)));
  }
  return kExitOk;
}

// ---- commands: acting -----------------------------------------------------------------

// BM_CLICK is posted, not sent: the click may open a modal box that would block a send.
int Click(HWND control, const std::wstring& what) {
  if (!IsWindowEnabled(control)) {
    Fail(what + L" is disabled");
    return kExitNotFound;
  }
  if (!PostMessageW(control, BM_CLICK, 0, 0)) {
    Fail(L"PostMessage(BM_CLICK) failed with error " + Number(GetLastError()));
    return kExitNotFound;
  }
  return kExitOk;
}

int Press(HWND window, const std::wstring& caption, const std::wstring& button_text) {
  HWND button = FindButton(window, button_text);
  if (!button) {
    Fail(L"window \"" + caption + L"\" has no visible button \"" + button_text + L"\"");
    return kExitNotFound;
  }
  return Click(button, L"button \"" + button_text + L"\" of \"" + caption + L"\"");
}

int CommandPress(const std::wstring& caption, const std::wstring& button_text) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  return Press(hwnd, caption, button_text);
}

int CommandAnswer(const std::wstring& caption, const std::wstring& button_text, DWORD timeout_ms) {
  HWND hwnd = WaitForCaption(caption, timeout_ms);
  if (!hwnd) {
    Fail(L"no visible window \"" + caption + L"\" within " + Number(timeout_ms) + L" ms");
    return kExitNotFound;
  }
  PrintTexts(hwnd);
  return Press(hwnd, caption, button_text);
}

int CommandClick(const std::wstring& caption, const std::wstring& selector) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  HWND control = RequireControl(hwnd, caption, selector);
  if (!control) return kExitNotFound;
  return Click(control, L"control \"" + selector + L"\" of \"" + caption + L"\"");
}

// WM_SETTEXT makes an Edit notify its parent with EN_CHANGE, as typing does. The text is
// read back, so that a control that refuses it (a read-only one still takes WM_SETTEXT, a
// length limit does not apply to it) is at least not reported as changed when it was not.
int CommandSetText(const std::wstring& caption, const std::wstring& selector, const std::wstring& text) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  HWND control = RequireControl(hwnd, caption, selector);
  if (!control) return kExitNotFound;
  DWORD_PTR result = 0;
  if (!Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), &result)) {
    Fail(L"control \"" + selector + L"\" of \"" + caption + L"\" did not answer WM_SETTEXT");
    return kExitNotFound;
  }
  if (!result) {
    Fail(L"control \"" + selector + L"\" of \"" + caption + L"\" refused the text");
    return kExitNotFound;
  }
  return kExitOk;
}

int CommandClose(const std::wstring& caption) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  if (!PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0)) {
    Fail(L"PostMessage(WM_SYSCOMMAND) failed with error " + Number(GetLastError()));
    return kExitNotFound;
  }
  return kExitOk;
}

// ---- keys -----------------------------------------------------------------------------

struct KeyName {
  const wchar_t* name;
  WORD key;
  bool shift;
};

constexpr KeyName kKeys[] = {
    {L"Tab", VK_TAB, false},      {L"ShiftTab", VK_TAB, true}, {L"Return", VK_RETURN, false},
    {L"Escape", VK_ESCAPE, false}, {L"Down", VK_DOWN, false},   {L"Up", VK_UP, false},
    {L"Space", VK_SPACE, false},  {L"Home", VK_HOME, false},   {L"End", VK_END, false},
};

const KeyName* FindKey(const std::wstring& name) {
  for (const KeyName& key : kKeys) {
    if (SameText(name, key.name)) return &key;
  }
  return nullptr;
}

bool IsExtendedKey(WORD key) {
  return key == VK_UP || key == VK_DOWN || key == VK_LEFT || key == VK_RIGHT || key == VK_HOME ||
         key == VK_END || key == VK_PRIOR || key == VK_NEXT || key == VK_INSERT || key == VK_DELETE;
}

INPUT KeyInput(WORD key, bool up) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = key;
  input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = (up ? KEYEVENTF_KEYUP : 0) | (IsExtendedKey(key) ? KEYEVENTF_EXTENDEDKEY : 0);
  return input;
}

// The lParam of a posted key message: repeat count 1, scan code, extended flag, and for a
// release the previous-state and transition bits.
LPARAM KeyMessageParam(WORD key, bool up) {
  LPARAM param = 1 | (static_cast<LPARAM>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC) & 0xFF) << 16);
  if (IsExtendedKey(key)) param |= 1 << 24;
  if (up) param |= static_cast<LPARAM>(3u << 30);
  return param;
}

bool PostKey(HWND target, WORD key) {
  return PostMessageW(target, WM_KEYDOWN, key, KeyMessageParam(key, false)) &&
         PostMessageW(target, WM_KEYUP, key, KeyMessageParam(key, true));
}

// Lets the program's thread take what was queued for it. A message sent to it is answered
// when the thread next looks at its queue, which is after it has dealt with the message it
// took before; a few rounds let a key or a menu choice queued earlier be handled before the
// next command looks (best effort: sent messages overtake queued ones).
void Settle(HWND hwnd) {
  for (int round = 0; round < kSettleRounds; ++round) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &ignored);
    Sleep(kPollIntervalMs / 5);
  }
}

// Makes the window the foreground one, so that hardware input goes to its thread's focus.
bool BringForward(HWND hwnd) {
  if (GetForegroundWindow() == hwnd) return true;
  SetForegroundWindow(hwnd);
  ULONGLONG deadline = GetTickCount64() + kForegroundWaitMs;
  while (GetForegroundWindow() != hwnd) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(kPollIntervalMs / 5);
  }
  return true;
}

int CommandKey(const std::wstring& caption, const std::wstring& key_name) {
  const KeyName* key = FindKey(key_name);
  if (!key) {
    Fail(L"unknown key \"" + key_name + L"\"");
    return kExitUsage;
  }
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  if (!BringForward(hwnd)) {
    Fail(L"window \"" + caption + L"\" cannot be made the foreground window");
    return kExitNotFound;
  }
  std::vector<INPUT> inputs;
  if (key->shift) inputs.push_back(KeyInput(VK_SHIFT, false));
  inputs.push_back(KeyInput(key->key, false));
  inputs.push_back(KeyInput(key->key, true));
  if (key->shift) inputs.push_back(KeyInput(VK_SHIFT, true));
  UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  if (sent != inputs.size()) {
    Fail(L"SendInput sent " + Number(sent) + L" of " + Number(inputs.size()) + L" key events, error " +
         Number(GetLastError()));
    return kExitNotFound;
  }
  Settle(hwnd);
  return kExitOk;
}

// ---- popup menu -----------------------------------------------------------------------

// The visible popup menu shown by the thread of WINDOW, waited for up to TIMEOUT_MS.
HWND WaitForMenu(HWND window, DWORD timeout_ms) {
  DWORD thread = GetWindowThreadProcessId(window, nullptr);
  ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    for (HWND hwnd : TopLevelWindows()) {
      if (ClassName(hwnd) == L"#32768" && GetWindowThreadProcessId(hwnd, nullptr) == thread) return hwnd;
    }
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(kPollIntervalMs);
  }
}

HWND RequireMenu(HWND window, const std::wstring& caption, DWORD timeout_ms) {
  HWND menu = WaitForMenu(window, timeout_ms);
  if (!menu) Fail(L"no popup menu of \"" + caption + L"\" within " + Number(timeout_ms) + L" ms");
  return menu;
}

// Home selects the first item whatever was selected when the menu opened; each Down moves to
// the next item (separators are skipped, as for the user); Return chooses it. The choice is
// done when the menu window has gone; a menu still open at the time-out did not take the keys.
int CommandMenu(const std::wstring& caption, DWORD index, DWORD timeout_ms) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  HWND menu = RequireMenu(hwnd, caption, timeout_ms);
  if (!menu) return kExitNotFound;
  std::vector<WORD> keys = {VK_HOME};
  keys.insert(keys.end(), index, VK_DOWN);
  keys.push_back(VK_RETURN);
  for (WORD key : keys) {
    if (!PostKey(menu, key)) {
      Fail(L"the popup menu of \"" + caption + L"\" closed before item " + Number(index) + L" was chosen");
      return kExitNotFound;
    }
  }
  ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (IsWindow(menu) && IsWindowVisible(menu)) {
    if (GetTickCount64() >= deadline) {
      Fail(L"the popup menu of \"" + caption + L"\" is still open after choosing item " + Number(index));
      return kExitNotFound;
    }
    Sleep(kPollIntervalMs / 5);
  }
  Settle(hwnd);
  return kExitOk;
}

// ---- folder tree ----------------------------------------------------------------------

struct TreeReader {
  HWND tree;
  RemoteMemory memory;

  explicit TreeReader(HWND tree_window)
      : tree(tree_window), memory(tree_window, sizeof(TVITEMW) + (kMaxTreeTextLength + 1) * sizeof(wchar_t)) {}

  HTREEITEM Next(HTREEITEM item, UINT relation) const {
    DWORD_PTR result = 0;
    if (!Send(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item), &result)) return nullptr;
    return reinterpret_cast<HTREEITEM>(result);
  }

  UINT State(HTREEITEM item) const {
    DWORD_PTR result = 0;
    Send(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_EXPANDED, &result);
    return static_cast<UINT>(result);
  }

  // The item's text, asked of the tree in its own process (which also asks the tree's
  // owner for texts it supplies on demand).
  bool Text(HTREEITEM item, std::wstring& text) const {
    TVITEMW request = {};
    request.mask = TVIF_TEXT | TVIF_HANDLE;
    request.hItem = item;
    request.pszText = reinterpret_cast<LPWSTR>(memory.address(sizeof(TVITEMW)));
    request.cchTextMax = kMaxTreeTextLength + 1;
    wchar_t empty = L'\0';
    DWORD_PTR ok = 0;
    if (!memory.Write(0, &request, sizeof(request)) || !memory.Write(sizeof(TVITEMW), &empty, sizeof(empty)) ||
        !Send(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(memory.address()), &ok) || !ok) {
      return false;
    }
    std::vector<wchar_t> buffer(kMaxTreeTextLength + 1, L'\0');
    // The tree may point pszText at its own copy of the text instead of filling ours.
    if (!memory.Read(0, &request, sizeof(request))) return false;
    if (request.pszText == reinterpret_cast<LPWSTR>(memory.address(sizeof(TVITEMW)))) {
      if (!memory.Read(sizeof(TVITEMW), buffer.data(), kMaxTreeTextLength * sizeof(wchar_t))) return false;
    } else if (!ReadForeignText(request.pszText, buffer)) {
      return false;
    }
    text.assign(buffer.data(), wcsnlen(buffer.data(), kMaxTreeTextLength));
    return true;
  }

  // A text the tree's owner keeps in its own memory, read in pieces so that the end of its
  // allocation is not overrun.
  bool ReadForeignText(const wchar_t* address, std::vector<wchar_t>& buffer) const {
    DWORD pid = 0;
    GetWindowThreadProcessId(tree, &pid);
    ScopedHandle process(OpenProcess(PROCESS_VM_READ, FALSE, pid));
    if (!process.get()) return false;
    constexpr size_t kPiece = 64;
    for (size_t at = 0; at + kPiece <= static_cast<size_t>(kMaxTreeTextLength); at += kPiece) {
      SIZE_T done = 0;
      if (!ReadProcessMemory(process.get(), address + at, buffer.data() + at, kPiece * sizeof(wchar_t), &done)) {
        return at > 0;
      }
      if (wmemchr(buffer.data() + at, L'\0', kPiece)) break;
    }
    return true;
  }

  std::vector<HTREEITEM> Children(HTREEITEM parent) const {
    std::vector<HTREEITEM> items;
    HTREEITEM item = parent ? Next(parent, TVGN_CHILD) : Next(nullptr, TVGN_ROOT);
    while (item && items.size() < static_cast<size_t>(kMaxTreeItems)) {
      items.push_back(item);
      item = Next(item, TVGN_NEXT);
    }
    return items;
  }
};

HWND RequireTree(HWND window, const std::wstring& caption) {
  HWND tree = FindControl(window, WC_TREEVIEWW);
  if (!tree) {
    Fail(L"window \"" + caption + L"\" has no visible folder tree");
    return nullptr;
  }
  return tree;
}

// The tree of the window with the caption, ready to read; null (after saying why) when the
// window, its tree or the program's memory cannot be reached.
std::unique_ptr<TreeReader> OpenTreeReader(const std::wstring& caption) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return nullptr;
  HWND tree = RequireTree(hwnd, caption);
  if (!tree) return nullptr;
  auto reader = std::make_unique<TreeReader>(tree);
  if (!reader->memory.ok()) {
    Fail(L"cannot reach the memory of the program of \"" + caption + L"\", error " + Number(GetLastError()));
    return nullptr;
  }
  return reader;
}

// Depth first in display order; children are shown only below expanded items.
void PrintTreeItems(const TreeReader& reader, HTREEITEM parent, int depth, HTREEITEM caret, int& budget) {
  for (HTREEITEM item : reader.Children(parent)) {
    if (--budget < 0) return;
    std::wstring text;
    reader.Text(item, text);
    bool expanded = (reader.State(item) & TVIS_EXPANDED) != 0;
    Print(Number(depth) + L"\t" + (item == caret ? L"1" : L"0") + L"\t" + (expanded ? L"1" : L"0") + L"\t" +
          Escape(text));
    if (expanded) PrintTreeItems(reader, item, depth + 1, caret, budget);
  }
}

int CommandTree(const std::wstring& caption) {
  const std::unique_ptr<TreeReader> opened = OpenTreeReader(caption);
  if (!opened) return kExitNotFound;
  const TreeReader& reader = *opened;
  int budget = kMaxTreeItems;
  PrintTreeItems(reader, nullptr, 0, reader.Next(nullptr, TVGN_CARET), budget);
  return kExitOk;
}

std::vector<std::wstring> SplitPath(const std::wstring& path) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() && _wcsnicmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

bool IsDriveName(const std::wstring& part) { return part.size() == 2 && part[1] == L':' && iswalpha(part[0]); }

// A drive ("C:") matches an item shown as "C:", "C:\", "C: something" or "Local Disk (C:)";
// any other part matches an item of that text, ignoring case.
bool PartMatches(const std::wstring& part, const std::wstring& text) {
  if (SameText(part, text)) return true;
  if (!IsDriveName(part)) return false;
  if (StartsWithNoCase(text, part)) return true;
  std::wstring upper_text = text;
  for (wchar_t& c : upper_text) c = towupper(c);
  std::wstring wanted = L"(" + part + L")";
  for (wchar_t& c : wanted) c = towupper(c);
  return upper_text.find(wanted) != std::wstring::npos;
}

// An exact text match wins over a drive's looser forms, so "C:" picks "C:" before "C: Data".
HTREEITEM FindChild(const TreeReader& reader, HTREEITEM parent, const std::wstring& part) {
  HTREEITEM loose = nullptr;
  for (HTREEITEM item : reader.Children(parent)) {
    std::wstring text;
    if (!reader.Text(item, text)) continue;
    if (SameText(part, text)) return item;
    if (!loose && PartMatches(part, text)) loose = item;
  }
  return loose;
}

// Expanding asks the tree's owner to fill the item; a tree that fills later is waited for.
bool ExpandAndWait(const TreeReader& reader, HTREEITEM item) {
  Send(reader.tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
  ULONGLONG deadline = GetTickCount64() + kTreeExpandWaitMs;
  for (;;) {
    if (reader.Next(item, TVGN_CHILD)) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(kPollIntervalMs);
  }
}

int CommandTreeSelect(const std::wstring& caption, const std::wstring& path) {
  std::vector<std::wstring> parts = SplitPath(path);
  if (parts.empty()) {
    Fail(L"empty tree path");
    return kExitUsage;
  }
  const std::unique_ptr<TreeReader> opened = OpenTreeReader(caption);
  if (!opened) return kExitNotFound;
  const TreeReader& reader = *opened;
  HTREEITEM item = nullptr;
  std::wstring walked;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0 && !ExpandAndWait(reader, item)) {
      Fail(L"tree item \"" + walked + L"\" shows no children after expanding");
      return kExitNotFound;
    }
    HTREEITEM child = FindChild(reader, item, parts[i]);
    walked += (i > 0 ? L"\\" : L"") + parts[i];
    if (!child) {
      Fail(L"the tree of \"" + caption + L"\" has no item \"" + walked + L"\"");
      return kExitNotFound;
    }
    item = child;
  }
  if (!Send(reader.tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item))) {
    Fail(L"the tree of \"" + caption + L"\" did not answer TVM_SELECTITEM");
    return kExitNotFound;
  }
  Send(reader.tree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(item));
  // The program may refuse a selection (TVN_SELCHANGING); that must not pass for a choice.
  if (reader.Next(nullptr, TVGN_CARET) != item) {
    Fail(L"the tree of \"" + caption + L"\" did not select \"" + path + L"\"");
    return kExitNotFound;
  }
  return kExitOk;
}

// ---- pictures -------------------------------------------------------------------------

bool HasPendingPaint(HWND window) {
  if (GetUpdateRect(window, nullptr, FALSE)) return true;
  for (HWND child : ChildWindows(window)) {
    if (IsWindowVisible(child) && GetUpdateRect(child, nullptr, FALSE)) return true;
  }
  return false;
}

// The client area as it is on the screen now, 24 bits per pixel, bottom-up rows padded to
// four bytes (the layout of a BMP file's pixel data).
bool CaptureClient(HWND window, int width, int height, std::vector<BYTE>& pixels) {
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  WindowDc screen(nullptr);
  if (!screen.get()) return false;
  ScopedBitmap picture(CreateCompatibleBitmap(screen.get(), width, height));
  if (!picture.get()) return false;
  {
    MemoryDc memory(CreateCompatibleDC(screen.get()));
    if (!memory.get()) return false;
    Selection selected(memory.get(), picture.get());
    if (!selected.ok()) return false;
    if (!BitBlt(memory.get(), 0, 0, width, height, screen.get(), origin.x, origin.y, SRCCOPY)) return false;
  }
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
  pixels.assign(stride * height, 0);
  // The bitmap is no longer selected into a DC here, as GetDIBits wants.
  return GetDIBits(screen.get(), picture.get(), 0, height, pixels.data(), &info, DIB_RGB_COLORS) == height;
}

bool WriteBmp(const std::wstring& path, int width, int height, const std::vector<BYTE>& pixels) {
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER header = {};
  header.biSize = sizeof(header);
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  header.biSizeImage = static_cast<DWORD>(pixels.size());
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(file) + sizeof(header);
  file.bfSize = file.bfOffBits + header.biSizeImage;
  ScopedHandle out(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (out.get() == INVALID_HANDLE_VALUE) {
    Fail(L"cannot create \"" + path + L"\", error " + Number(GetLastError()));
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(out.get(), &file, sizeof(file), &written, nullptr) && written == sizeof(file) &&
            WriteFile(out.get(), &header, sizeof(header), &written, nullptr) && written == sizeof(header) &&
            WriteFile(out.get(), pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr) &&
            written == pixels.size();
  if (!ok) Fail(L"cannot write \"" + path + L"\", error " + Number(GetLastError()));
  return ok;
}

// A repaint asked of another process is not done when RedrawWindow returns: wait until no
// update region is left, give the drawing time to reach the X server, then capture until
// two pictures in a row agree (a blinking caret may keep them apart; the last one is kept).
int CommandScreenshot(const std::wstring& caption, const std::wstring& path) {
  HWND hwnd = RequireWindow(caption);
  if (!hwnd) return kExitNotFound;
  RECT client = {};
  GetClientRect(hwnd, &client);
  if (client.right <= 0 || client.bottom <= 0) {
    Fail(L"window \"" + caption + L"\" has an empty client area");
    return kExitNotFound;
  }
  RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
  ULONGLONG deadline = GetTickCount64() + kPaintWaitMs;
  while (HasPendingPaint(hwnd) && GetTickCount64() < deadline) Sleep(kPollIntervalMs / 5);
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &ignored);
  Sleep(kSettleMs);

  std::vector<BYTE> previous;
  std::vector<BYTE> pixels;
  for (int i = 0; i < kMaxCaptures; ++i) {
    if (!CaptureClient(hwnd, client.right, client.bottom, pixels)) {
      Fail(L"cannot copy the client area of \"" + caption + L"\" from the screen");
      return kExitNotFound;
    }
    if (pixels == previous) break;
    previous.swap(pixels);
    Sleep(kSettleMs / 2);
  }
  if (pixels.empty()) pixels = previous;
  return WriteBmp(path, client.right, client.bottom, pixels) ? kExitOk : kExitNotFound;
}

// ---- programs ---------------------------------------------------------------------------

// CreateProcess finds the program in the command line itself, as the system does with an
// uninstall registration: an unquoted path with blanks is tried piece by piece.
int CommandRun(const std::wstring& command_line) {
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    Fail(L"cannot start " + command_line);
    return kExitNotFound;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = kExitNotFound;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

// ---- command line ---------------------------------------------------------------------

int Usage() {
  Fail(L"usage:\n"
       L"  windriver wait CAPTION [TIMEOUT_MS]\n"
       L"  windriver texts CAPTION\n"
       L"  windriver press CAPTION BUTTONTEXT        (visible, enabled buttons only)\n"
       L"  windriver answer CAPTION BUTTONTEXT [TIMEOUT_MS]\n"
       L"  windriver list\n"
       L"  windriver controls CAPTION\n"
       L"  windriver text CAPTION SELECTOR\n"
       L"  windriver settext CAPTION SELECTOR TEXT\n"
       L"  windriver click CAPTION SELECTOR\n"
       L"  windriver close CAPTION\n"
       L"  windriver key CAPTION Tab|ShiftTab|Return|Escape|Down|Up|Space|Home|End\n"
       L"  windriver focus CAPTION\n"
       L"  windriver menu CAPTION INDEX [TIMEOUT_MS]\n"
       L"  windriver tree CAPTION\n"
       L"  windriver treeselect CAPTION PATH\n"
       L"  windriver screenshot CAPTION FILE.bmp\n"
       L"  windriver clientsize CAPTION\n"
       L"  windriver run COMMANDLINE\n"
       L"SELECTOR: a decimal control id, CLASS or CLASS#N (the N-th visible one, from 1)");
  return kExitUsage;
}

int Run(const std::vector<std::wstring>& args) {
  if (args.empty()) return Usage();
  const std::wstring& command = args[0];
  size_t count = args.size() - 1;
  DWORD timeout_ms = kDefaultTimeoutMs;

  if (command == L"wait" && (count == 1 || count == 2)) {
    if (count == 2 && !ParseNumber(args[2].c_str(), timeout_ms)) return Usage();
    return CommandWait(args[1], timeout_ms);
  }
  if (command == L"texts" && count == 1) return CommandTexts(args[1]);
  if (command == L"press" && count == 2) return CommandPress(args[1], args[2]);
  if (command == L"answer" && (count == 2 || count == 3)) {
    if (count == 3 && !ParseNumber(args[3].c_str(), timeout_ms)) return Usage();
    return CommandAnswer(args[1], args[2], timeout_ms);
  }
  if (command == L"list" && count == 0) return CommandList();
  if (command == L"controls" && count == 1) return CommandControls(args[1]);
  if (command == L"text" && count == 2) return CommandText(args[1], args[2]);
  if (command == L"settext" && count == 3) return CommandSetText(args[1], args[2], args[3]);
  if (command == L"click" && count == 2) return CommandClick(args[1], args[2]);
  if (command == L"close" && count == 1) return CommandClose(args[1]);
  if (command == L"key" && count == 2) return CommandKey(args[1], args[2]);
  if (command == L"focus" && count == 1) return CommandFocus(args[1]);
  if (command == L"menu" && (count == 2 || count == 3)) {
    DWORD index = 0;
    if (!ParseNumber(args[2].c_str(), index) || index > 1000) return Usage();
    if (count == 3 && !ParseNumber(args[3].c_str(), timeout_ms)) return Usage();
    return CommandMenu(args[1], index, timeout_ms);
  }
  if (command == L"tree" && count == 1) return CommandTree(args[1]);
  if (command == L"treeselect" && count == 2) return CommandTreeSelect(args[1], args[2]);
  if (command == L"screenshot" && count == 2) return CommandScreenshot(args[1], args[2]);
  if (command == L"clientsize" && count == 1) return CommandClientSize(args[1]);
  if (command == L"run" && count == 1) return CommandRun(args[1]);
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

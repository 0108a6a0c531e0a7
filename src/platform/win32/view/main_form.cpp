// The wizard's window: creation, the button row, the language menu, keys, closing and the
// message loop of an interactive run.
#include "platform/win32/view/main_form.h"

#include <commctrl.h>

#include "core/pak.h"
#include "core/setup_state.h"
#include "platform/win32/view/debug_form.h"
#include "ui/debug_dump.h"

namespace setup::win32 {

namespace {

constexpr wchar_t kFormClass[] = L"TFrmMain";
constexpr wchar_t kPanelClass[] = L"TSEPanel";

// Control ids. Next and Cancel carry the dialog manager's ids, so that Enter and Escape reach
// them the way they reach any dialog's buttons.
enum : int { kIdNext = IDOK, kIdCancel = IDCANCEL, kIdBack = 3, kIdLanguage = 4, kIdDebug = 5, kIdPanel = 6 };
// Language menu items: the first id, plus the language's index.
constexpr int kIdFirstLanguage = 2000;

struct TFixedButton {
  int Id;
  const wchar_t* Text;
  int Left, Top, Width, Height;
};
// The button row, in tab order after the panel.
constexpr TFixedButton kButton2{kIdDebug, L"Debug", 112, 384, 75, 25};
constexpr TFixedButton kBackButton{kIdBack, L"< Back", 344, 384, 73, 25};
constexpr TFixedButton kNextButton{kIdNext, L"Next >", 416, 384, 73, 25};
constexpr TFixedButton kCancelButton{kIdCancel, L"Cancel", 496, 384, 75, 25};
constexpr TFixedButton kLanguageButton{kIdLanguage, L"English", 8, 384, 89, 25};

std::wstring Text(const std::u16string& text) { return ToWide(text); }

}  // namespace

// ---------------------------------------------------------------- creation

TFrmMain::TFrmMain(TWizardSystem& system) : wizard_(system, *this), dpi_(ScreenDpi()), fonts_(dpi_) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterWindowClass(kFormClass, WindowProc, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1),
                      LoadIconW(instance, MAKEINTRESOURCEW(1)));
  RegisterWindowClass(kPanelClass, PanelProc);
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  const DWORD ex_style = WS_EX_CONTROLPARENT;
  RECT r{0, 0, Scale(kClientWidth, dpi_), Scale(kClientHeight, dpi_)};
  AdjustWindowRectEx(&r, style, FALSE, ex_style);
  const int w = r.right - r.left, h = r.bottom - r.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  window_ = CreateWindowExW(ex_style, kFormClass, L"", style, x, y, w, h, nullptr, nullptr, instance, this);
  if (!window_) return;
  panel_ = CreateWindowExW(WS_EX_CONTROLPARENT, kPanelClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                           Scale(kClientWidth, dpi_), Scale(kPanelHeight, dpi_), window_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdPanel)), instance, this);
  HFONT font = fonts_.Default();
  auto make = [&](const TFixedButton& b, DWORD extra) {
    HWND button = CreateWindowExW(0, L"BUTTON", b.Text, WS_CHILD | WS_TABSTOP | extra, Scale(b.Left, dpi_),
                                  Scale(b.Top, dpi_), Scale(b.Width, dpi_), Scale(b.Height, dpi_), window_,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(b.Id)), instance, nullptr);
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return button;
  };
  button2_ = make(kButton2, BS_PUSHBUTTON);  // nothing shows it
  back_ = make(kBackButton, WS_VISIBLE | BS_PUSHBUTTON);
  next_ = make(kNextButton, WS_VISIBLE | BS_DEFPUSHBUTTON);
  cancel_ = make(kCancelButton, WS_VISIBLE | BS_PUSHBUTTON);
  // The language button shows its menu's arrow right of the text.
  language_ = make(kLanguageButton, WS_VISIBLE | BS_SPLITBUTTON);
  shown_back_ = wizard_.BackButton;
  shown_next_ = wizard_.NextButton;
  shown_cancel_ = wizard_.CancelButton;
  shown_language_ = wizard_.LanguageButton;
  SetApplicationWindow(window_);
}

TFrmMain::~TFrmMain() {
  pages_.reset();
  if (window_ && IsWindow(window_)) DestroyWindow(window_);
  SetApplicationWindow(nullptr);
}

void TFrmMain::SetPagesUp() {
  wizard_.SetPagesUp();
  pages_ = std::make_unique<TPageView>(panel_, dpi_, wizard_.Pages);
  pages_->OnEditChange = [this](TControl& control) {
    if (&control == wizard_.InstallDirEdit) wizard_.InstallDirEditChange();
  };
  pages_->OnTreeChange = [this](TControl& control, const std::u16string& path) {
    if (&control == wizard_.ShellTreeView) wizard_.ShellTreeViewChange(path);
  };
  pages_->Build();
  if (pending_tree_sync_) {
    SyncTree(pending_tree_sync_->first, pending_tree_sync_->second);
    pending_tree_sync_.reset();
  }
  SyncAll();
}

void TFrmMain::Show() {
  if (!window_) return;
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  // The first control that takes the keyboard gets it, as in any dialog.
  SetFocus(wizard_.NextButton.Visible && wizard_.NextButton.Enabled ? next_ : cancel_);
}

// ---------------------------------------------------------------- following the model

void TFrmMain::SyncButton(HWND button, const TButtonModel& model, TButtonModel& shown) {
  if (model.Caption != shown.Caption) SetWindowTextW(button, Text(model.Caption).c_str());
  if (model.Enabled != shown.Enabled) EnableWindow(button, model.Enabled);
  if (model.Visible != shown.Visible) ShowWindow(button, model.Visible ? SW_SHOWNA : SW_HIDE);
  shown = model;
}

void TFrmMain::SyncAll() {
  if (!window_ || closed_) return;
  repaint_pending_ = false;  // everything the model says is on screen from here
  if (wizard_.Title != shown_title_) {
    SetWindowTextW(window_, (L" " + Text(wizard_.Title)).c_str());
    shown_title_ = wizard_.Title;
  }
  if (pages_) pages_->Sync();
  SyncButton(back_, wizard_.BackButton, shown_back_);
  SyncButton(next_, wizard_.NextButton, shown_next_);
  SyncButton(cancel_, wizard_.CancelButton, shown_cancel_);
  SyncButton(language_, wizard_.LanguageButton, shown_language_);
  // Enter presses Next, or the finish page's button when Next is gone.
  const TPageType type = wizard_.CurrentType();
  if (type != shown_type_) {
    const bool finish = type == ptFinish;
    SendMessageW(next_, BM_SETSTYLE, finish ? BS_PUSHBUTTON : BS_DEFPUSHBUTTON, TRUE);
    SendMessageW(cancel_, BM_SETSTYLE, finish ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
    shown_type_ = type;
  }
  // A hidden or disabled control cannot keep the keyboard: Next takes it, or Cancel.
  HWND focus = GetFocus();
  if (!focus || !IsWindowVisible(focus) || !IsWindowEnabled(focus)) {
    if (IsWindowVisible(next_) && IsWindowEnabled(next_)) SetFocus(next_);
    else if (IsWindowVisible(cancel_) && IsWindowEnabled(cancel_)) SetFocus(cancel_);
  }
}

// The worker may report hundreds of files a second. The screen shows what is new about 30 times
// a second; a report that came in between is shown by the next ProcessMessages once the interval
// is over, so the last one is never left unshown.
void TFrmMain::Repaint() {
  repaint_pending_ = true;
  RepaintIfDue();
}

void TFrmMain::RepaintIfDue() {
  if (!repaint_pending_) return;
  const DWORD now = GetTickCount();
  if (now - last_repaint_ < kRepaintIntervalMs) return;
  repaint_pending_ = false;
  last_repaint_ = now;
  SyncAll();
  if (panel_) RedrawWindow(panel_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  if (window_) UpdateWindow(window_);
}

void TFrmMain::SyncTree(const std::u16string& path, bool expand) {
  if (!pages_) {
    pending_tree_sync_ = std::make_pair(path, expand);
    return;
  }
  TControlView* view = pages_->ViewOf(wizard_.ShellTreeView);
  if (view && view->Tree) view->Tree->SyncTreeToPath(path, expand);
}

bool TFrmMain::TreeSyncing() {
  TControlView* view = pages_ ? pages_->ViewOf(wizard_.ShellTreeView) : nullptr;
  return view && view->Tree && view->Tree->Syncing();
}

// ---------------------------------------------------------------- messages

bool TFrmMain::PumpOne(MSG& msg) {
  if (msg.message == WM_QUIT) return false;
  if (!window_ || !IsDialogMessageW(window_, &msg)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return true;
}

void TFrmMain::Run() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) PumpOne(msg);
}

// Called every millisecond while the worker runs. Each look into the message queue is a trip to
// the window system (under Wine a server call), and on the one processor the setup runs on it is
// taken from the worker: the window looks every few milliseconds, still far quicker than anyone
// clicks or than a display frame.
void TFrmMain::ProcessMessages() {
  const DWORD now = GetTickCount();
  if (now - last_pump_ < kPumpIntervalMs) {
    RepaintIfDue();
    return;
  }
  last_pump_ = now;
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (!PumpOne(msg)) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // for the outer loop
      return;
    }
  }
  RepaintIfDue();
}

void TFrmMain::CloseWindow() {
  if (window_ && !closed_) PostMessageW(window_, WM_CLOSE, 0, 0);
}

void TFrmMain::OnClose() {
  if (closed_ || !wizard_.FormCloseQuery()) return;
  wizard_.FormClose();
  closed_ = true;
  DestroyWindow(window_);
}

void TFrmMain::OnCommand(int id) {
  // While the install or uninstall runs, the buttons, keys and menu do nothing.
  if (wizard_.Working || closed_) return;
  switch (id) {
    case kIdBack:
      if (wizard_.BackButton.Visible && wizard_.BackButton.Enabled) wizard_.BackButtonClick();
      break;
    case kIdNext:
      if (wizard_.NextButton.Visible && wizard_.NextButton.Enabled) {
        wizard_.NextButtonClick();
      } else if (wizard_.CurrentType() == ptFinish && wizard_.CancelButton.Visible && wizard_.CancelButton.Enabled) {
        wizard_.CancelButtonClick();  // Enter on the finish page
      }
      break;
    case kIdCancel:
      if (wizard_.CancelButton.Visible && wizard_.CancelButton.Enabled) wizard_.CancelButtonClick();
      break;
    case kIdLanguage:
      if (wizard_.LanguageButton.Visible) LanguageButtonClick();
      break;
    case kIdDebug:
      Button2Click();
      break;
    default:
      if (id >= kIdFirstLanguage && id < kIdFirstLanguage + static_cast<int>(wizard_.LanguageMenu.size())) {
        wizard_.LanguageItemClick(id - kIdFirstLanguage);
      }
      break;
  }
  SyncAll();
}

void TFrmMain::LanguageButtonClick() {
  HMENU menu = CreatePopupMenu();
  if (!menu) return;
  for (size_t i = 0; i < wizard_.LanguageMenu.size(); ++i) {
    const auto& [caption, checked] = wizard_.LanguageMenu[i];
    AppendMenuW(menu, MF_STRING | (checked ? MF_CHECKED : MF_UNCHECKED), kIdFirstLanguage + i, Text(caption).c_str());
  }
  RECT window{}, client{};
  GetWindowRect(window_, &window);
  GetClientRect(window_, &client);
  const TPoint at = LanguagePopupPosition(window.left, window.top, window.right - window.left, window.bottom - window.top,
                                          client.right, client.bottom, Scale(kLanguageButton.Left, dpi_),
                                          Scale(kLanguageButton.Top, dpi_), Scale(kLanguageButton.Height, dpi_));
  TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON, at.X, at.Y, 0, window_, nullptr);
  DestroyMenu(menu);
}

void TFrmMain::Button2Click() {
  if (!Globals().Package) return;
  ShowDebugDump(window_, DebugDumpLines(*Globals().Package, Globals().SetupInfo), dpi_);
}

void TFrmMain::PaintBevel(HDC dc) {
  // Bevel2: an etched line along the panel's lower edge.
  RECT line{0, Scale(kPanelHeight, dpi_), Scale(kClientWidth, dpi_), Scale(kPanelHeight, dpi_) + Scale(3, dpi_)};
  DrawEdge(dc, &line, EDGE_ETCHED, BF_TOP);
}

LRESULT TFrmMain::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (lp == 0 || HIWORD(wp) == BN_CLICKED) OnCommand(LOWORD(wp));
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lp);
      if (header->hwndFrom == language_ && header->code == BCN_DROPDOWN) OnCommand(kIdLanguage);
      return 0;
    }
    case DM_GETDEFID:
      return MAKELRESULT(wizard_.CurrentType() == ptFinish ? kIdCancel : kIdNext, DC_HASDEFID);
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window_, &ps);
      PaintBevel(dc);
      EndPaint(window_, &ps);
      return 0;
    }
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DESTROY:
      closed_ = true;
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window_, msg, wp, lp);
}

LRESULT CALLBACK TFrmMain::WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<TFrmMain*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TFrmMain*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  return self ? self->OnMessage(msg, wp, lp) : DefWindowProcW(window, msg, wp, lp);
}

// ---------------------------------------------------------------- Panel1

// Paints the part of the panel that needs it (the whole client area for WM_PRINTCLIENT).
void TFrmMain::PaintPanel(HWND panel, HDC target, const RECT* part) {
  RECT area{};
  GetClientRect(panel, &area);
  if (part) IntersectRect(&area, &area, part);
  const int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return;
  TMemoryDc buffer(target, width, height);
  HDC dc = buffer.Dc();
  SetViewportOrgEx(dc, -area.left, -area.top, nullptr);
  if (pages_) {
    pages_->PaintPanel(dc, area);
  } else {
    FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  }
  SetViewportOrgEx(dc, 0, 0, nullptr);
  BitBlt(target, area.left, area.top, width, height, dc, 0, 0, SRCCOPY);
}

LRESULT TFrmMain::OnPanelMessage(HWND panel, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(panel, &ps);
      PaintPanel(panel, dc, &ps.rcPaint);
      EndPaint(panel, &ps);
      return 0;
    }
    case WM_PRINTCLIENT:
      PaintPanel(panel, reinterpret_cast<HDC>(wp), nullptr);
      return 0;
    case kMsgPaintBehind: {
      if (!pages_) return 0;
      HDC dc = reinterpret_cast<HDC>(wp);
      HWND child = reinterpret_cast<HWND>(lp);
      RECT area{};
      GetWindowRect(child, &area);
      MapWindowPoints(nullptr, panel, reinterpret_cast<POINT*>(&area), 2);
      POINT old{};
      SetViewportOrgEx(dc, -area.left, -area.top, &old);
      pages_->PaintPanel(dc, area);
      SetViewportOrgEx(dc, old.x, old.y, nullptr);
      return 1;
    }
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      LRESULT result = 0;
      if (pages_ && pages_->HandleMessage(msg, wp, lp, &result)) {
        if (msg == WM_COMMAND || msg == WM_NOTIFY) SyncAll();  // the flow may have changed the model
        return result;
      }
      break;
    }
  }
  return DefWindowProcW(panel, msg, wp, lp);
}

LRESULT CALLBACK TFrmMain::PanelProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<TFrmMain*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TFrmMain*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  return self ? self->OnPanelMessage(window, msg, wp, lp) : DefWindowProcW(window, msg, wp, lp);
}

}  // namespace setup::win32

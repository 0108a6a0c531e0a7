// The page controls on screen, created from the page model and kept in line with it.
#include "platform/win32/view/view_controls.h"

#include <commctrl.h>
#include <richedit.h>

#include <algorithm>
#include <string_view>

#include "core/pak.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/file_commands.h"
#include "platform/win32/view/gauge_window.h"

namespace setup::win32 {

namespace {

constexpr int kFirstControlId = 1000;
constexpr wchar_t kDefaultFace[] = L"MS Shell Dlg 2";
constexpr int kDefaultPointSize = 8;

// Window texts break lines with CR LF; page texts break them with a lone CR ("<BR>").
std::wstring WindowText(const std::u16string& text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    out += static_cast<wchar_t>(text[i]);
    if (text[i] == u'\r' && (i + 1 == text.size() || text[i + 1] != u'\n')) out += L'\n';
  }
  return out;
}

std::u16string ReadWindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
  const int copied = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<size_t>(std::max(copied, 0)));
  return ToU16(text);
}

// ---------------------------------------------------------------- the label window

TControlView* LabelView(HWND window) { return reinterpret_cast<TControlView*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

void PaintLabel(HWND window, HDC target) {
  TControlView* view = LabelView(window);
  RECT client{};
  GetClientRect(window, &client);
  TMemoryDc buffer(target, client.right, client.bottom);
  HDC dc = buffer.Dc();
  const COLORREF fill = view ? view->Look.Background.value_or(0xFFFFFF) : 0xFFFFFF;
  if (view && view->Look.Transparent) {
    PaintBehind(window, dc, client, fill);
  } else {
    HBRUSH brush = CreateSolidBrush(fill);
    FillRect(dc, &client, brush);
    DeleteObject(brush);
  }
  ScopedSelection use_font(dc, view ? view->Font : nullptr);
  SetBkMode(dc, TRANSPARENT);
  COLORREF colour = view && view->Look.Font.Colour ? (*view->Look.Font.Colour & 0xFFFFFF) : GetSysColor(COLOR_WINDOWTEXT);
  if (!IsWindowEnabled(window)) colour = GetSysColor(COLOR_GRAYTEXT);
  SetTextColor(dc, colour);
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<size_t>(length));
  UINT format = DT_LEFT | DT_TOP | DT_EXPANDTABS;
  if (view && view->Look.WordWrap) format |= DT_WORDBREAK;
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &client, format);
  BitBlt(target, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
}

LRESULT CALLBACK LabelProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_NCCREATE: {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      break;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      PaintLabel(window, dc);
      EndPaint(window, &ps);
      return 0;
    }
    case WM_PRINTCLIENT:
      PaintLabel(window, reinterpret_cast<HDC>(wp));
      return 0;
    case WM_SETFONT:
      if (TControlView* view = LabelView(window)) view->Font = reinterpret_cast<HFONT>(wp);
      if (LOWORD(lp)) InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_GETFONT: {
      TControlView* view = LabelView(window);
      return reinterpret_cast<LRESULT>(view ? view->Font : nullptr);
    }
    case WM_SETTEXT:
    case WM_ENABLE: {
      const LRESULT result = DefWindowProcW(window, msg, wp, lp);
      InvalidateRect(window, nullptr, FALSE);
      return result;
    }
    case WM_NCHITTEST:
      return HTTRANSPARENT;  // a label is part of the page: clicks go to the panel
    case WM_GETDLGCODE:
      return DLGC_STATIC;
  }
  return DefWindowProcW(window, msg, wp, lp);
}

// ---------------------------------------------------------------- rich text

DWORD CALLBACK ReadFileForStream(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* got) {
  DWORD read = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(cookie), buffer, static_cast<DWORD>(wanted), &read, nullptr)) return 1;
  *got = static_cast<LONG>(read);
  return 0;
}

}  // namespace

// ---------------------------------------------------------------- fonts

TFontCache::~TFontCache() {
  for (auto& [key, font] : fonts_) DeleteObject(font);
}

HFONT TFontCache::Get(const TFontLook& look) {
  const std::wstring face =
      look.Face.empty() ? std::wstring(kDefaultFace) : WidenUtf8(look.Face).substr(0, LF_FACESIZE - 1);
  // Sizes beyond reason would ask the font engine for glyphs larger than the screen.
  const int size = std::clamp(look.Size > 0 ? look.Size : kDefaultPointSize, 1, 500);
  const auto key = std::make_tuple(face, size, look.Bold);
  auto found = fonts_.find(key);
  if (found != fonts_.end()) return found->second;
  LOGFONTW lf{};
  lf.lfHeight = -MulDiv(size, dpi_, 72);
  lf.lfWeight = look.Bold ? FW_BOLD : FW_NORMAL;
  lf.lfCharSet = DEFAULT_CHARSET;
  lf.lfQuality = CLEARTYPE_QUALITY;
  face.copy(lf.lfFaceName, LF_FACESIZE - 1);
  HFONT font = CreateFontIndirectW(&lf);
  fonts_.emplace(key, font);
  return font;
}

// ---------------------------------------------------------------- the page view

TPageView::TPageView(HWND panel, int dpi, TSEPageControl& pages) : panel_(panel), dpi_(dpi), pages_(pages), fonts_(dpi) {}

TPageView::~TPageView() {
  for (auto& [colour, brush] : brushes_) DeleteObject(brush);
}

HBRUSH TPageView::Brush(COLORREF colour) {
  auto found = brushes_.find(colour);
  if (found != brushes_.end()) return found->second;
  HBRUSH brush = CreateSolidBrush(colour);
  brushes_.emplace(colour, brush);
  return brush;
}

TControlView* TPageView::ViewOf(const TControl* control) {
  auto found = by_model_.find(control);
  return found == by_model_.end() ? nullptr : found->second;
}

void TPageView::Build() {
  RegisterWindowClass(kLabelClass, LabelProc);
  for (auto& page : pages_.Pages) {
    const size_t begin = views_.size();
    bool first = true;
    for (TControl& control : page->Controls) {
      auto view = std::make_unique<TControlView>();
      view->Model = &control;
      view->FirstOfPage = first;
      first = false;
      Create(*view);
      by_model_.emplace(&control, view.get());
      if (view->Window) by_window_.emplace(view->Window, view.get());
      views_.push_back(std::move(view));
    }
    page_views_.emplace_back(begin, views_.size());
  }
  // A background page lies behind every other page: its first control ends up bottom-most.
  for (auto& page : pages_.Pages) {
    if (!page->SentToBack) continue;
    for (auto it = page->Controls.rbegin(); it != page->Controls.rend(); ++it) {
      TControlView* view = ViewOf(&*it);
      if (view && view->Window) SetWindowPos(view->Window, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
  }
  Sync();
}

void TPageView::Create(TControlView& view) {
  TControl& c = *view.Model;
  view.Look = ControlLook(c);
  const TControlLook& look = view.Look;
  // Sizes below zero are taken as zero: such a control is simply not seen.
  const int x = Scale(c.Left, dpi_), y = Scale(c.Top, dpi_);
  const int w = std::max(Scale(c.Width, dpi_), 0), h = std::max(Scale(c.Height, dpi_), 0);
  view.Bounds = {x, y, x + w, y + h};
  const int id = kFirstControlId + static_cast<int>(views_.size());
  HINSTANCE instance = GetModuleHandleW(nullptr);
  const DWORD group = WS_GROUP;  // radio buttons of one page form one group
  const DWORD ex_border = look.Border ? WS_EX_CLIENTEDGE : 0;
  auto make = [&](DWORD ex, const wchar_t* cls, DWORD style, void* param = nullptr) {
    return CreateWindowExW(ex, cls, L"", WS_CHILD | WS_CLIPSIBLINGS | style, x, y, w, h, panel_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, param);
  };
  using K = TControlKind;
  switch (c.Kind) {
    case K::Label:
      view.Look.Background = PanelColour();
      view.Window = make(0, kLabelClass, group, &view);
      break;
    case K::Edit:
      view.Window = make(ex_border, L"EDIT", group | WS_TABSTOP | ES_AUTOHSCROLL);
      break;
    case K::Memo:
      view.Window = make(ex_border, L"EDIT", group | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN);
      break;
    case K::RichEdit: {
      LoadRichEdit();
      view.Window = make(ex_border, RICHEDIT_CLASSW,
                         group | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL);
      if (view.Window && look.Background) {
        SendMessageW(view.Window, EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(*look.Background & 0xFFFFFF));
      }
      break;
    }
    case K::Button:
      view.Window = make(0, L"BUTTON", group | WS_TABSTOP | BS_PUSHBUTTON);
      break;
    case K::Radio:
      view.Window = make(0, L"BUTTON", (view.FirstOfPage ? group : 0) | WS_TABSTOP | BS_AUTORADIOBUTTON);
      break;
    case K::ProgressBar:
      view.Window = CreateGaugeWindow(panel_, x, y, w, h);
      if (view.Window) {
        SetWindowLongPtrW(view.Window, GWLP_ID, id);
        if (TGradGauge* gauge = GaugeOf(view.Window)) {
          if (look.ForeColour) {
            gauge->SetColor1(*look.ForeColour);
            gauge->SetColor2(*look.ForeColour);
          }
          if (look.BackColour) gauge->SetBackcolor(*look.BackColour);
        }
      }
      break;
    case K::ShellTreeView: {
      view.Tree = std::make_unique<TSE_ShellTreeView>(panel_, x, y, w, h, look.Border);
      view.Window = view.Tree->Handle();
      if (view.Window) SetWindowLongPtrW(view.Window, GWLP_ID, id);
      if (look.Background) view.Tree->SetBackgroundColour(*look.Background & 0xFFFFFF);
      if (look.Font.Colour) {
        view.Tree->SetFontColour(*look.Font.Colour & 0xFFFFFF);
        view.Tree->SetCustomFontCol(*look.Font.Colour & 0xFFFFFF);
      }
      if (look.SelFontColour) view.Tree->SetCustomSelFontCol(*look.SelFontColour & 0xFFFFFF);
      if (look.SelColour) view.Tree->SetCustomSelCol(*look.SelColour & 0xFFFFFF);
      TControlView* self = &view;
      view.Tree->OnChange = [this, self] {
        if (applying_ || self->Tree->Syncing() || !OnTreeChange) return;
        OnTreeChange(*self->Model, self->Tree->SelectedPath());
      };
      break;
    }
    case K::Image:
      if (!c.PictureEntry.empty() && Globals().Package) {
        uint64_t size = 0;
        const TBytes bytes = Globals().Package->FindByName(c.PictureEntry, 0, &size);
        ShowExtractFailure(*Globals().Package);
        auto picture = std::make_unique<TPicture>();
        // A damaged picture, or an entry that is none, shows nothing.
        if (!bytes.empty() && picture->Load(bytes.data(), bytes.size())) {
          if (c.Tiled) picture->Tile(c.TileWidth, c.TileHeight);
          view.Picture = std::move(picture);
        }
      }
      break;
    case K::Bevel:
    case K::Panel:
      break;
  }
  if (view.Window) {
    ShowWindow(view.Window, SW_HIDE);  // Sync shows what the model shows
    SendMessageW(view.Window, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.Get(look.Font)), FALSE);
    if (c.Kind == K::RichEdit) LoadRichText(view);
  }
  view.ShownVisible = false;
  view.ShownText.clear();
  view.ShownProgress = 0;
  view.ShownMax = 100;
  view.ShownEnabled = true;
  view.ShownChecked = false;
}

void TPageView::LoadRichText(TControlView& view) {
  const TControl& c = *view.Model;
  if (c.ContentEntry.empty() || !Globals().Package) {
    SetWindowTextW(view.Window, WindowText(c.Text).c_str());
    view.ShownText = c.Text;
    return;
  }
  // The box reads its content from a file, rich text or plain as the bytes are.
  uint64_t size = 0;
  const TBytes bytes = Globals().Package->FindByName(c.ContentEntry, 0, &size);
  ShowExtractFailure(*Globals().Package);
  // Plain text in UTF-8 (its byte-order mark left out) is read as such; other plain text is in
  // the system's code page, as older setups wrote it.
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const bool rich = text.substr(0, 5) == "{\\rtf";
  if (!rich && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  const WPARAM format = rich                ? SF_RTF
                        : IsValidUtf8(text) ? static_cast<WPARAM>((CP_UTF8 << 16) | SF_USECODEPAGE | SF_TEXT)
                                            : SF_TEXT;
  const std::wstring temp = TempFolderWide() + L"RETL.temp";
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  const bool stored =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
  CloseHandle(file);
  if (stored) {
    file = CreateFileW(temp.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      EDITSTREAM stream{reinterpret_cast<DWORD_PTR>(file), 0, ReadFileForStream};
      SendMessageW(view.Window, EM_STREAMIN, format, reinterpret_cast<LPARAM>(&stream));
      CloseHandle(file);
    }
  }
  DeleteFileW(temp.c_str());
  view.ShownText = c.Text;
}

void TPageView::AutoSize(TControlView& view) {
  if (!view.Look.AutoSize || !view.Window) return;
  HDC dc = GetDC(view.Window);
  HGDIOBJ old = SelectObject(dc, fonts_.Get(view.Look.Font));
  const std::wstring text = WindowText(view.Model->Caption);
  RECT r{0, 0, view.Look.WordWrap ? view.Bounds.right - view.Bounds.left : 0, 0};
  if (text.empty()) {
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    r.bottom = metrics.tmHeight;
  } else {
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_LEFT | DT_EXPANDTABS | (view.Look.WordWrap ? DT_WORDBREAK : 0));
  }
  SelectObject(dc, old);
  ReleaseDC(view.Window, dc);
  const int width = view.Look.WordWrap ? view.Bounds.right - view.Bounds.left : r.right;
  view.Bounds.right = view.Bounds.left + width;
  view.Bounds.bottom = view.Bounds.top + r.bottom;
  SetWindowPos(view.Window, nullptr, 0, 0, width, r.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TPageView::ApplyText(TControlView& view) {
  const TControl& c = *view.Model;
  using K = TControlKind;
  switch (c.Kind) {
    case K::Label:
      SetWindowTextW(view.Window, WindowText(c.Caption).c_str());
      AutoSize(view);
      view.ShownText = c.Caption;
      break;
    case K::Radio:
    case K::Button:
      SetWindowTextW(view.Window, WindowText(c.Caption).c_str());
      view.ShownText = c.Caption;
      break;
    case K::Panel:
      InvalidateRect(panel_, &view.Bounds, FALSE);
      view.ShownText = c.Caption;
      break;
    case K::Edit:
    case K::Memo:
      SetWindowTextW(view.Window, WindowText(c.Text).c_str());
      view.ShownText = c.Text;
      break;
    case K::RichEdit:
      if (c.ContentEntry.empty()) {
        SetWindowTextW(view.Window, WindowText(c.Text).c_str());
      }
      view.ShownText = c.Text;
      break;
    default:
      view.ShownText = c.Text;
      break;
  }
}

void TPageView::Sync() {
  applying_ = true;
  // A page change shows and hides whole pages: the panel is drawn once afterwards rather than
  // after every control (a page of a thousand controls took seconds).
  bool page_change = false;
  for (auto& item : views_) {
    if (item->Model->Visible != item->ShownVisible) {
      page_change = true;
      break;
    }
  }
  if (page_change) SendMessageW(panel_, WM_SETREDRAW, FALSE, 0);
  for (auto& item : views_) {
    TControlView& view = *item;
    const TControl& c = *view.Model;
    using K = TControlKind;
    const std::u16string& text =
        (c.Kind == K::Edit || c.Kind == K::Memo || c.Kind == K::RichEdit) ? c.Text : c.Caption;
    if (text != view.ShownText && (view.Window || c.Kind == K::Panel)) ApplyText(view);
    if (c.Kind == K::ProgressBar && view.Window) {
      if (TGradGauge* gauge = GaugeOf(view.Window)) {
        if (c.Max != view.ShownMax) gauge->SetMax(c.Max);
        if (c.Progress != view.ShownProgress) gauge->SetProgress(c.Progress);
      }
      view.ShownMax = c.Max;
      view.ShownProgress = c.Progress;
    }
    if (view.Window && c.Enabled != view.ShownEnabled) {
      EnableWindow(view.Window, c.Enabled);
      view.ShownEnabled = c.Enabled;
    }
    if (c.Kind == K::Radio && view.Window && c.Checked != view.ShownChecked) {
      SendMessageW(view.Window, BM_SETCHECK, c.Checked ? BST_CHECKED : BST_UNCHECKED, 0);
      view.ShownChecked = c.Checked;
    }
    if (c.Visible != view.ShownVisible) {
      if (view.Window) ShowWindow(view.Window, c.Visible ? SW_SHOWNA : SW_HIDE);
      else InvalidateRect(panel_, &view.Bounds, FALSE);
      view.ShownVisible = c.Visible;
    }
  }
  if (page_change) {
    SendMessageW(panel_, WM_SETREDRAW, TRUE, 0);
    RedrawWindow(panel_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME);
  }
  applying_ = false;
}

// ---------------------------------------------------------------- painting

void TPageView::PaintWindowless(HDC dc, const TControlView& view) {
  const TControl& c = *view.Model;
  RECT r = view.Bounds;
  if (r.right <= r.left || r.bottom <= r.top) return;
  switch (c.Kind) {
    case TControlKind::Image:
      if (view.Picture) {
        TPictureModes modes;
        modes.Stretch = view.Look.Stretch;
        modes.Center = view.Look.Center;
        modes.Transparent = view.Look.Transparent;
        view.Picture->Draw(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, modes, dpi_);
      }
      break;
    case TControlKind::Bevel:
      DrawEdge(dc, &r, BDR_SUNKENOUTER, BF_RECT);
      break;
    case TControlKind::Panel: {
      FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
      DrawEdge(dc, &r, BDR_RAISEDINNER, BF_RECT);
      HGDIOBJ old = SelectObject(dc, fonts_.Get(view.Look.Font));
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, view.Look.Font.Colour ? (*view.Look.Font.Colour & 0xFFFFFF) : GetSysColor(COLOR_BTNTEXT));
      const std::wstring text = WindowText(c.Caption);
      DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      SelectObject(dc, old);
      break;
    }
    default:
      break;
  }
}

void TPageView::PaintPanel(HDC dc, const RECT& area) {
  FillRect(dc, &area, Brush(PanelColour()));
  auto paint_page = [&](size_t page) {
    for (size_t i = page_views_[page].first; i < page_views_[page].second; ++i) {
      const TControlView& view = *views_[i];
      RECT overlap{};
      if (!view.Window && view.Model->Visible && IntersectRect(&overlap, &view.Bounds, &area)) {
        PaintWindowless(dc, view);
      }
    }
  };
  // Background pages first (the last one sent back lies lowest), then the others in order.
  const size_t pages = std::min(page_views_.size(), pages_.Pages.size());
  for (size_t page = pages; page-- > 0;) {
    if (pages_.Pages[page]->SentToBack) paint_page(page);
  }
  for (size_t page = 0; page < pages; ++page) {
    if (!pages_.Pages[page]->SentToBack) paint_page(page);
  }
}

bool TPageView::HandleMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  switch (msg) {
    case WM_COMMAND: {
      auto found = by_window_.find(reinterpret_cast<HWND>(lp));
      if (found == by_window_.end()) return false;
      HWND from = found->first;
      {
        TControlView& view = *found->second;
        const TControlKind kind = view.Model->Kind;
        if ((kind == TControlKind::Edit || kind == TControlKind::Memo) && HIWORD(wp) == EN_CHANGE && !applying_) {
          view.Model->Text = ReadWindowText(from);
          view.ShownText = view.Model->Text;
          if (OnEditChange) OnEditChange(*view.Model);
        } else if (kind == TControlKind::Radio && HIWORD(wp) == BN_CLICKED && !applying_) {
          for (auto& other : views_) {
            if (other->Model->Kind != TControlKind::Radio || !other->Window) continue;
            other->Model->Checked = SendMessageW(other->Window, BM_GETCHECK, 0, 0) == BST_CHECKED;
            other->ShownChecked = other->Model->Checked;
          }
        }
        *result = 0;
        return true;
      }
    }
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lp);
      for (auto& item : views_) {
        if (item->Tree && item->Tree->HandleNotify(header, result)) return true;
      }
      return false;
    }
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      auto found = by_window_.find(reinterpret_cast<HWND>(lp));
      if (found == by_window_.end()) return false;
      HDC dc = reinterpret_cast<HDC>(wp);
      {
        TControlView& view = *found->second;
        if (view.Look.Font.Colour) SetTextColor(dc, *view.Look.Font.Colour & 0xFFFFFF);
        COLORREF background = PanelColour();
        if (view.Model->Kind == TControlKind::Edit || view.Model->Kind == TControlKind::Memo) {
          if (!view.Look.Background) return false;  // the system's field colours
          background = *view.Look.Background & 0xFFFFFF;
        }
        SetBkColor(dc, background);
        *result = reinterpret_cast<LRESULT>(Brush(background));
        return true;
      }
    }
  }
  return false;
}

}  // namespace setup::win32

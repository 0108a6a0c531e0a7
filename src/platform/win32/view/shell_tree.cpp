// The folder tree on the common tree-view control.
//
// Nodes are filled on demand: the drives at creation, a folder's subfolders when it first
// opens. Whether a folder has subfolders at all (its expand button) is asked through
// I_CHILDRENCALLBACK only for the items the control shows, so a large folder costs one search
// per visible child, not one per child. Drives always get a button: probing a removable drive
// would wake it.
//
// Items are drawn here rather than by the control, so that the custom colours apply and the
// shell's folder icons can be shown without an image list of every icon; an empty image list
// keeps the icons' room between the expand button and the text. The drawing happens after the
// control's own (post-paint), over the whole text area: an item whose default drawing is
// skipped loses its lines and expand button too, which only the control draws well (themed
// or not).
#include "platform/win32/view/shell_tree.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "platform/win32/view/view_support.h"

namespace setup::win32 {

struct TSE_ShellTreeView::TNode {
  std::wstring Path;  // "C:\\" for a drive, "C:\\Games" below it
  bool Filled = false;
  int HasChildren = -1;  // unknown until asked
};

namespace {

constexpr int kIconSize = 16;
constexpr int kIconLeft = 18;  // from the icon's left edge to the text rectangle's
constexpr int kTextOffset = 2;

bool Skipped(const WIN32_FIND_DATAW& data) {
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
  if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) return true;
  // Folders the system keeps to itself ("System Volume Information", "Documents and Settings").
  const DWORD hidden_system = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  return (data.dwFileAttributes & hidden_system) == hidden_system;
}

std::wstring ChildPath(const std::wstring& folder, const std::wstring& name) {
  return !folder.empty() && folder.back() == L'\\' ? folder + name : folder + L'\\' + name;
}

class TFind {
 public:
  explicit TFind(const std::wstring& folder) {
    handle_ = FindFirstFileExW(ChildPath(folder, L"*").c_str(), FindExInfoBasic, &data_, FindExSearchLimitToDirectories,
                               nullptr, 0);
  }
  ~TFind() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  TFind(const TFind&) = delete;
  TFind& operator=(const TFind&) = delete;
  // The next subfolder's name, or false at the end.
  bool Next(std::wstring& name) {
    while (handle_ != INVALID_HANDLE_VALUE) {
      const bool have = first_ || FindNextFileW(handle_, &data_);
      first_ = false;
      if (!have) break;
      if (Skipped(data_)) continue;
      name = data_.cFileName;
      return true;
    }
    return false;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data_{};
  bool first_ = true;
};

std::vector<std::wstring> Subfolders(const std::wstring& folder) {
  std::vector<std::wstring> names;
  TFind find(folder);
  std::wstring name;
  while (find.Next(name)) names.push_back(name);
  std::sort(names.begin(), names.end(),
            [](const std::wstring& a, const std::wstring& b) { return lstrcmpiW(a.c_str(), b.c_str()) < 0; });
  return names;
}

bool HasSubfolder(const std::wstring& folder) {
  TFind find(folder);
  std::wstring name;
  return find.Next(name);
}

// Owns an icon handed out by the shell.
class TIcon {
 public:
  explicit TIcon(HICON icon) : icon_(icon) {}
  ~TIcon() {
    if (icon_) DestroyIcon(icon_);
  }
  TIcon(const TIcon&) = delete;
  TIcon& operator=(const TIcon&) = delete;
  HICON Get() const { return icon_; }

 private:
  HICON icon_;
};

// Keeps a DC's drawing state for the length of a scope.
class TSavedDc {
 public:
  explicit TSavedDc(HDC dc) : dc_(dc), saved_(SaveDC(dc)) {}
  ~TSavedDc() {
    if (saved_) RestoreDC(dc_, saved_);
  }
  TSavedDc(const TSavedDc&) = delete;
  TSavedDc& operator=(const TSavedDc&) = delete;

 private:
  HDC dc_;
  int saved_;
};

void Fill(HDC dc, const RECT& rect, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(dc, &rect, brush);
  DeleteObject(brush);
}

COLORREF OrSystem(LRESULT colour, int system_colour) {
  return static_cast<COLORREF>(colour) == CLR_NONE ? GetSysColor(system_colour) : static_cast<COLORREF>(colour);
}

HTREEITEM NextItem(HWND tree, HTREEITEM item, UINT how) {
  return reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, how, reinterpret_cast<LPARAM>(item)));
}

bool GetItemRect(HWND tree, HTREEITEM item, bool text_only, RECT& rect) {
  // TVM_GETITEMRECT takes the item in the rectangle it fills.
  std::memcpy(&rect, &item, sizeof item);
  return SendMessageW(tree, TVM_GETITEMRECT, text_only, reinterpret_cast<LPARAM>(&rect)) != 0;
}

void EnsureCommonControls() {
  static const bool done = [] {
    INITCOMMONCONTROLSEX init{sizeof(INITCOMMONCONTROLSEX), ICC_TREEVIEW_CLASSES};
    return InitCommonControlsEx(&init) != FALSE;
  }();
  (void)done;
}

}  // namespace

TSE_ShellTreeView::TSE_ShellTreeView(HWND parent, int x, int y, int width, int height, bool border)
    : dpi_(ScreenDpi()), sync_(*this, *this) {
  EnsureCommonControls();
  const DWORD style = WS_CHILD | WS_CLIPSIBLINGS | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT |
                      TVS_SHOWSELALWAYS;
  tree_ = CreateWindowExW(border ? WS_EX_CLIENTEDGE : 0, WC_TREEVIEWW, L"", style, x, y, width, height, parent, nullptr,
                          GetModuleHandleW(nullptr), nullptr);
  if (!tree_) return;
  SendMessageW(tree_, CCM_SETUNICODEFORMAT, TRUE, 0);
  SendMessageW(tree_, TVM_SETEXTENDEDSTYLE, TVS_EX_DOUBLEBUFFER, TVS_EX_DOUBLEBUFFER);
  const int icon = Scale(kIconSize, dpi_);
  spacer_ = ImageList_Create(icon, icon, ILC_COLOR32 | ILC_MASK, 0, 1);
  if (spacer_) SendMessageW(tree_, TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(spacer_));
  AddDrives();
}

TSE_ShellTreeView::~TSE_ShellTreeView() {
  OnChange = nullptr;  // the items go with the window; that is no change of the user's
  if (tree_) DestroyWindow(tree_);
  if (spacer_) ImageList_Destroy(spacer_);
}

void TSE_ShellTreeView::AddDrives() {
  wchar_t buffer[27 * 4 + 1] = {};
  const DWORD length = GetLogicalDriveStringsW(static_cast<DWORD>(std::size(buffer) - 1), buffer);
  if (length == 0 || length >= std::size(buffer)) return;
  for (const wchar_t* root = buffer; *root; root += wcslen(root) + 1) {
    SHFILEINFOW info{};
    std::wstring text = root;
    if (SHGetFileInfoW(root, 0, &info, sizeof info, SHGFI_DISPLAYNAME) && info.szDisplayName[0]) {
      text = info.szDisplayName;
    }
    InsertNode(TVI_ROOT, root, text, 1);
  }
}

HTREEITEM TSE_ShellTreeView::InsertNode(HTREEITEM parent, const std::wstring& path, const std::wstring& text,
                                        int children) {
  nodes_.push_back(std::make_unique<TNode>());
  TNode* node = nodes_.back().get();
  node->Path = path;
  TVINSERTSTRUCTW insert{};
  insert.hParent = parent;
  insert.hInsertAfter = TVI_LAST;
  insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_CHILDREN;
  insert.item.pszText = const_cast<wchar_t*>(text.c_str());
  insert.item.lParam = reinterpret_cast<LPARAM>(node);
  insert.item.cChildren = children;
  flat_valid_ = false;
  return reinterpret_cast<HTREEITEM>(SendMessageW(tree_, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
}

TSE_ShellTreeView::TNode* TSE_ShellTreeView::NodeOf(HTREEITEM item) const {
  if (!item) return nullptr;
  TVITEMW tv{};
  tv.mask = TVIF_PARAM | TVIF_HANDLE;
  tv.hItem = item;
  if (!SendMessageW(tree_, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv))) return nullptr;
  return reinterpret_cast<TNode*>(tv.lParam);
}

void TSE_ShellTreeView::FillChildren(HTREEITEM item) {
  TNode* node = NodeOf(item);
  if (!node || node->Filled) return;
  node->Filled = true;
  const std::vector<std::wstring> names = Subfolders(node->Path);
  for (const std::wstring& name : names) InsertNode(item, ChildPath(node->Path, name), name, I_CHILDRENCALLBACK);
  node->HasChildren = names.empty() ? 0 : 1;
  // The button goes when the folder turns out to be empty (or the drive has no medium).
  TVITEMW tv{};
  tv.mask = TVIF_CHILDREN | TVIF_HANDLE;
  tv.hItem = item;
  tv.cChildren = node->HasChildren;
  SendMessageW(tree_, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
}

void TSE_ShellTreeView::Expand(HTREEITEM item) {
  FillChildren(item);
  SendMessageW(tree_, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
}

const std::vector<HTREEITEM>& TSE_ShellTreeView::Flat() {
  if (flat_valid_) return flat_;
  flat_.clear();
  // Depth first, a parent before its children, collapsed children included.
  auto next = [this](HTREEITEM item, UINT how) { return NextItem(tree_, item, how); };
  HTREEITEM item = next(nullptr, TVGN_ROOT);
  while (item) {
    flat_.push_back(item);
    if (HTREEITEM child = next(item, TVGN_CHILD)) {
      item = child;
      continue;
    }
    while (item && !next(item, TVGN_NEXT)) item = next(item, TVGN_PARENT);
    if (item) item = next(item, TVGN_NEXT);
  }
  flat_valid_ = true;
  return flat_;
}

HTREEITEM TSE_ShellTreeView::At(size_t index) {
  const std::vector<HTREEITEM>& flat = Flat();
  return index < flat.size() ? flat[index] : nullptr;
}

size_t TSE_ShellTreeView::NodeCount() { return Flat().size(); }

std::u16string TSE_ShellTreeView::NodePath(size_t index) {
  const TNode* node = NodeOf(At(index));
  return node ? ToU16(node->Path) : std::u16string();
}

bool TSE_ShellTreeView::IsFirstSibling(size_t index) {
  HTREEITEM item = At(index);
  return item && !NextItem(tree_, item, TVGN_PREVIOUS);
}

void TSE_ShellTreeView::ExpandNode(size_t index) {
  if (HTREEITEM item = At(index)) Expand(item);
}

void TSE_ShellTreeView::SelectNode(size_t index) {
  if (HTREEITEM item = At(index)) SendMessageW(tree_, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
}

void TSE_ShellTreeView::SetCurrentPath(const std::u16string& folder) {
  // Walk down from the drive, opening each folder on the way; a folder the tree does not list
  // (one the system keeps to itself) ends the walk at its parent.
  HTREEITEM found = nullptr;
  for (const std::u16string& part : FolderChain(folder)) {
    if (found) Expand(found);
    HTREEITEM child = NextItem(tree_, found, found ? TVGN_CHILD : TVGN_ROOT);
    while (child) {
      const TNode* node = NodeOf(child);
      if (node && SameFolder(ToU16(node->Path), part)) break;
      child = NextItem(tree_, child, TVGN_NEXT);
    }
    if (!child) break;
    found = child;
  }
  if (!found) return;
  SendMessageW(tree_, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(found));
  SendMessageW(tree_, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(found));
}

void TSE_ShellTreeView::BeginUpdate() {
  // Redrawing is switched off only on a visible tree: switching it back on would show a hidden
  // window.
  if (update_depth_++ == 0 && IsWindowVisible(tree_)) {
    SendMessageW(tree_, WM_SETREDRAW, FALSE, 0);
    redraw_off_ = true;
  }
}

void TSE_ShellTreeView::EndUpdate() {
  if (update_depth_ == 0 || --update_depth_ > 0 || !redraw_off_) return;
  redraw_off_ = false;
  SendMessageW(tree_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(tree_, nullptr, TRUE);
}

bool TSE_ShellTreeView::FolderExists(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(ToWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void TSE_ShellTreeView::SyncTreeToPath(const std::u16string& path, bool expand) {
  if (tree_) sync_.SyncTreeToPath(path, expand);
}

std::u16string TSE_ShellTreeView::SelectedPath() const {
  if (!tree_) return {};
  const TNode* node = NodeOf(NextItem(tree_, nullptr, TVGN_CARET));
  return node ? ToU16(node->Path) : std::u16string();
}

void TSE_ShellTreeView::SetBackgroundColour(COLORREF colour) {
  SendMessageW(tree_, TVM_SETBKCOLOR, 0, static_cast<LPARAM>(colour));
}

void TSE_ShellTreeView::SetFontColour(COLORREF colour) {
  SendMessageW(tree_, TVM_SETTEXTCOLOR, 0, static_cast<LPARAM>(colour));
}

void TSE_ShellTreeView::SetBorder(bool border) {
  LONG_PTR ex = GetWindowLongPtrW(tree_, GWL_EXSTYLE);
  ex = border ? (ex | WS_EX_CLIENTEDGE) : (ex & ~static_cast<LONG_PTR>(WS_EX_CLIENTEDGE));
  SetWindowLongPtrW(tree_, GWL_EXSTYLE, ex);
  SetWindowPos(tree_, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

void TSE_ShellTreeView::SetCustomSelFontCol(COLORREF colour) {
  colours_.CustomSelFontCol = colour;
  colours_.CustomOptions |= stvSelFontCol;
  InvalidateRect(tree_, nullptr, FALSE);
}

void TSE_ShellTreeView::SetCustomFontCol(COLORREF colour) {
  colours_.CustomFontCol = colour;
  colours_.CustomOptions |= stvFontCol;
  InvalidateRect(tree_, nullptr, FALSE);
}

void TSE_ShellTreeView::SetCustomSelCol(COLORREF colour) {
  colours_.CustomSelCol = colour;
  colours_.CustomOptions |= stvSelCol;
  InvalidateRect(tree_, nullptr, FALSE);
}

bool TSE_ShellTreeView::HandleNotify(const NMHDR* header, LRESULT* result) {
  if (!tree_ || !header || header->hwndFrom != tree_) return false;
  *result = 0;
  switch (header->code) {
    case TVN_ITEMEXPANDINGW: {
      const auto* view = reinterpret_cast<const NMTREEVIEWW*>(header);
      if (view->action & TVE_EXPAND) FillChildren(view->itemNew.hItem);
      return true;
    }
    case TVN_GETDISPINFOW: {
      auto* info = reinterpret_cast<NMTVDISPINFOW*>(const_cast<NMHDR*>(header));
      if (info->item.mask & TVIF_CHILDREN) {
        TNode* node = reinterpret_cast<TNode*>(info->item.lParam);
        if (node && node->HasChildren < 0) node->HasChildren = HasSubfolder(node->Path) ? 1 : 0;
        info->item.cChildren = node ? node->HasChildren : 0;
      }
      return true;
    }
    case TVN_SELCHANGEDW:
      if (OnChange) OnChange();
      return true;
    case NM_CUSTOMDRAW:
      *result = OnCustomDraw(reinterpret_cast<NMTVCUSTOMDRAW*>(const_cast<NMHDR*>(header)));
      return true;
    default:
      return true;
  }
}

LRESULT TSE_ShellTreeView::OnCustomDraw(NMTVCUSTOMDRAW* draw) {
  switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      return CDRF_NOTIFYPOSTPAINT;
    case CDDS_ITEMPOSTPAINT:
      DrawItem(draw->nmcd.hdc, reinterpret_cast<HTREEITEM>(draw->nmcd.dwItemSpec));
      return CDRF_DODEFAULT;
    default:
      return CDRF_DODEFAULT;
  }
}

TTreeColours TSE_ShellTreeView::CurrentColours() const {
  TTreeColours colours = colours_;
  colours.Normal.Text = OrSystem(SendMessageW(tree_, TVM_GETTEXTCOLOR, 0, 0), COLOR_WINDOWTEXT);
  colours.Normal.Background = OrSystem(SendMessageW(tree_, TVM_GETBKCOLOR, 0, 0), COLOR_WINDOW);
  // The control's own selection: the highlight while the tree has the focus, a quieter face
  // colour while it shows the selection without it.
  const bool focused = GetFocus() == tree_;
  colours.Selection.Text = GetSysColor(focused ? COLOR_HIGHLIGHTTEXT : COLOR_BTNTEXT);
  colours.Selection.Background = GetSysColor(focused ? COLOR_HIGHLIGHT : COLOR_BTNFACE);
  return colours;
}

void TSE_ShellTreeView::DrawItem(HDC dc, HTREEITEM item) {
  RECT text{}, row{};
  if (!item || !GetItemRect(tree_, item, true, text) || !GetItemRect(tree_, item, false, row)) return;
  text.right = row.right;
  wchar_t buffer[MAX_PATH + 1] = {};
  TVITEMW tv{};
  tv.mask = TVIF_TEXT | TVIF_STATE | TVIF_PARAM | TVIF_HANDLE;
  tv.hItem = item;
  tv.stateMask = TVIS_SELECTED | TVIS_EXPANDED;
  tv.pszText = buffer;
  tv.cchTextMax = static_cast<int>(std::size(buffer));
  if (!SendMessageW(tree_, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv))) return;

  TSavedDc saved(dc);
  // After its own drawing the control has put its font back out of the DC.
  if (HFONT font = reinterpret_cast<HFONT>(SendMessageW(tree_, WM_GETFONT, 0, 0))) SelectObject(dc, font);
  const TTreeItemColours colours = ItemColours(CurrentColours(), (tv.state & TVIS_SELECTED) != 0);
  Fill(dc, text, colours.Background);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, colours.Text);
  const int offset = Scale(kTextOffset, dpi_);
  ExtTextOutW(dc, text.left + offset, text.top + offset, ETO_CLIPPED, &text, tv.pszText,
              static_cast<UINT>(wcslen(tv.pszText)), nullptr);

  const TNode* node = reinterpret_cast<const TNode*>(tv.lParam);
  if (!node) return;
  SHFILEINFOW info{};
  const UINT open = (tv.state & TVIS_EXPANDED) ? SHGFI_OPENICON : 0;
  SHGetFileInfoW(node->Path.c_str(), 0, &info, sizeof info, SHGFI_ICON | SHGFI_SMALLICON | open);
  TIcon icon(info.hIcon);
  if (icon.Get()) {
    const int size = Scale(kIconSize, dpi_);
    DrawIconEx(dc, text.left - Scale(kIconLeft, dpi_), text.top, icon.Get(), size, size, 0, nullptr, DI_NORMAL);
  }
}

}  // namespace setup::win32

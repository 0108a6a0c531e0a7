// The folder tree under Wine: drives at the top, moving to folders made for the test, the change
// callback, and the custom item drawing read back from a 32-bit DIB section.
#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/view/shell_tree.h"
#include "test_support.h"

namespace setup::win32 {
namespace {

constexpr wchar_t kParentClass[] = L"ShellTreeTestParent";

// A top-level window that hands its WM_NOTIFY messages to the tree, as the content panel does.
LRESULT CALLBACK ParentProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NOTIFY) {
    auto* tree = reinterpret_cast<TSE_ShellTreeView*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    LRESULT result = 0;
    if (tree && tree->HandleNotify(reinterpret_cast<const NMHDR*>(lp), &result)) return result;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

class ShellTree : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ParentProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kParentClass;
    RegisterClassExW(&wc);  // a second registration fails harmlessly
    parent_ = CreateWindowExW(0, kParentClass, L"Tree test", WS_OVERLAPPEDWINDOW, 0, 0, 500, 400, nullptr, nullptr,
                              wc.hInstance, nullptr);
    ASSERT_NE(parent_, nullptr);
    tree_ = std::make_unique<TSE_ShellTreeView>(parent_, 8, 8, 460, 340, true);
    ASSERT_NE(tree_->Handle(), nullptr);
    SetWindowLongPtrW(parent_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(tree_.get()));
    ShowWindow(parent_, SW_SHOWNOACTIVATE);
    ShowWindow(tree_->Handle(), SW_SHOWNA);

    // ...\SetupSystemTests-PID\Tree\Alpha\Beta and a sibling Gamma.
    root_ = ScratchRoot() + "\\Tree";
    CreateDirectoryA(ScratchRoot().c_str(), nullptr);
    CreateDirectoryA(root_.c_str(), nullptr);
    for (const char* sub : {"\\Alpha", "\\Alpha\\Beta", "\\Gamma"}) {
      ASSERT_TRUE(CreateDirectoryA((root_ + sub).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    }
  }
  void TearDown() override {
    if (parent_) SetWindowLongPtrW(parent_, GWLP_USERDATA, 0);
    tree_.reset();
    if (parent_) DestroyWindow(parent_);
  }

  std::wstring ItemText(HTREEITEM item) {
    wchar_t buffer[MAX_PATH] = {};
    TVITEMW tv{};
    tv.mask = TVIF_TEXT | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = buffer;
    tv.cchTextMax = MAX_PATH;
    SendMessageW(tree_->Handle(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
    return buffer;
  }
  HTREEITEM Selected() {
    return reinterpret_cast<HTREEITEM>(SendMessageW(tree_->Handle(), TVM_GETNEXTITEM, TVGN_CARET, 0));
  }

  HWND parent_ = nullptr;
  std::unique_ptr<TSE_ShellTreeView> tree_;
  std::string root_;
};

TEST_F(ShellTree, ListsTheDrivesAtTheTopWithTheirNames) {
  HWND tree = tree_->Handle();
  std::vector<std::u16string> drives;
  for (auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0)); item;
       item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)))) {
    EXPECT_FALSE(ItemText(item).empty());
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
    drives.push_back(tree_->SelectedPath());
  }
  ASSERT_FALSE(drives.empty());
  EXPECT_NE(std::find(drives.begin(), drives.end(), u"C:\\"), drives.end());
  // Nothing below the drives is listed before a drive opens.
  EXPECT_EQ(tree_->NodeCount(), drives.size());
}

TEST_F(ShellTree, SyncSelectsTheFolderWithOrWithoutTrailingBackslash) {
  const std::u16string beta = U16(root_ + "\\Alpha\\Beta");
  tree_->SyncTreeToPath(beta + u"\\", true);
  EXPECT_TRUE(SameFolder(tree_->SelectedPath(), beta)) << std::string(tree_->SelectedPath().begin(), tree_->SelectedPath().end());
  EXPECT_NE(tree_->SelectedPath().back(), u'\\');  // folders below a drive come without one
  EXPECT_EQ(ItemText(Selected()), L"Beta");

  tree_->SyncTreeToPath(U16(root_ + "\\Gamma"), false);
  EXPECT_TRUE(SameFolder(tree_->SelectedPath(), U16(root_ + "\\Gamma")));

  // A drive root keeps its backslash.
  tree_->SyncTreeToPath(u"c:\\", false);
  EXPECT_EQ(tree_->SelectedPath(), u"C:\\");
  EXPECT_FALSE(tree_->Syncing());
}

TEST_F(ShellTree, MissingLastComponentsLandOnTheDeepestExistingFolder) {
  tree_->SyncTreeToPath(U16(root_ + "\\Alpha\\New\\Sub"), true);
  EXPECT_TRUE(SameFolder(tree_->SelectedPath(), U16(root_ + "\\Alpha")));
  tree_->SyncTreeToPath(U16(root_ + "\\Alpha\\Beta\\Nope"), false);
  EXPECT_TRUE(SameFolder(tree_->SelectedPath(), U16(root_ + "\\Alpha\\Beta")));

  // Nothing existing: the selection stays where it was.
  tree_->SyncTreeToPath(u"\\\\nowhere\\share\\x", true);
  EXPECT_TRUE(SameFolder(tree_->SelectedPath(), U16(root_ + "\\Alpha\\Beta")));
}

TEST_F(ShellTree, ChildrenAreSortedAndOnlyFoldersWithSubfoldersHaveButtons) {
  CreateDirectoryA((root_ + "\\alpha2").c_str(), nullptr);
  tree_->SyncTreeToPath(U16(root_ + "\\Alpha"), true);
  HWND tree = tree_->Handle();
  auto next = [tree](HTREEITEM item, UINT how) {
    return reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, how, reinterpret_cast<LPARAM>(item)));
  };
  HTREEITEM parent = next(Selected(), TVGN_PARENT);
  std::vector<std::wstring> names;
  for (HTREEITEM child = next(parent, TVGN_CHILD); child; child = next(child, TVGN_NEXT)) names.push_back(ItemText(child));
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Alpha", L"alpha2", L"Gamma"}));

  // Alpha holds Beta, Gamma holds nothing: the control asks for the button through the callback.
  auto children = [tree](HTREEITEM item) {
    TVITEMW tv{};
    tv.mask = TVIF_CHILDREN | TVIF_HANDLE;
    tv.hItem = item;
    SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
    return tv.cChildren;
  };
  HTREEITEM alpha = next(parent, TVGN_CHILD);
  HTREEITEM gamma = next(next(alpha, TVGN_NEXT), TVGN_NEXT);
  EXPECT_EQ(children(alpha), 1);
  EXPECT_EQ(children(gamma), 0);
}

TEST_F(ShellTree, OnChangeFiresForTheUserAndTheCallerCanTellASync) {
  std::vector<bool> syncing;
  tree_->OnChange = [&] { syncing.push_back(tree_->Syncing()); };
  tree_->SyncTreeToPath(U16(root_ + "\\Alpha"), true);
  ASSERT_FALSE(syncing.empty());
  for (bool during : syncing) EXPECT_TRUE(during);

  syncing.clear();
  SetFocus(tree_->Handle());
  SendMessageW(tree_->Handle(), WM_KEYDOWN, VK_DOWN, 0);  // Alpha -> Beta, as the user moves
  SendMessageW(tree_->Handle(), WM_KEYUP, VK_DOWN, 0);
  EXPECT_EQ(syncing, std::vector<bool>{false});
  EXPECT_TRUE(SameFolder(tree_->SelectedPath(), U16(root_ + "\\Alpha\\Beta")));
}

// The tree rendered through WM_PRINTCLIENT into a top-down 32-bit DIB section.
class Rendering {
 public:
  explicit Rendering(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    width_ = r.right;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = r.right;
    info.bmiHeader.biHeight = -r.bottom;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
    previous_ = SelectObject(dc_, bitmap_);
    SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc_), PRF_CLIENT | PRF_ERASEBKGND);
    GdiFlush();
  }
  ~Rendering() {
    SelectObject(dc_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  Rendering(const Rendering&) = delete;
  Rendering& operator=(const Rendering&) = delete;
  COLORREF At(int x, int y) const {
    const uint32_t p = bits_[y * width_ + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
  bool Holds(const RECT& r, COLORREF colour) const {
    for (int y = r.top; y < r.bottom; ++y) {
      for (int x = r.left; x < r.right; ++x) {
        if (At(x, y) == colour) return true;
      }
    }
    return false;
  }
  bool HoldsOtherThan(const RECT& r, COLORREF colour) const {
    for (int y = r.top; y < r.bottom; ++y) {
      for (int x = r.left; x < r.right; ++x) {
        if (At(x, y) != colour) return true;
      }
    }
    return false;
  }

 private:
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  uint32_t* bits_ = nullptr;
  int width_ = 0;
};

RECT ItemRect(HWND tree, HTREEITEM item, bool text_only) {
  RECT r{};
  std::memcpy(&r, &item, sizeof item);
  SendMessageW(tree, TVM_GETITEMRECT, text_only, reinterpret_cast<LPARAM>(&r));
  return r;
}

TEST_F(ShellTree, ItemsAreDrawnInTheCustomColoursWithTheirIcons) {
  constexpr COLORREF kBack = RGB(0xF0, 0xF8, 0xE0);
  constexpr COLORREF kText = RGB(0x20, 0x40, 0x00);
  constexpr COLORREF kSelBack = RGB(0x80, 0x80, 0x80);
  constexpr COLORREF kSelText = RGB(0xC0, 0x00, 0x00);
  tree_->SetBackgroundColour(kBack);
  tree_->SetFontColour(kText);
  tree_->SetCustomSelCol(kSelBack);
  EXPECT_EQ(tree_->CustomOptions(), unsigned{stvSelCol});
  tree_->SyncTreeToPath(U16(root_ + "\\Alpha"), true);
  HWND tree = tree_->Handle();
  HTREEITEM alpha = Selected();
  HTREEITEM gamma = reinterpret_cast<HTREEITEM>(
      SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(alpha)));
  ASSERT_NE(gamma, nullptr);
  SendMessageW(tree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(gamma));
  SendMessageW(tree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(alpha));
  const RECT text = ItemRect(tree, alpha, true);
  const RECT row = ItemRect(tree, alpha, false);
  const RECT other = ItemRect(tree, gamma, false);
  ASSERT_LT(text.left, row.right - 4);

  {
    // A grey selection alone: grey out to the row's right edge, the normal text colour on it.
    Rendering shot(tree);
    EXPECT_EQ(shot.At(row.right - 3, text.top + 1), kSelBack);
    EXPECT_EQ(shot.At(text.left + 1, text.top), kSelBack);
    EXPECT_TRUE(shot.Holds({text.left, text.top, text.right, text.bottom}, kText));
    EXPECT_EQ(shot.At(other.right - 3, other.top + 1), kBack);
    // The folder icon sits in the 16 pixels before the text.
    EXPECT_TRUE(shot.HoldsOtherThan({text.left - 18, text.top, text.left - 2, text.top + 16}, kBack));
  }

  tree_->SetCustomSelFontCol(kSelText);
  EXPECT_EQ(tree_->CustomOptions(), unsigned{stvSelCol | stvSelFontCol});
  {
    Rendering shot(tree);
    EXPECT_TRUE(shot.Holds({text.left, text.top, text.right, text.bottom}, kSelText));
    EXPECT_FALSE(shot.Holds({text.left, text.top, text.right, text.bottom}, kText));
    EXPECT_FALSE(shot.Holds(other, kSelText));
  }
}

}  // namespace
}  // namespace setup::win32

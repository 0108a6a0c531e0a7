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

// A top-level window that hands its WM_NOTIFY messages to the tree, as the content panel does.
LRESULT CALLBACK ParentProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* tree = reinterpret_cast<TSE_ShellTreeView*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  LRESULT result = 0;
  if (msg == WM_NOTIFY && tree && tree->HandleNotify(reinterpret_cast<const NMHDR*>(lp), &result)) return result;
  return DefWindowProcW(hwnd, msg, wp, lp);
}

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

class ShellTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RegisterWindowClass(L"ShellTreeTestParent", ParentProc));
    parent_ = CreateWindowExW(0, L"ShellTreeTestParent", L"", WS_OVERLAPPEDWINDOW, 0, 0, 500, 400, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(parent_, nullptr);
    tree_ = std::make_unique<TSE_ShellTreeView>(parent_, 8, 8, 460, 340, true);
    ASSERT_NE(tree_->Handle(), nullptr);
    SetWindowLongPtrW(parent_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(tree_.get()));
    ShowWindow(parent_, SW_SHOWNOACTIVATE);
    ShowWindow(tree_->Handle(), SW_SHOWNA);
    root_ = ScratchRoot() + "\\Tree";
    for (const std::string& folder : {ScratchRoot(), root_, root_ + "\\Alpha", root_ + "\\Alpha\\Beta",
                                      root_ + "\\alpha2", root_ + "\\Gamma"}) {
      CreateDirectoryA(folder.c_str(), nullptr);
    }
  }
  void TearDown() override {
    if (parent_) SetWindowLongPtrW(parent_, GWLP_USERDATA, 0);
    tree_.reset();
    if (parent_) DestroyWindow(parent_);
  }

  HTREEITEM Next(HTREEITEM item, UINT how) {
    const LPARAM from = reinterpret_cast<LPARAM>(item);
    return reinterpret_cast<HTREEITEM>(SendMessageW(tree_->Handle(), TVM_GETNEXTITEM, how, from));
  }
  std::wstring Text(HTREEITEM item, int* children = nullptr) {
    wchar_t text[MAX_PATH] = {};
    TVITEMW tv{};
    tv.mask = TVIF_TEXT | TVIF_CHILDREN | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = text;
    tv.cchTextMax = MAX_PATH;
    SendMessageW(tree_->Handle(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
    if (children) *children = tv.cChildren;
    return text;
  }
  bool SelectedIs(const std::string& folder) { return SameFolder(tree_->SelectedPath(), U16(folder)); }

  HWND parent_ = nullptr;
  std::unique_ptr<TSE_ShellTreeView> tree_;
  std::string root_;
};

TEST_F(ShellTree, ListsTheDrivesAtTheTopWithTheirNames) {
  std::vector<std::u16string> drives;
  for (HTREEITEM item = Next(nullptr, TVGN_ROOT); item; item = Next(item, TVGN_NEXT)) {
    EXPECT_FALSE(Text(item).empty());
    SendMessageW(tree_->Handle(), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
    drives.push_back(tree_->SelectedPath());
  }
  EXPECT_NE(std::find(drives.begin(), drives.end(), u"C:\\"), drives.end());
  EXPECT_EQ(tree_->NodeCount(), drives.size());  // nothing below a drive before it opens
}

TEST_F(ShellTree, SyncSelectsTheDeepestExistingFolderAndOnChangeTellsTheUserFromASync) {
  std::vector<bool> syncing;
  tree_->OnChange = [&] { syncing.push_back(tree_->Syncing()); };
  tree_->SyncTreeToPath(U16(root_ + "\\Alpha\\Beta\\"), true);
  EXPECT_TRUE(SelectedIs(root_ + "\\Alpha\\Beta"));
  EXPECT_NE(tree_->SelectedPath().back(), u'\\');  // a folder below a drive comes without one
  EXPECT_EQ(Text(Next(nullptr, TVGN_CARET)), L"Beta");
  tree_->SyncTreeToPath(U16(root_ + "\\Alpha\\New\\Sub"), true);
  EXPECT_TRUE(SelectedIs(root_ + "\\Alpha"));
  tree_->SyncTreeToPath(U16(root_ + "\\Gamma\\Nope"), false);
  EXPECT_TRUE(SelectedIs(root_ + "\\Gamma"));
  tree_->SyncTreeToPath(u"\\\\nowhere\\share\\x", true);  // nothing exists: the selection stays
  EXPECT_TRUE(SelectedIs(root_ + "\\Gamma"));
  ASSERT_FALSE(syncing.empty());
  EXPECT_EQ(syncing, std::vector<bool>(syncing.size(), true));

  syncing.clear();
  SendMessageW(tree_->Handle(), WM_KEYDOWN, VK_UP, 0);  // the user moves to the folder above
  EXPECT_EQ(syncing, std::vector<bool>{false});
  EXPECT_TRUE(SelectedIs(root_ + "\\alpha2"));
  tree_->SyncTreeToPath(u"c:\\", false);
  EXPECT_EQ(tree_->SelectedPath(), u"C:\\");  // a drive keeps its backslash
}

TEST_F(ShellTree, SubfoldersAreSortedAndOnlyThoseWithSubfoldersHaveButtons) {
  tree_->SyncTreeToPath(U16(root_ + "\\Alpha"), true);
  std::vector<std::wstring> names;
  std::vector<int> buttons;
  for (HTREEITEM child = Next(Next(Next(nullptr, TVGN_CARET), TVGN_PARENT), TVGN_CHILD); child;
       child = Next(child, TVGN_NEXT)) {
    names.push_back(Text(child, &buttons.emplace_back()));
  }
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Alpha", L"alpha2", L"Gamma"}));
  EXPECT_EQ(buttons, (std::vector<int>{1, 0, 0}));
}

// Pixels of the tree rendered through WM_PRINTCLIENT into a top-down 32-bit DIB section.
std::vector<uint32_t> Render(HWND window, int& width) {
  RECT r{};
  GetClientRect(window, &r);
  width = r.right;
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), r.right, -r.bottom, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  HDC dc = CreateCompatibleDC(nullptr);
  uint32_t* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
  HGDIOBJ previous = SelectObject(dc, bitmap);
  SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT | PRF_ERASEBKGND);
  GdiFlush();
  std::vector<uint32_t> pixels(bits, bits + r.right * r.bottom);
  SelectObject(dc, previous);
  DeleteObject(bitmap);
  DeleteDC(dc);
  for (uint32_t& p : pixels) p = RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);  // BGRA to COLORREF
  return pixels;
}

RECT ItemRect(HWND tree, HTREEITEM item, bool text_only) {
  RECT r{};
  std::memcpy(&r, &item, sizeof item);
  SendMessageW(tree, TVM_GETITEMRECT, text_only, reinterpret_cast<LPARAM>(&r));
  return r;
}

TEST_F(ShellTree, ItemsAreDrawnInTheCustomColoursWithTheirIcons) {
  constexpr COLORREF kBack = RGB(0xF0, 0xF8, 0xE0), kText = RGB(0x20, 0x40, 0x00);
  constexpr COLORREF kSelBack = RGB(0x80, 0x80, 0x80), kSelText = RGB(0xC0, 0x00, 0x00);
  HWND tree = tree_->Handle();
  tree_->SetBackgroundColour(kBack);
  tree_->SetFontColour(kText);
  tree_->SetCustomSelCol(kSelBack);
  EXPECT_EQ(tree_->CustomOptions(), unsigned{stvSelCol});
  tree_->SyncTreeToPath(U16(root_ + "\\Alpha"), true);
  HTREEITEM alpha = Next(nullptr, TVGN_CARET);
  const RECT text = ItemRect(tree, alpha, true), row = ItemRect(tree, alpha, false);
  const RECT other = ItemRect(tree, Next(alpha, TVGN_NEXT), false);
  int w = 0;
  auto holds = [&w](const std::vector<uint32_t>& pixels, const RECT& r, COLORREF colour, bool equal) {
    for (int y = r.top; y < r.bottom; ++y) {
      for (int x = r.left; x < r.right; ++x) {
        if ((pixels[y * w + x] == colour) == equal) return true;
      }
    }
    return false;
  };

  // A grey selection alone: grey out to the row's right edge with the normal text colour on it,
  // the folder icon in the 16 pixels before the text.
  std::vector<uint32_t> shot = Render(tree, w);
  EXPECT_EQ(shot[(text.top + 1) * w + row.right - 3], kSelBack);
  EXPECT_TRUE(holds(shot, text, kText, true));
  EXPECT_EQ(shot[(other.top + 1) * w + other.right - 3], kBack);
  EXPECT_TRUE(holds(shot, {text.left - 18, text.top, text.left - 2, text.top + 16}, kBack, false));

  tree_->SetCustomSelFontCol(kSelText);
  EXPECT_EQ(tree_->CustomOptions(), unsigned{stvSelCol | stvSelFontCol});
  shot = Render(tree, w);
  EXPECT_TRUE(holds(shot, text, kSelText, true));
  EXPECT_FALSE(holds(shot, text, kText, true));
}

}  // namespace
}  // namespace setup::win32

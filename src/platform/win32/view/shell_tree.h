// TSE_ShellTreeView: the folder tree of the install-folder page, a common tree-view control
// that lists the drives at its top level and fills a node's subfolders when it first opens.
// Every item is drawn by the tree itself: its text in the custom colours, and the shell's small
// folder icon left of it.
//
// The tree-view control reports to its parent, so the parent forwards its WM_NOTIFY messages to
// HandleNotify. The window is created hidden like the other page controls; ShowWindow shows it.
// Positions and sizes are device pixels.
#pragma once

#include "platform/win32/windows_support.h"

#include <commctrl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/tree_sync.h"

namespace setup::win32 {

class TSE_ShellTreeView : public TFolderTreeNodes, private TFolderQuery {
 public:
  TSE_ShellTreeView(HWND parent, int x, int y, int width, int height, bool border);
  ~TSE_ShellTreeView() override;
  TSE_ShellTreeView(const TSE_ShellTreeView&) = delete;
  TSE_ShellTreeView& operator=(const TSE_ShellTreeView&) = delete;

  HWND Handle() const { return tree_; }

  // The tree's own colours: background and the text of items without a custom colour.
  void SetBackgroundColour(COLORREF colour);
  void SetFontColour(COLORREF colour);
  void SetBorder(bool border);

  // Custom item colours; setting one adds its option to CustomOptions (nothing removes it).
  void SetCustomSelFontCol(COLORREF colour);
  void SetCustomFontCol(COLORREF colour);
  void SetCustomSelCol(COLORREF colour);
  COLORREF CustomSelFontCol() const { return colours_.CustomSelFontCol; }
  COLORREF CustomFontCol() const { return colours_.CustomFontCol; }
  COLORREF CustomSelCol() const { return colours_.CustomSelCol; }
  unsigned CustomOptions() const { return colours_.CustomOptions; }  // TShellTreeOption bits

  // Moves the tree to the deepest existing folder of path (see TTreeSync). OnChange fires for
  // the selections this makes, with Syncing() true.
  void SyncTreeToPath(const std::u16string& path, bool expand);
  bool Syncing() const { return sync_.TreeSyncing(); }

  // The selected folder: "C:\\" for a drive, "C:\\Games" below it; empty without selection.
  std::u16string SelectedPath() const;

  // Fired whenever the selected node changes, by the user or by the program.
  std::function<void()> OnChange;

  // Handles the tree's notifications (true when header comes from this tree; *result is then
  // what the parent's window procedure returns).
  bool HandleNotify(const NMHDR* header, LRESULT* result);

  // The node list: every node that exists, in display order.
  size_t NodeCount() override;
  std::u16string NodePath(size_t index) override;
  bool IsFirstSibling(size_t index) override;
  void ExpandNode(size_t index) override;
  void SelectNode(size_t index) override;
  void SetCurrentPath(const std::u16string& folder) override;
  void BeginUpdate() override;
  void EndUpdate() override;

 private:
  struct TNode;

  bool FolderExists(const std::u16string& path) override;

  void AddDrives();
  HTREEITEM InsertNode(HTREEITEM parent, const std::wstring& path, const std::wstring& text, int children);
  TNode* NodeOf(HTREEITEM item) const;
  void FillChildren(HTREEITEM item);
  void Expand(HTREEITEM item);
  const std::vector<HTREEITEM>& Flat();
  HTREEITEM At(size_t index);

  LRESULT OnCustomDraw(NMTVCUSTOMDRAW* draw);
  void DrawItem(HDC dc, HTREEITEM item);
  TTreeColours CurrentColours() const;

  HWND tree_ = nullptr;
  HIMAGELIST spacer_ = nullptr;  // empty images that keep room for the icons the tree draws
  int dpi_ = 96;
  TTreeColours colours_;
  std::vector<std::unique_ptr<TNode>> nodes_;  // the records behind the items' lParam
  std::vector<HTREEITEM> flat_;
  bool flat_valid_ = false;
  int update_depth_ = 0;
  bool redraw_off_ = false;
  TTreeSync sync_;
};

}  // namespace setup::win32

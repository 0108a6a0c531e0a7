// The folder tree's rules that need no window: moving the tree to a typed folder
// (SyncTreeToPath) and the colours of a custom-drawn item.
//
// The synchronisation works on two small interfaces, the file system (is this an existing
// folder?) and the tree seen as a flat node list in display order, so the Windows tree and
// the native tests share one implementation. Paths are Windows paths ("C:\\Games\\") compared
// without regard to the case of ASCII letters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace setup {

class TFolderQuery {
 public:
  virtual ~TFolderQuery() = default;
  virtual bool FolderExists(const std::u16string& path) = 0;
};

// The tree as a flat list of all its nodes in display order (a parent before its children,
// collapsed children included). Indexes are valid until the next call that changes the tree
// (ExpandNode, SetCurrentPath).
class TFolderTreeNodes {
 public:
  virtual ~TFolderTreeNodes() = default;
  virtual size_t NodeCount() = 0;
  // The node's folder, with or without a trailing backslash.
  virtual std::u16string NodePath(size_t index) = 0;
  virtual bool IsFirstSibling(size_t index) = 0;
  // Expands one node (its children are filled, theirs are not).
  virtual void ExpandNode(size_t index) = 0;
  virtual void SelectNode(size_t index) = 0;
  // Expands the tree down to the folder and selects its node (as deep as the tree reaches).
  virtual void SetCurrentPath(const std::u16string& folder) = 0;
  // Changes between the two calls are shown at once when the update ends.
  virtual void BeginUpdate() = 0;
  virtual void EndUpdate() = 0;
};

// Paths equal without regard to ASCII case and to one trailing backslash.
bool SameFolder(const std::u16string& a, const std::u16string& b);

// The deepest existing folder of a path, with a trailing backslash; empty when none exists.
// One trailing backslash is dropped, then the path is cut at its last backslash while it is
// neither an existing folder nor two characters or shorter ("C:").
std::u16string DeepestExistingFolder(const std::u16string& path, TFolderQuery& files);

// The folder and its ancestors from the drive root down, each with its trailing backslash:
// "C:\\Games\\New\\" gives "C:\\", "C:\\Games\\", "C:\\Games\\New\\".
std::vector<std::u16string> FolderChain(const std::u16string& folder);

// Moves a folder tree to a path. TreeSyncing is true while a move runs, so that the window can
// tell the selection changes the move causes from the user's.
class TTreeSync {
 public:
  TTreeSync(TFolderQuery& files, TFolderTreeNodes& tree) : files_(files), tree_(tree) {}

  // Moves the tree to the deepest existing folder of path; with expand, also expands the
  // nodes down to it and selects the node of path itself when that is an existing folder.
  void SyncTreeToPath(const std::u16string& path, bool expand);

  bool TreeSyncing() const { return syncing_; }

 private:
  void ExpandChain(const std::u16string& folder, const std::u16string& path);
  // Index of the node of a folder (linear search), or NodeCount() when there is none.
  size_t FindNode(const std::u16string& folder);

  TFolderQuery& files_;
  TFolderTreeNodes& tree_;
  bool syncing_ = false;
};

// Which custom colours of the folder tree apply (`CustomOptions`); setting a colour adds its
// option and nothing removes one.
enum TShellTreeOption : unsigned { stvSelFontCol = 1u << 0, stvFontCol = 1u << 1, stvSelCol = 1u << 2 };

// Colours are Windows colour values (red in the low byte).
struct TTreeItemColours {
  uint32_t Text = 0;
  uint32_t Background = 0;
};

struct TTreeColours {
  unsigned CustomOptions = 0;
  uint32_t CustomSelFontCol = 0;
  uint32_t CustomFontCol = 0;
  uint32_t CustomSelCol = 0;
  TTreeItemColours Normal;     // the tree's own text and background colours
  TTreeItemColours Selection;  // the tree's own colours of the selected item
};

// The colours an item is drawn in. An option replaces only its own colour. A selected item on a
// custom background keeps the tree's normal text colour rather than the selection's (which is
// meant for the selection's own background) unless a selected text colour is set.
TTreeItemColours ItemColours(const TTreeColours& colours, bool selected);

}  // namespace setup

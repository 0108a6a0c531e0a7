// Moving the folder tree to a typed folder, and the colours of its custom-drawn items.
//
// The tree of this program lists the drives at its top level. A tree whose top nodes are the
// desktop and its neighbours first has to open the container of the drives before any path
// can be found in it; here the drives are there from the start, so the expansion of the built
// path only needs a tree that has nodes at all.
#include "ui/tree_sync.h"

#include "core/text.h"

namespace setup {

namespace {

std::u16string WithoutTrailingBackslash(std::u16string path) {
  if (!path.empty() && path.back() == u'\\') path.pop_back();
  return path;
}

// "C:" on its own names the current folder of drive C; the tree means its root.
bool Exists(TFolderQuery& files, const std::u16string& path) {
  if (path.size() == 2 && path[1] == u':') return files.FolderExists(path + u'\\');
  return files.FolderExists(path);
}

// Restores a flag on every way out of a scope, exceptions included. Restoring rather than
// clearing keeps an outer move flagged when a change handler starts a nested one.
class TFlagScope {
 public:
  explicit TFlagScope(bool& flag) : flag_(flag), outer_(flag) { flag_ = true; }
  ~TFlagScope() { flag_ = outer_; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& flag_;
  bool outer_;
};

class TUpdateScope {
 public:
  explicit TUpdateScope(TFolderTreeNodes& tree) : tree_(tree) { tree_.BeginUpdate(); }
  ~TUpdateScope() { tree_.EndUpdate(); }
  TUpdateScope(const TUpdateScope&) = delete;
  TUpdateScope& operator=(const TUpdateScope&) = delete;

 private:
  TFolderTreeNodes& tree_;
};

}  // namespace

bool SameFolder(const std::u16string& a, const std::u16string& b) {
  const std::u16string x = WithoutTrailingBackslash(a);
  const std::u16string y = WithoutTrailingBackslash(b);
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); ++i) {
    if (LowerAscii(x[i]) != LowerAscii(y[i])) return false;
  }
  return true;
}

std::u16string DeepestExistingFolder(const std::u16string& path, TFolderQuery& files) {
  std::u16string folder = WithoutTrailingBackslash(path);
  while (folder.size() > 2 && !Exists(files, folder)) {
    const size_t cut = folder.rfind(u'\\');
    // A path without any backslash has no parent to fall back to.
    folder.resize(cut == std::u16string::npos ? 0 : cut);
  }
  if (folder.empty() || !Exists(files, folder)) return {};
  return folder + u'\\';
}

std::vector<std::u16string> FolderChain(const std::u16string& folder) {
  std::vector<std::u16string> chain;
  size_t end = folder.find(u'\\');
  while (end != std::u16string::npos) {
    chain.push_back(folder.substr(0, end + 1));
    end = folder.find(u'\\', end + 1);
  }
  if (!folder.empty() && folder.back() != u'\\') chain.push_back(folder + u'\\');
  return chain;
}

void TTreeSync::SyncTreeToPath(const std::u16string& path, bool expand) {
  TFlagScope syncing(syncing_);
  const std::u16string folder = DeepestExistingFolder(path, files_);
  if (folder.empty()) return;
  tree_.SetCurrentPath(folder);
  if (!expand) return;
  TUpdateScope update(tree_);
  ExpandChain(folder, path);
}

void TTreeSync::ExpandChain(const std::u16string& folder, const std::u16string& path) {
  if (tree_.NodeCount() == 0) return;
  for (const std::u16string& built : FolderChain(folder)) {
    const size_t node = FindNode(built);
    if (node == tree_.NodeCount()) break;
    const bool first = tree_.IsFirstSibling(node);
    tree_.ExpandNode(node);
    if (first) break;
  }
  const size_t node = FindNode(path);
  if (node != tree_.NodeCount() && Exists(files_, WithoutTrailingBackslash(path))) tree_.SelectNode(node);
}

size_t TTreeSync::FindNode(const std::u16string& folder) {
  const size_t count = tree_.NodeCount();
  for (size_t i = 0; i < count; ++i) {
    if (SameFolder(tree_.NodePath(i), folder)) return i;
  }
  return count;
}

TTreeItemColours ItemColours(const TTreeColours& colours, bool selected) {
  const unsigned options = colours.CustomOptions;
  if (!selected) {
    TTreeItemColours item = colours.Normal;
    if (options & stvFontCol) item.Text = colours.CustomFontCol;
    return item;
  }
  TTreeItemColours item = colours.Selection;
  if (options & stvSelCol) {
    item.Background = colours.CustomSelCol;
    item.Text = colours.Normal.Text;
  }
  if (options & stvSelFontCol) item.Text = colours.CustomSelFontCol;
  return item;
}

}  // namespace setup

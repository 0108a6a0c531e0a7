// Moving the folder tree to a typed path over an in-memory file system and a recorded node
// list, and the colours of a custom-drawn tree item.
#include "ui/tree_sync.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/text.h"

namespace setup {
namespace {

std::u16string U(const std::string& text) { return WidenAscii(text); }

// Folders are stored lower-case without a trailing backslash; the system answers in any case,
// with or without one.
class TFakeFolders : public TFolderQuery {
 public:
  TFakeFolders(std::initializer_list<const char*> folders) {
    for (const char* f : folders) folders_.insert(Key(U(f)));
  }
  bool FolderExists(const std::u16string& path) override {
    Asked.push_back(path);
    return folders_.count(Key(path)) != 0;
  }
  std::vector<std::u16string> Asked;

 private:
  static std::u16string Key(std::u16string path) {
    for (char16_t& c : path) c = LowerAscii(c);
    if (!path.empty() && path.back() == u'\\') path.pop_back();
    return path;
  }
  std::set<std::u16string> folders_;
};

struct TFakeNode {
  std::string Path;
  bool First = false;
};

// A fixed node list that records what the synchronisation does to it, and whether the guard
// flag was up while it did.
class TFakeTree : public TFolderTreeNodes {
 public:
  explicit TFakeTree(std::vector<TFakeNode> nodes) : nodes_(std::move(nodes)) {}

  size_t NodeCount() override { return nodes_.size(); }
  std::u16string NodePath(size_t i) override { return U(nodes_.at(i).Path); }
  bool IsFirstSibling(size_t i) override { return nodes_.at(i).First; }
  void ExpandNode(size_t i) override { Record("expand " + nodes_.at(i).Path); }
  void SelectNode(size_t i) override { Record("select " + nodes_.at(i).Path); }
  void SetCurrentPath(const std::u16string& folder) override {
    Record("path " + std::string(folder.begin(), folder.end()));
    if (ThrowOnPath) throw std::runtime_error("tree failed");
  }
  void BeginUpdate() override { Record("begin"); }
  void EndUpdate() override { Record("end"); }

  const TTreeSync* Sync = nullptr;
  bool ThrowOnPath = false;
  std::vector<std::string> Calls;
  bool FlagAlwaysUp = true;

 private:
  void Record(const std::string& call) {
    Calls.push_back(call);
    if (Sync && !Sync->TreeSyncing()) FlagAlwaysUp = false;
  }
  std::vector<TFakeNode> nodes_;
};

using Calls = std::vector<std::string>;

TEST(DeepestExistingFolder, DropsOneTrailingBackslashAndCutsBackToAnExistingFolder) {
  TFakeFolders files{"C:\\", "C:\\Games"};
  EXPECT_EQ(DeepestExistingFolder(u"C:\\Games\\", files), u"C:\\Games\\");
  EXPECT_EQ(DeepestExistingFolder(u"C:\\Games", files), u"C:\\Games\\");
  EXPECT_EQ(DeepestExistingFolder(u"C:\\Games\\New\\Sub", files), u"C:\\Games\\");
  EXPECT_EQ(DeepestExistingFolder(u"C:\\Games\\New\\Sub\\", files), u"C:\\Games\\");
  // The typed case stays: the tree compares without regard to it.
  EXPECT_EQ(DeepestExistingFolder(u"c:\\GAMES\\new", files), u"c:\\GAMES\\");
  // Down to the drive: "C:" stands for its root.
  EXPECT_EQ(DeepestExistingFolder(u"C:\\Other\\Place", files), u"C:\\");
  EXPECT_EQ(DeepestExistingFolder(u"C:\\", files), u"C:\\");
  EXPECT_EQ(DeepestExistingFolder(u"C:", files), u"C:\\");
}

TEST(DeepestExistingFolder, EmptyWhenNothingExists) {
  TFakeFolders files{"C:\\"};
  EXPECT_EQ(DeepestExistingFolder(u"Q:\\Games\\New", files), u"");
  EXPECT_EQ(DeepestExistingFolder(u"", files), u"");
  EXPECT_EQ(DeepestExistingFolder(u"\\", files), u"");
  // No backslash to cut at: there is no parent to fall back to.
  EXPECT_EQ(DeepestExistingFolder(u"Games", files), u"");
  EXPECT_EQ(DeepestExistingFolder(u"\\\\server\\share\\x", files), u"");
}

TEST(FolderChain, EveryAncestorFromTheDriveRootWithItsBackslash) {
  EXPECT_EQ(FolderChain(u"C:\\Games\\New\\"),
            (std::vector<std::u16string>{u"C:\\", u"C:\\Games\\", u"C:\\Games\\New\\"}));
  EXPECT_EQ(FolderChain(u"C:\\Games"), (std::vector<std::u16string>{u"C:\\", u"C:\\Games\\"}));
  EXPECT_EQ(FolderChain(u"C:\\"), (std::vector<std::u16string>{u"C:\\"}));
  EXPECT_TRUE(FolderChain(u"").empty());
}

TEST(SameFolder, IgnoresAsciiCaseAndOneTrailingBackslash) {
  EXPECT_TRUE(SameFolder(u"C:\\Games", u"c:\\games\\"));
  EXPECT_TRUE(SameFolder(u"C:\\", u"c:"));
  EXPECT_FALSE(SameFolder(u"C:\\Games", u"C:\\Game"));
  EXPECT_FALSE(SameFolder(u"C:\\Games\\\\", u"C:\\Games"));
  EXPECT_FALSE(SameFolder(u"C:\\Gamés", u"C:\\GamÉs"));  // beyond ASCII letters case counts
}

// A node first among its siblings ends the expansion, so the nodes on the way have an elder
// sibling each.
std::vector<TFakeNode> Nodes() {
  return {{"A:\\", true},         {"C:\\", false},          {"C:\\Apps", true},
          {"C:\\Games", false},   {"C:\\Games\\Alpha", true}, {"C:\\Games\\New", false},
          {"C:\\Tools", false},   {"Z:\\", false}};
}

class SyncTreeToPath : public ::testing::Test {
 protected:
  void SetUp() override { tree_.Sync = &sync_; }
  TFakeFolders files_{"C:\\", "C:\\Games", "C:\\Games\\New", "C:\\Tools", "Z:\\"};
  TFakeTree tree_{Nodes()};
  TTreeSync sync_{files_, tree_};
};

TEST_F(SyncTreeToPath, WithoutExpandOnlySetsTheDeepestExistingFolder) {
  sync_.SyncTreeToPath(u"C:\\Games\\New\\Sub", false);
  EXPECT_EQ(tree_.Calls, (Calls{"path C:\\Games\\New\\"}));
  EXPECT_FALSE(sync_.TreeSyncing());
  EXPECT_TRUE(tree_.FlagAlwaysUp);
}

TEST_F(SyncTreeToPath, NothingExistingLeavesTheTreeAlone) {
  sync_.SyncTreeToPath(u"Q:\\Games\\New", true);
  sync_.SyncTreeToPath(u"", true);
  EXPECT_TRUE(tree_.Calls.empty());
  EXPECT_FALSE(sync_.TreeSyncing());
}

TEST_F(SyncTreeToPath, ExpandWalksTheChainInOneUpdateAndSelectsAnExistingPath) {
  sync_.SyncTreeToPath(u"c:\\games\\NEW\\", true);
  EXPECT_EQ(tree_.Calls, (Calls{"path c:\\games\\NEW\\", "begin", "expand C:\\", "expand C:\\Games",
                                "expand C:\\Games\\New", "select C:\\Games\\New", "end"}));
  EXPECT_FALSE(sync_.TreeSyncing());
  EXPECT_TRUE(tree_.FlagAlwaysUp);
}

TEST_F(SyncTreeToPath, ExpandStopsAtAComponentWithoutNode) {
  // C:\Tools\Bin exists on disk, but the tree has no node for it (not listed yet).
  TFakeFolders files{"C:\\", "C:\\Tools", "C:\\Tools\\Bin", "C:\\Tools\\Bin\\Deep"};
  TTreeSync sync(files, tree_);
  sync.SyncTreeToPath(u"C:\\Tools\\Bin\\Deep", true);
  EXPECT_EQ(tree_.Calls, (Calls{"path C:\\Tools\\Bin\\Deep\\", "begin", "expand C:\\", "expand C:\\Tools", "end"}));
}

TEST_F(SyncTreeToPath, SelectsOnlyWhenThePassedPathItselfExists) {
  // The typed path is missing: the tree goes to C:\Games\New, which is expanded but not
  // selected by the expansion step.
  sync_.SyncTreeToPath(u"C:\\Games\\New\\Sub", true);
  EXPECT_EQ(tree_.Calls, (Calls{"path C:\\Games\\New\\", "begin", "expand C:\\", "expand C:\\Games",
                                "expand C:\\Games\\New", "end"}));

  // A node whose folder has gone since the tree listed it is not selected either.
  TFakeFolders files{"C:\\", "C:\\Games"};
  TFakeTree tree(Nodes());
  TTreeSync sync(files, tree);
  sync.SyncTreeToPath(u"C:\\Games\\New", true);
  EXPECT_EQ(tree.Calls, (Calls{"path C:\\Games\\", "begin", "expand C:\\", "expand C:\\Games", "end"}));
}

TEST_F(SyncTreeToPath, ExpandStopsAfterANodeThatIsFirstAmongItsSiblings) {
  TFakeTree tree({{"C:\\", true}, {"C:\\Games", true}, {"C:\\Games\\New", true}, {"Z:\\", false}});
  TTreeSync sync(files_, tree);
  sync.SyncTreeToPath(u"C:\\Games\\New", true);
  EXPECT_EQ(tree.Calls, (Calls{"path C:\\Games\\New\\", "begin", "expand C:\\", "select C:\\Games\\New", "end"}));
}

TEST_F(SyncTreeToPath, AnEmptyTreeIsOnlyGivenThePath) {
  TFakeTree tree({});
  TTreeSync sync(files_, tree);
  sync.SyncTreeToPath(u"C:\\Games", true);
  EXPECT_EQ(tree.Calls, (Calls{"path C:\\Games\\", "begin", "end"}));
}

TEST_F(SyncTreeToPath, GuardFlagAndUpdateEndOnAFailure) {
  tree_.ThrowOnPath = true;
  EXPECT_THROW(sync_.SyncTreeToPath(u"C:\\Games", false), std::runtime_error);
  EXPECT_FALSE(sync_.TreeSyncing());

  // A failure inside the update still ends it.
  struct TFailingExpand : TFakeTree {
    using TFakeTree::TFakeTree;
    void ExpandNode(size_t) override { throw std::runtime_error("expand failed"); }
  } tree(Nodes());
  TTreeSync sync(files_, tree);
  EXPECT_THROW(sync.SyncTreeToPath(u"C:\\Games", true), std::runtime_error);
  EXPECT_FALSE(sync.TreeSyncing());
  EXPECT_EQ(tree.Calls.back(), "end");
}

TEST_F(SyncTreeToPath, ANestedMoveLeavesTheOuterOneFlagged) {
  // A change handler that reacts to the move's own selection by starting another move.
  struct TReentrantTree : TFakeTree {
    using TFakeTree::TFakeTree;
    void SetCurrentPath(const std::u16string& folder) override {
      TFakeTree::SetCurrentPath(folder);
      if (Nested) {
        Nested = false;
        Outer->SyncTreeToPath(u"C:\\Tools", false);
        InnerLeftFlagUp = Outer->TreeSyncing();
      }
    }
    TTreeSync* Outer = nullptr;
    bool Nested = true;
    bool InnerLeftFlagUp = false;
  } tree(Nodes());
  TTreeSync sync(files_, tree);
  tree.Outer = &sync;
  sync.SyncTreeToPath(u"C:\\Games", false);
  EXPECT_TRUE(tree.InnerLeftFlagUp);
  EXPECT_FALSE(sync.TreeSyncing());
}

TEST(ItemColours, OptionsReplaceOnlyTheirOwnColour) {
  TTreeColours c;
  c.Normal = {0x000000, 0xFFFFFF};
  c.Selection = {0xFFFFFF, 0x800000};
  c.CustomSelFontCol = 0x0000FF;
  c.CustomFontCol = 0x00FF00;
  c.CustomSelCol = 0x808080;

  // No option: the tree's own colours, also for the selection.
  EXPECT_EQ(ItemColours(c, false).Text, 0x000000u);
  EXPECT_EQ(ItemColours(c, true).Text, 0xFFFFFFu);
  EXPECT_EQ(ItemColours(c, true).Background, 0x800000u);

  // A grey selection alone: grey with the tree's normal text colour.
  c.CustomOptions = stvSelCol;
  EXPECT_EQ(ItemColours(c, true).Background, 0x808080u);
  EXPECT_EQ(ItemColours(c, true).Text, 0x000000u);
  EXPECT_EQ(ItemColours(c, false).Background, 0xFFFFFFu);

  c.CustomOptions = stvSelCol | stvSelFontCol | stvFontCol;
  EXPECT_EQ(ItemColours(c, true).Text, 0x0000FFu);
  EXPECT_EQ(ItemColours(c, false).Text, 0x00FF00u);
  EXPECT_EQ(ItemColours(c, false).Background, 0xFFFFFFu);

  // The normal text colour does not reach the selected item.
  c.CustomOptions = stvFontCol;
  EXPECT_EQ(ItemColours(c, true).Text, 0xFFFFFFu);
}

}  // namespace
}  // namespace setup

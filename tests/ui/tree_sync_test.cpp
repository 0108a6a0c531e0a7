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

// Folders kept lower-case without a trailing backslash; asked in any case, with or without one.
class TFakeFolders : public TFolderQuery {
 public:
  TFakeFolders(std::initializer_list<const char*> folders) {
    for (const char* f : folders) folders_.insert(Key(WidenAscii(f)));
  }
  bool FolderExists(const std::u16string& path) override { return folders_.count(Key(path)) != 0; }

 private:
  static std::u16string Key(std::u16string path) {
    for (char16_t& c : path) c = LowerAscii(c);
    if (!path.empty() && path.back() == u'\\') path.pop_back();
    return path;
  }
  std::set<std::u16string> folders_;
};

// A fixed node list ("*" marks a node first among its siblings) that records the calls made
// to it and whether the guard flag was up during each.
class TFakeTree : public TFolderTreeNodes {
 public:
  explicit TFakeTree(std::vector<std::string> nodes) : nodes_(std::move(nodes)) {}
  size_t NodeCount() override { return nodes_.size(); }
  std::u16string NodePath(size_t i) override { return WidenAscii(Name(i)); }
  bool IsFirstSibling(size_t i) override { return nodes_.at(i)[0] == '*'; }
  void ExpandNode(size_t i) override { Record("expand " + Name(i)); }
  void SelectNode(size_t i) override { Record("select " + Name(i)); }
  void SetCurrentPath(const std::u16string& folder) override {
    Record("path " + std::string(folder.begin(), folder.end()));
    if (Fail) throw std::runtime_error("tree failed");
  }
  void BeginUpdate() override { Record("begin"); }
  void EndUpdate() override { Record("end"); }

  const TTreeSync* Sync = nullptr;
  bool Fail = false;
  bool FlagAlwaysUp = true;
  std::vector<std::string> Calls;

 private:
  std::string Name(size_t i) { return nodes_.at(i)[0] == '*' ? nodes_.at(i).substr(1) : nodes_.at(i); }
  void Record(const std::string& call) {
    Calls.push_back(call);
    if (Sync && !Sync->TreeSyncing()) FlagAlwaysUp = false;
  }
  std::vector<std::string> nodes_;
};

using Calls = std::vector<std::string>;

TEST(DeepestExistingFolder, DropsOneBackslashThenCutsBackToAnExistingFolder) {
  TFakeFolders files{"C:\\", "C:\\Games"};
  EXPECT_EQ(DeepestExistingFolder(u"C:\\Games\\", files), u"C:\\Games\\");
  EXPECT_EQ(DeepestExistingFolder(u"C:\\Games\\New\\Sub", files), u"C:\\Games\\");
  EXPECT_EQ(DeepestExistingFolder(u"c:\\GAMES\\new\\", files), u"c:\\GAMES\\");  // the typed case stays
  EXPECT_EQ(DeepestExistingFolder(u"C:\\Other\\Place", files), u"C:\\");  // "C:" stands for the root
  EXPECT_EQ(DeepestExistingFolder(u"C:", files), u"C:\\");
  for (const char16_t* none : {u"Q:\\Games\\New", u"", u"\\", u"Games", u"\\\\server\\share\\x"}) {
    EXPECT_EQ(DeepestExistingFolder(none, files), u"") << std::u16string(none).size();
  }
}

class SyncTreeToPath : public ::testing::Test {
 protected:
  void SetUp() override { tree_.Sync = &sync_; }
  TFakeFolders files_{"C:\\", "C:\\Games", "C:\\Games\\New", "C:\\Tools", "C:\\Tools\\Bin", "Z:\\"};
  // Every node on the way to C:\Games\New has an elder sibling, so nothing ends the walk early.
  TFakeTree tree_{{"*A:\\", "C:\\", "*C:\\Apps", "C:\\Games", "*C:\\Games\\Alpha", "C:\\Games\\New", "C:\\Tools",
                   "Z:\\"}};
  TTreeSync sync_{files_, tree_};
};

TEST_F(SyncTreeToPath, WithoutExpandOnlySetsTheDeepestExistingFolder) {
  sync_.SyncTreeToPath(u"Q:\\Games", false);
  sync_.SyncTreeToPath(u"", true);
  EXPECT_TRUE(tree_.Calls.empty());  // nothing exists: the tree is not touched
  sync_.SyncTreeToPath(u"C:\\Games\\New\\Sub", false);
  EXPECT_EQ(tree_.Calls, (Calls{"path C:\\Games\\New\\"}));
  EXPECT_TRUE(tree_.FlagAlwaysUp);
  EXPECT_FALSE(sync_.TreeSyncing());
}

TEST_F(SyncTreeToPath, ExpandWalksThePathInOneUpdateAndSelectsIt) {
  sync_.SyncTreeToPath(u"c:\\games\\NEW\\", true);
  EXPECT_EQ(tree_.Calls, (Calls{"path c:\\games\\NEW\\", "begin", "expand C:\\", "expand C:\\Games",
                                "expand C:\\Games\\New", "select C:\\Games\\New", "end"}));
  EXPECT_TRUE(tree_.FlagAlwaysUp);
  EXPECT_FALSE(sync_.TreeSyncing());
}

TEST_F(SyncTreeToPath, ExpandStopsAtAMissingNodeOrAFirstSiblingAndSelectsOnlyAnExistingPath) {
  // C:\Tools\Bin exists but is not listed yet; the typed path below it does not exist.
  sync_.SyncTreeToPath(u"C:\\Tools\\Bin\\Deep", true);
  EXPECT_EQ(tree_.Calls, (Calls{"path C:\\Tools\\Bin\\", "begin", "expand C:\\", "expand C:\\Tools", "end"}));

  // A listed node whose folder has gone is not selected.
  tree_.Calls.clear();
  TFakeFolders gone{"C:\\", "C:\\Games"};
  TTreeSync sync(gone, tree_);
  sync.SyncTreeToPath(u"C:\\Games\\New", true);
  EXPECT_EQ(tree_.Calls, (Calls{"path C:\\Games\\", "begin", "expand C:\\", "expand C:\\Games", "end"}));

  // C: first among the drives (no floppy) ends the walk after the drive.
  TFakeTree first({"*C:\\", "*C:\\Games", "*C:\\Games\\New", "Z:\\"});
  TTreeSync from_first(files_, first);
  from_first.SyncTreeToPath(u"C:\\Games\\New", true);
  EXPECT_EQ(first.Calls, (Calls{"path C:\\Games\\New\\", "begin", "expand C:\\", "select C:\\Games\\New", "end"}));
}

TEST_F(SyncTreeToPath, AFailureLowersTheFlag) {
  tree_.Fail = true;
  EXPECT_THROW(sync_.SyncTreeToPath(u"C:\\Games", true), std::runtime_error);
  EXPECT_FALSE(sync_.TreeSyncing());
}

TEST(ItemColours, OptionsReplaceOnlyTheirOwnColour) {
  TTreeColours c;
  c.Normal = {0x000000, 0xFFFFFF};
  c.Selection = {0xFFFFFF, 0x800000};
  c.CustomSelFontCol = 0x0000FF;
  c.CustomFontCol = 0x00FF00;
  c.CustomSelCol = 0x808080;
  auto is = [](TTreeItemColours item, uint32_t text, uint32_t background) {
    return item.Text == text && item.Background == background;
  };
  EXPECT_TRUE(is(ItemColours(c, false), 0x000000, 0xFFFFFF));  // no option: the tree's own colours
  EXPECT_TRUE(is(ItemColours(c, true), 0xFFFFFF, 0x800000));
  c.CustomOptions = stvSelCol;  // a grey selection alone: the normal text colour on grey
  EXPECT_TRUE(is(ItemColours(c, true), 0x000000, 0x808080));
  c.CustomOptions = stvFontCol;  // does not reach the selected item
  EXPECT_TRUE(is(ItemColours(c, true), 0xFFFFFF, 0x800000));
  EXPECT_TRUE(is(ItemColours(c, false), 0x00FF00, 0xFFFFFF));
  c.CustomOptions = stvSelCol | stvSelFontCol;
  EXPECT_TRUE(is(ItemColours(c, true), 0x0000FF, 0x808080));
}

}  // namespace
}  // namespace setup

#include "builder/compiler_file_list.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_files.h"

namespace setup {
namespace {

namespace fs = std::filesystem;

// A source tree below the scratch folder: name -> content.
std::string Tree(const std::string& root, const std::vector<std::string>& files) {
  const fs::path base = testing::ScratchFolder() / root;
  fs::remove_all(base);
  for (const std::string& f : files) {
    fs::create_directories((base / f).parent_path());
    testing::WriteFile((base / f).string(), {'x'});
  }
  return base.string();
}

std::vector<std::string> Names(const TCompilerGroup& group) {
  std::vector<std::string> names;
  for (const TCompilerFile& f : group.Files) names.push_back(f.Name);
  return names;
}

TEST(CompilerFileList, FoldersAreWalkedBreadthFirstInNameOrder) {
  const std::string root = Tree("walk", {"b.txt", "A.txt", "sub/z.txt", "sub/deeper/y.txt", "Other/x.txt", "c.TXT"});
  TCompilerFileList list;
  ASSERT_TRUE(list.AddSourceFolder(root, 1, "", true, ""));
  EXPECT_EQ(Names(list.Groups[1]), (std::vector<std::string>{"A.txt", "b.txt", "c.TXT", "Other\\x.txt",
                                                              "sub\\z.txt", "sub\\deeper\\y.txt"}));
  EXPECT_EQ(list.TotalFiles, 6u);
  // Without a trailing separator the walk gives the same names.
  TCompilerFileList again;
  again.AddSourceFolder(root + "/", 1, "pre\\", true, "");
  EXPECT_EQ(again.Groups[1].Files.front().Name, "pre\\A.txt");
}

TEST(CompilerFileList, RelativeSourcesAndSingleFiles) {
  const std::string root = Tree("relative", {"data/one.bin"});
  TCompilerFileList list;
  list.BaseFolder = root;
  EXPECT_TRUE(list.AddSourceFolder("data\\one.bin", 1, "", false, ""));
  EXPECT_EQ(Names(list.Groups[1]), std::vector<std::string>{"one.bin"});
  EXPECT_FALSE(list.AddSourceFolder("missing", 2, "", false, ""));
  EXPECT_EQ(list.Groups.size(), 3u);  // the group exists, empty
}

TEST(CompilerFileList, SameArchiveGroupsMergeAndLaterFilesReplace) {
  const std::string first = Tree("first", {"a.dat", "b.dat"});
  const std::string second = Tree("second", {"B.DAT", "c.dat"});
  TCompilerFileList list;
  std::vector<std::string> replaced;
  list.OnReplace = [&](const std::string& m) { replaced.push_back(m); };
  list.AddSourceFolder(first, list.NextGroup(), "", true, "Game.KZP");
  list.AddSourceFolder(second, list.NextGroup(), "", true, "game.kzp");
  EXPECT_EQ(list.Groups[1].Name, "game.kzp");
  EXPECT_EQ(Names(list.Groups[1]), (std::vector<std::string>{"a.dat", "B.DAT", "c.dat"}));
  EXPECT_EQ(list.Groups[1].Files[1].SourcePath, (fs::path(second) / "B.DAT").string());
  EXPECT_EQ(list.Groups[1].Files[2].Group, 1);
  EXPECT_TRUE(list.Groups[2].Files.empty());
  EXPECT_EQ(replaced, std::vector<std::string>{"Replacing Previous Instance of B.DAT"});
}

TEST(CompilerFileList, PlainFileGroupsNeverMerge) {
  const std::string root = Tree("plain", {"a.txt"});
  TCompilerFileList list;
  list.AddSourceFolder(root, list.NextGroup(), "", true, "");
  list.AddSourceFolder(root, list.NextGroup(), "", true, "");
  EXPECT_EQ(list.Groups[1].Files.size(), 1u);
  EXPECT_EQ(list.Groups[2].Files.size(), 1u);
}

TEST(CompilerFileList, LayoutIconIsNeverTakenIn) {
  const std::string root = Tree("program", {"layout/default/icon.ico", "layout/default/Pages.txt"});
  TCompilerFileList list;
  list.LayoutIcon = (fs::path(root) / "layout" / "default" / "ICON.ICO").string();
  list.AddSourceFolder(root, 1, "", true, "");
  EXPECT_EQ(Names(list.Groups[1]), std::vector<std::string>{"layout\\default\\Pages.txt"});
}

TEST(CompilerFileList, EnsureGroupKeepsExistingNames) {
  TCompilerFileList list;
  list.EnsureGroup(3, "X.VFS");
  list.EnsureGroup(3, "other");
  list.EnsureGroup(2, "late");
  EXPECT_EQ(list.Groups[3].Name, "x.vfs");
  EXPECT_EQ(list.Groups[2].Name, "");  // passed over when group 3 was made
}

}  // namespace
}  // namespace setup

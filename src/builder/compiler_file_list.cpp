// The build side's file list and its group rules.
#include "builder/compiler_file_list.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <system_error>

#include "builder/codepage.h"
#include "core/text.h"

namespace setup {

namespace fs = std::filesystem;

bool NameOrderLess(const std::string& a, const std::string& b) {
  const std::string la = LowerAscii(a);
  const std::string lb = LowerAscii(b);
  return la != lb ? la < lb : a < b;
}

void TCompilerFileList::Reset() {
  Groups.assign(1, TCompilerGroup{});
  TotalFiles = 0;
  GroupCounter = 0;
}

void TCompilerFileList::EnsureGroup(uint16_t group, const std::string& name) {
  if (group < Groups.size()) return;
  Groups.resize(static_cast<size_t>(group) + 1);
  Groups[group].Name = LowerAscii(name);
}

std::filesystem::path NativePath(const std::string& text) {
  std::string p = text;
#ifndef _WIN32
  std::replace(p.begin(), p.end(), '\\', '/');
#endif
  return fs::path(p);
}

std::filesystem::path FindNativePath(const std::string& base, const std::string& text) {
  const auto below = [&](const std::string& t) {
    return base.empty() ? NativePath(t) : NativePath(base) / NativePath(t);
  };
  const fs::path path = below(text);
  std::error_code ec;
  if (IsAscii(text) || fs::exists(path, ec)) return path;
  const std::optional<std::string> older = builder::Utf8ToWindows1252(text);
  if (older && fs::exists(below(*older), ec)) return below(*older);
  return path;
}

std::string DiskNameText(const std::filesystem::path& name) {
#ifdef _WIN32
  const std::u8string text = name.u8string();
  return std::string(text.begin(), text.end());
#else
  const std::string& bytes = name.native();
  return IsValidUtf8(bytes) ? bytes : Windows1252ToUtf8(bytes);
#endif
}

namespace {

std::string PackageName(const fs::path& relative) {
  std::string name;
  for (const fs::path& part : relative) {
    if (!name.empty()) name += '\\';
    name += DiskNameText(part);
  }
  return name;
}

}  // namespace

bool TCompilerFileList::AddSourceFolder(const std::string& source, uint16_t group, const std::string& prefix,
                                        bool absolute, const std::string& group_name) {
  EnsureGroup(group, group_name);
  const fs::path path = FindNativePath(absolute ? std::string() : BaseFolder, source);
  std::error_code ec;
  if (!fs::is_directory(path, ec)) {
    if (!fs::is_regular_file(path, ec)) return false;
    AddSourceFile(path.string(), DiskNameText(path.filename()), prefix, group);
    return true;
  }
  // Breadth-first: a folder's files and the folders below it in listing order, the sub-folders
  // queued behind every folder already waiting.
  const fs::path icon = LayoutIcon.empty() ? fs::path() : fs::path(LayoutIcon);
  std::deque<fs::path> queue{path};
  while (!queue.empty()) {
    const fs::path folder = queue.front();
    queue.pop_front();
    std::vector<fs::directory_entry> items;
    for (const fs::directory_entry& item : fs::directory_iterator(folder, ec)) items.push_back(item);
    std::sort(items.begin(), items.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
      return NameOrderLess(a.path().filename().string(), b.path().filename().string());
    });
    for (const fs::directory_entry& item : items) {
      if (item.is_directory(ec)) {
        queue.push_back(item.path());
        continue;
      }
      if (!icon.empty() && SameTextAscii(fs::absolute(item.path(), ec).lexically_normal().string(),
                                         fs::absolute(icon, ec).lexically_normal().string())) {
        continue;
      }
      AddSourceFile(item.path().string(), PackageName(item.path().lexically_relative(path)), prefix, group);
    }
  }
  return true;
}

void TCompilerFileList::AddSourceFile(const std::string& source, const std::string& relative,
                                      const std::string& prefix, uint16_t group) {
  std::error_code ec;
  if (!fs::exists(NativePath(source), ec)) return;
  if (OnAdd) OnAdd("Adding To List " + relative + " Current Count: " + std::to_string(TotalFiles));
  EnsureGroup(group, "");
  const std::string& name = Groups[group].Name;
  uint16_t target = group;
  if (group != 0 && !name.empty()) {
    for (size_t g = 1; g < Groups.size(); ++g) {
      if (g == group || !SameTextAscii(Groups[g].Name, name)) continue;
      for (TCompilerFile& f : Groups[g].Files) {
        if (SameTextAscii(f.Name, relative)) {
          f.SourcePath = source;
          f.Name = relative;
          if (OnReplace) OnReplace("Replacing Previous Instance of " + relative);
          return;
        }
      }
    }
    for (size_t g = 1; g < Groups.size(); ++g) {
      if (g != group && SameTextAscii(Groups[g].Name, name)) {
        target = static_cast<uint16_t>(g);
        break;
      }
    }
  }
  Groups[target].Files.push_back({source, prefix + relative, target});
  ++TotalFiles;
}

}  // namespace setup

// Listing the folders of a "patch" line.
#include "builder/patch_tree.h"

#include <algorithm>
#include <deque>
#include <map>
#include <string_view>
#include <system_error>

#include "builder/compiler_file_list.h"
#include "builder/script.h"
#include "core/text.h"

namespace setup::builder {

namespace fs = std::filesystem;

namespace {

// Whether Windows can name a file so: no control characters and none of \ / : * ? " < > |.
bool WindowsFileName(const std::string& name) {
  for (const unsigned char c : name) {
    if (c < 32 || c == 127 || std::string_view("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<TPatchTreeFile> ListPatchTree(const fs::path& folder, int line) {
  std::error_code ec;
  if (!fs::exists(folder, ec)) throw TBuildError(line, "patch folder not found: " + folder.string());
  if (!fs::is_directory(folder, ec)) {
    throw TBuildError(line, "patch takes folders, and " + folder.string() + " is a file");
  }
  std::vector<TPatchTreeFile> files;
  // Folder and relative name ("" for the top), the sub-folders queued behind every folder
  // already waiting, as the file list walks.
  std::deque<std::pair<fs::path, std::string>> queue{{folder, ""}};
  while (!queue.empty()) {
    const auto [path, relative] = queue.front();
    queue.pop_front();
    std::vector<fs::directory_entry> items;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) items.push_back(*it);
    if (ec) throw TBuildError(line, "cannot list " + path.string() + ": " + ec.message());
    std::sort(items.begin(), items.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
      return NameOrderLess(a.path().filename().string(), b.path().filename().string());
    });
    std::map<std::string, std::string> folded;  // lowered name: the name
    for (const fs::directory_entry& item : items) {
      const std::string base = DiskNameText(item.path().filename());
      if (!WindowsFileName(base)) {
        throw TBuildError(line, "\"" + base + "\" in " + path.string() + " cannot be a file name on Windows");
      }
      const auto [same, fresh] = folded.emplace(LowerUnicode(base), base);
      if (!fresh) {
        throw TBuildError(line, "\"" + same->second + "\" and \"" + base + "\" in " + path.string() +
                                    " differ only in letter case: on Windows they are one file");
      }
      const std::string name = relative.empty() ? base : relative + "\\" + base;
      if (item.is_directory(ec)) {
        queue.emplace_back(item.path(), name);
      } else if (item.is_regular_file(ec)) {
        const uint64_t size = item.file_size(ec);
        if (ec) throw TBuildError(line, "cannot read " + item.path().string() + ": " + ec.message());
        files.push_back({name, item.path().string(), size});
      }
    }
  }
  return files;
}

}  // namespace setup::builder

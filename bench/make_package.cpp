// Packs a folder tree into a setup package for the benchmarks:
//
//   make_package SOURCE_DIR OUT_FILE
//
// Every regular file under SOURCE_DIR becomes one group-1 entry named by its path relative to
// SOURCE_DIR with "\" separators, in sorted order, stored by the package writer itself
// (level-9 zlib, plain when that does not shrink the file, plain and unchecked at the
// large-entry limit). The package has no host bytes in front of it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/pak.h"

namespace fs = std::filesystem;

namespace {

struct TSource {
  std::string Name;  // relative, "\" separated
  fs::path Path;
};

std::vector<TSource> CollectFiles(const fs::path& root) {
  std::vector<TSource> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::string name = entry.path().lexically_relative(root).generic_string();
    std::replace(name.begin(), name.end(), '/', '\\');
    files.push_back({std::move(name), entry.path()});
  }
  std::sort(files.begin(), files.end(), [](const TSource& a, const TSource& b) { return a.Name < b.Name; });
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_package SOURCE_DIR OUT_FILE\n");
    return 2;
  }
  const fs::path root = argv[1];
  const std::string out = argv[2];
  try {
    const auto started = std::chrono::steady_clock::now();
    const std::vector<TSource> files = CollectFiles(root);
    if (files.size() > 0xFFFF) {
      std::fprintf(stderr, "make_package: %zu files, a package holds at most 65535\n", files.size());
      return 1;
    }
    setup::TPak pak(out, setup::pmCreate);
    if (!pak.IsOpen()) {
      std::fprintf(stderr, "make_package: cannot create %s\n", out.c_str());
      return 1;
    }
    uint64_t bytes = 0;
    for (const TSource& f : files) {
      const int index = pak.AddEntry(f.Name, f.Path.string(), 1);
      if (!pak.StoreFromFile(index)) {
        std::fprintf(stderr, "make_package: cannot store %s\n", f.Path.string().c_str());
        return 1;
      }
      bytes += pak.Directory()[index].Size;
    }
    if (!pak.WriteDirectory()) {
      std::fprintf(stderr, "make_package: cannot write the directory of %s\n", out.c_str());
      return 1;
    }
    pak.Close();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("package %s: %zu entries, %.1f MB of files in %.1f MB, written in %.1f s\n", out.c_str(),
                files.size(), bytes / 1e6, fs::file_size(out) / 1e6, seconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_package: %s\n", e.what());
    return 1;
  }
  return 0;
}

// Time of a "vfsupdate" of many files, and how it grows when the count doubles.
//
//   vfs_bench [ROUNDS]
//
// For 1,000, 2,000 and 4,000 files, in two layouts:
//   nested  Data\AreaA\ZoneZ\PartP\fileN.dat, about 25 files per folder (160 folders at 4,000)
//   flat    Data\fileN.dat, every file in one folder whose table grows to 352,000 bytes
// each file 3,000 to 5,000 bytes of half-compressible data. A setup package with the files as
// group 1 is written to a scratch folder with an archive of 4 KiB blocks large enough for them;
// VfsUpdateFromPackage then writes the group with the close flag (save with digest and ".ht"
// included). The archive is made anew for each round; the median of ROUNDS (default 3) is
// printed, with the time InternalCompressFile alone takes for the same contents (the part that
// grows linearly whatever the folders do) and the ratio to the count half as large.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archives/vfs_check.h"
#include "archives/vfs_file.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "engine/vfs_update.h"

namespace {

using namespace setup;
using Clock = std::chrono::steady_clock;

TBytes Content(size_t i) {
  const size_t size = 3000 + (i * 7919) % 2001;
  TBytes out(size);
  uint32_t x = static_cast<uint32_t>(i) * 2654435761u + 1;
  for (size_t k = 0; k < size; ++k) {
    if (k % 64 < 32) {
      out[k] = static_cast<uint8_t>("archive entry text "[k % 19]);
    } else {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      out[k] = static_cast<uint8_t>(x);
    }
  }
  return out;
}

std::string Name(size_t i, bool nested) {
  if (!nested) return "Data\\file" + std::to_string(i) + ".dat";
  const size_t leaf = i / 25;
  return "Data\\Area" + std::to_string(leaf % 4) + "\\Zone" + std::to_string((leaf / 4) % 5) + "\\Part" +
         std::to_string(leaf / 20) + "\\file" + std::to_string(i) + ".dat";
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::filesystem::path work = std::filesystem::temp_directory_path() / ("vfs-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(work / "install");
  Globals().SetupInfo.InstallDir = (work / "install").string();
  const std::string archive_name = "bench.vfs";
  // The update opens install folder + "\" + name; the archive files take "\" for "/".
  const std::string archive_path = Globals().SetupInfo.InstallDir + "\\" + archive_name;

  std::printf("%-7s %6s %12s %12s %12s %10s\n", "layout", "files", "update", "compress", "rest", "x previous");
  for (bool nested : {true, false}) {
    double previous = 0;
    for (size_t count : {1000u, 2000u, 4000u}) {
      const std::string package_path = (work / "bench.pak").string();
      std::vector<TBytes> contents;
      {
        TPak pak(package_path, pmCreate);
        for (size_t i = 0; i < count; ++i) {
          contents.push_back(Content(i));
          const int index = pak.AddEntry(Name(i, nested), "", 1);
          pak.StoreFromMemory(index, contents.back().data(), static_cast<uint32_t>(contents.back().size()));
        }
        pak.WriteDirectory();
      }
      Globals().Package = std::make_unique<TPak>(package_path, pmRead);
      Globals().Package->ReadDirectory();

      std::vector<double> update, compress;
      for (int round = 0; round < rounds; ++round) {
        TVFSGeometry g;
        g.BlockSize = 4096;
        g.BlockCount = static_cast<uint32_t>(count * 2 + 512);
        g.RootSlots = 64;
        if (!TVFSFile::Create(archive_path, g)) {
          std::fprintf(stderr, "vfs_bench: cannot create %s\n", archive_path.c_str());
          return 1;
        }
        auto start = Clock::now();
        VfsUpdateFromPackage(1, archive_name, true, {});
        update.push_back(std::chrono::duration<double>(Clock::now() - start).count());

        start = Clock::now();
        TBytes packed;
        for (const TBytes& c : contents) TVFSTree::InternalCompressFile(c.data(), c.size(), packed);
        compress.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      }
      const TVfsCheckResult check = CheckVfsArchive(archive_path);
      if (!check.Sound()) {
        std::fprintf(stderr, "vfs_bench: the archive is not sound: %s\n", check.Problems.front().c_str());
        return 1;
      }
      const double u = Median(update), c = Median(compress);
      char ratio[16] = "-";
      if (previous > 0) std::snprintf(ratio, sizeof ratio, "%.2f", u / previous);
      std::printf("%-7s %6zu %10.3f s %10.3f s %10.3f s %10s\n", nested ? "nested" : "flat", count, u, c, u - c, ratio);
      previous = u;
      Globals().Package.reset();
    }
  }
  std::filesystem::remove_all(work);
  return 0;
}

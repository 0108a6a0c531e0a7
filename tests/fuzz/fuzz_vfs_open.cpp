// Fuzz target: the VFS archive opener and tree loader, the chain reader and unpacker, and the
// changes "vfsupdate" makes, on archives with chains that loop, block numbers out of range and
// record counts past the data. The input is written to a scratch file (the archive is read
// through a file handle, as the setup reads it).
//
// Checks beyond the sanitizers: an archive that checks sound after a first save must still
// check sound after files are added and it is saved again, unless a change was refused.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "archives/vfs_check.h"
#include "archives/vfs_file.h"
#include "core/error.h"

namespace {

using namespace setup;

const std::string& ScratchArchive() {
  static const std::string path = [] {
    const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(folder) + "/fuzz_vfs_open-" + std::to_string(getpid()) + ".vfs";
  }();
  static const bool removed_at_exit = std::atexit([] {
    std::remove(path.c_str());
    std::remove(HashFilePath(path).c_str());
  }) == 0;
  (void)removed_at_exit;
  return path;
}

void Report(const std::string& what, const TVfsCheckResult& result) {
  std::fprintf(stderr, "fuzz_vfs_open: %s\n", what.c_str());
  for (const std::string& p : result.Problems) std::fprintf(stderr, "  %s\n", p.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = ScratchArchive();
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  std::remove(HashFilePath(path).c_str());

  // The index reader on the same bytes.
  TVFSHashFile ht;
  ht.LoadFromBytes(data, size);

  TVFSFile file;
  if (!file.Open(path, false)) return 0;
  file.Close();
  if (!file.Open(path, true)) return 0;
  file.Today = [] { return 0x5A210000u; };
  for (const TVFSNode& node : file.Tree().Nodes()) {
    TBytes content;
    if (node.Index >= 0) file.ReadContent(node.Entry, content);
    if (auto buffer = file.ReadEntry(node.Entry)) {
      uint8_t piece[97];
      while (buffer->Read(piece, sizeof piece) > 0) {
      }
    }
  }

  bool sound_before = false;
  try {
    file.Save(true);
    sound_before = CheckVfsArchive(path).Sound();
    file.Tree().AddFile("Maps\\Europe\\town.map", TBytes(700, 'm'));
    file.Tree().AddFile("Maps\\noise.bin", TBytes(data, data + (size < 300 ? size : 300)));
    file.Tree().AddFile("Readme", TBytes());
    file.Tree().AddFile("Maps\\Europe\\town.map", TBytes(90, 'n'));
    file.Save(true);
  } catch (const ESetupError&) {
    return 0;  // a damaged chain, a full archive or a full root: refused
  }
  file.Close();
  if (sound_before) {
    const TVfsCheckResult after = CheckVfsArchive(path);
    if (!after.Sound()) Report("a sound archive checks unsound after files were added", after);
  }
  return 0;
}

// vfstool: lists, extracts and checks VFS archives, and makes small ones by hand.
//
//   vfstool list ARCHIVE             header, every entry and the ".ht" index
//   vfstool extract ARCHIVE DIR      every file written below DIR
//   vfstool check ARCHIVE            every invariant; exit 1 when one does not hold
//   vfstool create ARCHIVE BLOCKSIZE BLOCKS ROOTSLOTS
//   vfstool add ARCHIVE NAME FILE [NAME FILE ...]
//   vfstool recover ARCHIVE          undoes an interrupted update from the journal beside it
//                                    files added as "vfsupdate" adds package entries, then
//                                    saved with the digest and the ".ht" index
//
// "create" and "add" exist for tests and experiments; the setup changes archives through
// "vfsupdate". Exit codes: 0 done, 1 failed, 2 usage.
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archives/vfs_check.h"
#include "archives/vfs_file.h"
#include "archives/vfs_hash_index.h"
#include "archives/archive_file.h"
#include "archives/rollback_journal.h"
#include "core/error.h"
#include "core/file_stream.h"
#include "core/text.h"
#ifdef _WIN32
#include "platform/win32/md5_win32.h"
#endif

namespace {

using namespace setup;

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

int Usage() {
  std::fprintf(stderr,
               "usage: vfstool list|check ARCHIVE\n"
               "       vfstool extract ARCHIVE DIR\n"
               "       vfstool create ARCHIVE BLOCKSIZE BLOCKS ROOTSLOTS\n"
               "       vfstool add ARCHIVE NAME FILE [NAME FILE ...]\n"
               "       vfstool recover ARCHIVE\n");
  return 2;
}

bool OpenArchive(TVFSFile& file, const std::string& path, bool read_only) {
  if (file.Open(path, true, {}, read_only)) return true;
  std::fprintf(stderr, "vfstool: %s: %s\n", path.c_str(), file.ErrorText().c_str());
  return false;
}

std::string DateText(uint32_t dos) {
  const uint32_t date = dos >> 16;
  if (date == 0) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", 1980 + (date >> 9), (date >> 5) & 15, date & 31);
  return text;
}

std::string FlagText(uint32_t flags) {
  std::string text;
  text += (flags & kVfsFlagDirectory) ? 'd' : '-';
  text += (flags & kVfsFlagFile) ? 'f' : '-';
  text += (flags & kVfsFlagCompressed) ? 'c' : '-';
  return text;
}

int List(const std::string& path) {
  TVFSFile file;
  if (!OpenArchive(file, path, true)) return 1;
  const TVFSHeader& h = file.Header();
  std::printf("identifier 0x%08x  blocks %u x %u bytes (%u used, %u free)  root slots %u (%u free)  text %u bytes\n",
              h.Identifier, h.BlockCount, h.BlockSize, file.UsedBlocks(), file.FreeBlocks(), h.RootCount,
              file.FreeRootSlots(), h.TextLength);
  std::printf("%-3s %10s %10s %8s %10s  %s\n", "", "stored", "content", "first", "date", "path");
  // Depth first, each folder's children in table order, as the archive keeps them.
  const TVFSTree& tree = file.Tree();
  std::vector<int32_t> stack;
  for (size_t i = tree.Nodes().size(); i-- > 0;) {
    if (tree.Nodes()[i].Index >= 0 && tree.Nodes()[i].Parent < 0) stack.push_back(static_cast<int32_t>(i));
  }
  while (!stack.empty()) {
    const TVFSNode& n = tree.Node(stack.back());
    stack.pop_back();
    // The content column is the file's length: a plain file keeps no separate content size.
    std::printf("%-3s %10u %10u %8u %10s  %s\n", FlagText(n.Entry.Flags).c_str(), n.Entry.StoredSize, n.Entry.Length(),
                n.Entry.FirstBlock, DateText(n.Entry.Date).c_str(), n.Path.c_str());
    for (size_t c = n.Children.size(); c-- > 0;) {
      if (n.Children[c] >= 0) stack.push_back(n.Children[c]);
    }
  }
  TVFSHashFile ht;
  const std::string ht_path = HashFilePath(path);
  if (ht.Load(ht_path)) {
    size_t shared = 0;
    for (const TVFSHashRecord& r : ht.Records) shared += r.Valid == 0;
    std::printf("index %s: %zu records, %zu of them for hashes that files share\n", ht_path.c_str(), ht.Records.size(), shared);
  } else {
    std::printf("index %s: none\n", ht_path.c_str());
  }
  return 0;
}

bool MakeFolder(const std::string& path) {
#ifdef _WIN32
  return _mkdir(path.c_str()) == 0 || errno == EEXIST;
#else
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
#endif
}

int Extract(const std::string& path, const std::string& folder) {
  TVFSFile file;
  if (!OpenArchive(file, path, true)) return 1;
  if (!MakeFolder(folder)) {
    std::fprintf(stderr, "vfstool: cannot make %s\n", folder.c_str());
    return 1;
  }
  int failed = 0;
  const TVFSTree& tree = file.Tree();
  // Parents come before their children in the node table, so folders exist when needed.
  std::vector<std::string> target(tree.Nodes().size());
  for (const TVFSNode& n : tree.Nodes()) {
    if (n.Index < 0) continue;
    const std::string base = n.Parent < 0 ? folder : target[n.Parent];
    const auto parts = SafeRelativeParts(n.Entry.Name);
    if (base.empty() || !parts || parts->size() != 1) {
      std::fprintf(stderr, "vfstool: %s: skipped, the name does not stay inside %s\n", n.Path.c_str(), folder.c_str());
      ++failed;
      continue;
    }
    const std::string out = base + kSeparator + n.Entry.Name;
    if (n.Entry.IsDirectory()) {
      if (!MakeFolder(out)) {
        std::fprintf(stderr, "vfstool: cannot make %s\n", out.c_str());
        ++failed;
        continue;
      }
      target[n.Index] = out;
      continue;
    }
    TBytes content;
    if (!file.ReadContent(n.Entry, content)) {
      std::fprintf(stderr, "vfstool: %s: %s\n", n.Path.c_str(), file.ErrorText().c_str());
      ++failed;
      continue;
    }
    if (!WriteWholeFile(out, content.data(), content.size())) {
      std::fprintf(stderr, "vfstool: cannot write %s\n", out.c_str());
      ++failed;
      continue;
    }
    std::printf("%10zu  %s\n", content.size(), n.Path.c_str());
  }
  return failed ? 1 : 0;
}

int Check(const std::string& path) {
  const TVfsCheckResult result = CheckVfsArchive(path);
  for (const std::string& note : result.Notes) std::printf("note: %s\n", note.c_str());
  for (const std::string& problem : result.Problems) std::printf("problem: %s\n", problem.c_str());
  std::printf("%s: %s\n", path.c_str(), result.Sound() ? "sound" : "NOT SOUND");
  return result.Sound() ? 0 : 1;
}

bool Number(const char* text, uint32_t& value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != 0 || v > UINT32_MAX) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

int Create(const std::string& path, const char* block_size, const char* blocks, const char* root_slots) {
  TVFSGeometry g;
  if (!Number(block_size, g.BlockSize) || !Number(blocks, g.BlockCount) || !Number(root_slots, g.RootSlots)) return Usage();
  if (!TVFSFile::Create(path, g)) {
    std::fprintf(stderr, "vfstool: cannot create %s\n", path.c_str());
    return 1;
  }
  return 0;
}

bool ReadWholeFile(const std::string& path, TBytes& out) {
  auto stream = TFileStream::Open(path, TFileMode::Read);
  if (!stream) return false;
  out.resize(static_cast<size_t>(stream->Size()));
  return stream->Read(out.data(), out.size()) == out.size();
}

int Add(const std::string& path, int count, char** pairs) {
  TVFSFile file;
  if (!OpenArchive(file, path, false)) return 1;
  for (int i = 0; i + 1 < count; i += 2) {
    TBytes content;
    if (!ReadWholeFile(pairs[i + 1], content)) {
      std::fprintf(stderr, "vfstool: cannot read %s\n", pairs[i + 1]);
      return 1;
    }
    file.Tree().AddFile(pairs[i], content);
  }
  file.Save(false);
  return 0;
}

// Undoes an interrupted update and says what was done; 1 when the archive could not be restored.
int Recover(const std::string& path) {
  const TRecovery recovery = RecoverVfsArchive(NativeArchiveFileSystem(), path);
  const bool failed = recovery.Result == TRecoveryResult::Failed;
  std::fprintf(failed ? stderr : stdout, "%s\n", recovery.Message.c_str());
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  SetMd5Factory([] { return NewCryptoApiMd5(); });
#endif
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  if (command == "list" || command == "check" || command == "extract") {
    const std::string warning = JournalWarning(NativeArchiveFileSystem(), argv[2], "vfstool");
    if (!warning.empty()) std::fprintf(stderr, "vfstool: %s\n", warning.c_str());
  }
  const std::string archive = argv[2];
  try {
    if (command == "recover" && argc == 3) return Recover(argv[2]);
    if (command == "list" && argc == 3) return List(archive);
    if (command == "check" && argc == 3) return Check(archive);
    if (command == "extract" && argc == 4) return Extract(archive, argv[3]);
    if (command == "create" && argc == 6) return Create(archive, argv[3], argv[4], argv[5]);
    if (command == "add" && argc >= 5 && (argc - 3) % 2 == 0) return Add(archive, argc - 3, argv + 3);
  } catch (const ESetupError& e) {
    std::fprintf(stderr, "vfstool: %s: %s\n", archive.c_str(), e.what());
    return 1;
  }
  return Usage();
}

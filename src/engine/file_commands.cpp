// File and folder commands over the engine's system interface.
#include "engine/file_commands.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <unordered_set>

#include "core/crc.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/file_output.h"
#include "engine/flow_commands.h"
#include "engine/interpreter.h"
#include "engine/run_log.h"
#include "engine/status_channel.h"
#include "engine/system.h"
#include "engine/uninstall_list.h"

namespace setup {

namespace {

// Status line: the copying or extracting string with the file name in place of "<%FILENAME%>".
void ShowFileStatus(TStringNumber string_number, const std::string& name) {
  StatusChannel().SetFileStatus(string_number, name);
}

// Removing a tree stops after this many passes that removed nothing (an item in use).
constexpr int kRemoveTreeAttempts = 3;

// Entries up to this size are inflated into memory and handed to the writer threads; larger
// ones are written by the run itself, piece by piece.
constexpr uint64_t kQueuedEntryLimit = 4u << 20;
// What the writer threads may hold at once. Under Wine a game of 16,000 files installed as fast
// with 8 MiB as with 32 MiB, and peaked at 59 MB instead of 79 MB.
constexpr size_t kQueuedBytes = 8u << 20;

// The output of a package entry, with its folders made first. A folder the run thought it
// knew but that has gone (taken away by the player or a program) is made again.
std::unique_ptr<TEntryOutput> OpenEntryOutput(const std::string& path) {
  CreateFolderPath(FolderPart(path));
  auto output = std::make_unique<TEntryOutput>(path);
  if (output->IsOpen() || System().FileExists(path)) return output;
  KnownFolders().Clear();
  CreateFolderPath(FolderPart(path));
  return std::make_unique<TEntryOutput>(path);
}

// A whole entry's bytes to its file, as a writer thread writes them but with its folders made
// again when they are gone.
void WriteEntryBytes(const std::string& path, const TBytes& bytes) {
  const std::unique_ptr<TEntryOutput> output = OpenEntryOutput(path);
  if (!output->IsOpen()) {
    LogFailure("write file", path);
    return;
  }
  output->Write(bytes.data(), bytes.size());
  if (output->Finish(true))
    LogStep("Wrote file", path);
  else
    LogFailure("write file", path);
}

}  // namespace

void ShowExtractFailure(const TPak& pak) {
  const TExtractResult& result = pak.LastExtract();
  if (result.Status != kExtractWrongLength) return;
  const TPakEntry& e = pak.Directory()[static_cast<size_t>(result.Index)];
  Host().ShowMessageBox(DecompSizeMessage(e.Name, result.Inflated, e.Size), "Error", kMbOk);
}

std::string FolderPart(const std::string& path) {
  const size_t at = path.find_last_of("\\/");
  return at == std::string::npos ? std::string() : path.substr(0, at);
}

TKnownFolders& KnownFolders() {
  static TKnownFolders folders;
  return folders;
}

std::string TKnownFolders::Key(std::string_view folder) {
  while (!folder.empty() && folder.back() == '\\') folder.remove_suffix(1);
  return LowerAscii(folder);
}

bool TKnownFolders::Contains(std::string_view folder) const {
  return (!last_.empty() && folder == last_) || folders_.count(Key(folder)) != 0;
}

void TKnownFolders::Add(std::string_view folder) {
  if (!last_.empty() && folder == last_) return;
  folders_.insert(Key(folder));
  last_.assign(folder);
}

void CreateFolderPath(const std::string& path) {
  if (path.size() <= 3 || path[1] != ':' || path[2] != '\\') return;
  TKnownFolders& known = KnownFolders();
  if (known.Contains(path)) {
    known.Add(path);  // the next file of this folder finds it at once
    return;
  }
  TSystem& system = System();
  // Each folder from the top, with the backslash that follows it in the path: the install log
  // records them so.
  for (size_t end = 3; end < path.size();) {
    const size_t slash = path.find('\\', end);
    end = slash == std::string::npos ? path.size() : slash + 1;
    const std::string current = path.substr(0, end);
    if (known.Contains(current)) continue;
    if (system.FolderExists(current)) {
      known.Add(current);
    } else if (system.CreateFolder(current)) {
      known.Add(current);
      UninstallList().AddFolder(current);
      LogStep("Created folder", current);
    } else {
      LogFailure("create folder", current);
    }
  }
}

void WriteBufferToFile(const std::string& path, const uint8_t* data, size_t size) {
  CreateFolderPath(FolderPart(path));
  auto file = System().OpenFile(path, TFileMode::Create);
  if (!file) {
    LogFailure("write file", path);
    return;
  }
  if ((size == 0 || !data || file->Write(data, size) == size) && file->Flush())
    LogStep("Wrote file", path);
  else
    LogFailure("write file", path);
}

void StreamLargeEntry(const std::string& path, const std::string& display_name, uint64_t size, int index) {
  TPak& pak = *Globals().Package;
  const std::unique_ptr<TEntryOutput> out = OpenEntryOutput(path);  // a large file may open a new folder
  TEntryOutput& output = *out;
  if (!output.IsOpen()) {
    LogFailure("write file", path);
    return;
  }
  const TPakEntry& entry = pak.Directory()[static_cast<size_t>(index)];
  TBytes chunk;
  uint64_t remaining = size;
  uint32_t crc = 0;
  while (remaining > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, kStreamChunk));
    const std::string progress = display_name + " - " + SizeText(static_cast<int64_t>(size - remaining)) + " / " +
                                 SizeText(static_cast<int64_t>(size));
    ShowFileStatus(kStrExtracting, progress);
    chunk.resize(n);
    const size_t got = pak.ReadStoredAt(index, size - remaining, chunk.data(), n);
    output.Write(chunk.data(), got);
    crc = Crc32(chunk.data(), got, crc);
    // The package ends early: a new file stays short rather than padded, a replaced one as it was.
    if (got < n) break;
    remaining -= n;
  }
  // Bytes changed since verification (an entry with a CRC that no longer matches): a replaced
  // file keeps its old content and a new one is left empty, as for a small entry.
  const bool changed = remaining == 0 && entry.Crc != 0 && crc != entry.Crc;
  const bool direct = !output.Replacing();
  if (output.Finish(remaining == 0 && !changed)) {
    LogStep("Wrote file", path);
  } else if (remaining != 0 || changed) {
    LogFailure("write file", path, "the setup's stored data for it is damaged");
  } else {
    LogFailure("write file", path);
  }
  if (changed && direct) System().OpenFile(path, TFileMode::Create);
}

void ExtractEntryToFile(const std::string& path, int index) {
  TPak& pak = *Globals().Package;
  const std::unique_ptr<TEntryOutput> out = OpenEntryOutput(path);
  TEntryOutput& output = *out;
  if (!output.IsOpen()) {
    LogFailure("write file", path);
    return;
  }
  // Piece by piece: an entry is never held whole. Only a package changed since it was
  // verified fails here; a replaced file then keeps its old content, and a new one is left
  // empty rather than holding part of the entry.
  const bool extracted = pak.Directory()[static_cast<size_t>(index)].Size == 0 ||
                         pak.ExtractTo(index, [&](const uint8_t* data, size_t size) { output.Write(data, size); });
  const bool direct = !output.Replacing();
  const bool finished = output.Finish(extracted);
  if (finished)
    LogStep("Wrote file", path);
  else if (extracted)
    LogFailure("write file", path);
  else
    LogFailure("write file", path, "the setup's stored data for it is damaged");
  if (extracted) return;
  if (direct) System().OpenFile(path, TFileMode::Create);
  ShowExtractFailure(pak);
}

void ExtractGroup(const std::string& folder, uint16_t group) {
  TPak& pak = *Globals().Package;
  const TPathContractor contractor(CurrentPathValues());
  // Small entries are inflated here and written by the writer threads meanwhile. Everything
  // else about an entry happens here, in the group's order: its status line, its place in the
  // install log, its folders. A path that comes again, and every entry written here, first
  // waits for the files in flight.
  TFileWriters writers(System().FilesFromManyThreads() ? FileWriterThreads() : 0, kQueuedBytes);
  std::unordered_set<uint64_t> queued;  // the paths in flight, as case-folded hashes
  auto wait_for_writers = [&] {
    for (const auto& [path, bytes] : writers.Wait()) WriteEntryBytes(path, bytes);
    queued.clear();
  };
  int index = 0;
  TBytes bytes;
  for (bool found = pak.FirstIndexInGroup(group, index);; found = pak.NextIndexInGroup(group, index)) {
    const std::string name = found ? pak.Directory()[static_cast<size_t>(index)].Name : std::string();
    ShowFileStatus(kStrExtracting, name);
    if (!found) break;
    const TPakEntry& entry = pak.Directory()[static_cast<size_t>(index)];
    const uint64_t size = entry.Size;
    // Destination folders end in "\\" already; one separator keeps the logged paths comparable.
    std::string path = WithTrailingBackslash(folder) + name;
    UninstallList().AddFile(path, contractor);
    if (size <= kQueuedEntryLimit) {
      CreateFolderPath(FolderPart(path));
      bytes.clear();
      bytes.reserve(static_cast<size_t>(size));
      const bool extracted = size == 0 || pak.ExtractTo(index, [&](const uint8_t* data, size_t n) {
        bytes.insert(bytes.end(), data, data + n);
      });
      if (extracted) {
        // Two paths of one hash are taken for the same file: a needless wait at worst.
        const uint64_t hash = FoldedHashAscii(path);
        if (!queued.insert(hash).second) {
          wait_for_writers();
          queued.insert(hash);
        }
        writers.Write(std::move(path), std::move(bytes));
        StatusChannel().StepProgress(true);
        continue;
      }
      // An entry that fails is written here, which reports it as it should.
    }
    wait_for_writers();
    if (size >= kLargeEntryLimit) {
      StreamLargeEntry(path, name, size, index);
    } else {
      ExtractEntryToFile(path, index);
    }
    StatusChannel().StepProgress(true);
  }
  wait_for_writers();
}

bool IsAbsolutePath(const std::string& path) {
  if (path.size() <= 3) return false;
  const char d = path[0];
  return ((d >= 'A' && d <= 'Z') || (d >= 'a' && d <= 'z')) && path[1] == ':' && path[2] == '\\';
}

std::string ResolveTargetFolder(const std::string& parameter) {
  if (IsAbsolutePath(parameter)) return WithTrailingBackslash(parameter);
  return WithTrailingBackslash(Globals().SetupInfo.InstallDir) + WithTrailingBackslash(parameter);
}

bool RegistryCondition(const std::string& root, const std::string& key, const std::string& name,
                       const std::string& expected, const std::string& sense) {
  std::string value;
  bool same = false;
  if (System().RegReadString(RootNameToIndex(root), key, name, /*create=*/true, value)) same = value == expected;
  const std::string s = LowerAscii(sense);
  return (s == "0" || s == "false" || s == "f") ? !same : same;
}

void RemoveFolderTree(const std::string& folder) {
  KnownFolders().Clear();
  TSystem& system = System();
  if (!system.FolderExists(folder)) return;
  // Folders found so far, parents before children; files go as they are found, then the
  // folders are removed deepest first. Items that cannot be removed are given up after a few
  // passes instead of being retried for ever.
  for (int attempt = 0; attempt < kRemoveTreeAttempts && system.FolderExists(folder); ++attempt) {
    std::vector<std::string> folders{folder};
    for (size_t i = 0; i < folders.size(); ++i) {
      for (const TFolderItem& item : system.ListFolder(folders[i])) {
        const std::string path = WithTrailingBackslash(folders[i]) + item.Name;
        if (item.Folder) folders.push_back(path);
        else system.DeleteFile(path);
      }
    }
    for (size_t i = folders.size(); i-- > 0;) system.RemoveFolder(folders[i]);
  }
  if (system.FolderExists(folder))
    LogFailure("remove folder", folder);
  else
    LogStep("Removed folder", folder);
}

// ---------------------------------------------------------------- run operations

namespace {

// A group the run does not write still has its steps in the gauge's total: they are taken at
// once, so that the gauge ends full.
void PassGroup(uint16_t group) {
  if (!Globals().Package) return;
  const int count = Globals().Package->CountInGroup(group);
  if (count > 0) StatusChannel().AdvanceProgress(static_cast<uint32_t>(count));
}

}  // namespace

void RunFile(TCompiledLine& line) {
  const size_t before_group = line.Params.size() - 1;
  const uint16_t group = static_cast<uint16_t>(std::atoi(line.Params.back().c_str()));
  const std::string& install_dir = Globals().SetupInfo.InstallDir;
  if (before_group == 1) {
    ExtractGroup(install_dir, group);
  } else if (before_group == 2) {
    ExtractGroup(ResolveTargetFolder(Expanded(line.Params[1])), group);
  } else if (before_group == 7) {
    const auto& p = line.Params;
    if (RegistryCondition(p[2], p[3], p[4], p[5], p[6])) {
      ExtractGroup(WithTrailingBackslash(install_dir) + WithTrailingBackslash(p[1]), group);
    } else {
      PassGroup(group);
    }
  } else {
    Host().ShowMessageBox("TFileCommand.SFXProcess - Param Count Invalid!!!", "Error", kMbOk);
    PassGroup(group);
  }
}

void RunCopyFile(TCompiledLine& line) {
  const std::string source = Expanded(ResolveCdDrivePath(line.Params[0]));
  const std::string target = Expanded(line.Params[1]);
  CreateFolderPath(FolderPart(target));
  ShowFileStatus(kStrCopying, FileNamePart(source));
  if (System().CopyFile(source, target))
    LogStep("Copied file", source + " -> " + target);
  else
    LogFailure("copy file", source + " -> " + target);
  UninstallList().AddFile(target);
}

void RunRename(TCompiledLine& line) {
  const std::string from = Expanded(line.Params[0]);
  if (!System().FileExists(from)) return;
  const std::string to = Expanded(line.Params[1]);
  if (System().RenameFile(from, to))
    LogStep("Renamed file", from + " -> " + to);
  else
    LogFailure("rename file", from + " -> " + to);
}

void RunDelete(TCompiledLine& line) {
  const std::string path = Expanded(line.Params[0]);
  if (!System().FileExists(path)) return;
  if (System().DeleteFile(path))
    LogStep("Deleted file", path);
  else
    LogFailure("delete file", path);
}

void RunCreateDirectory(TCompiledLine& line) {
  const std::string folder = Expanded(line.Params[0]);
  CreateFolderPath(folder);
  UninstallList().AddFolder(folder);
}

void RunRmDir(TCompiledLine& line) { RemoveFolderTree(Expanded(line.Params[0])); }

}  // namespace setup

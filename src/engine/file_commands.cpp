// File and folder commands over the engine's system interface.
#include "engine/file_commands.h"

#include <algorithm>
#include <cstdlib>

#include "core/crc.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/flow_commands.h"
#include "engine/interpreter.h"
#include "engine/status_channel.h"
#include "engine/system.h"
#include "engine/uninstall_list.h"

namespace setup {

namespace {

// Status line: the copying or extracting string with the file name in place of "<%FILENAME%>".
void ShowFileStatus(TStringNumber string_number, const std::string& name) {
  StatusChannel().SetStatusText(ReplaceText(GetString(string_number), u"<%FILENAME%>", Host().AnsiToWide(name)));
}

// Removing a tree stops after this many passes that removed nothing (an item in use).
constexpr int kRemoveTreeAttempts = 3;

// What an existing file's new content is written to, beside it, before it takes the file's
// place. One fixed name: a run killed half way leaves one such file that the next run overwrites.
constexpr char kReplacementSuffix[] = ".setup-new";

// Where a package entry's bytes go. A file the player does not have yet is written directly. A
// file already there is written to a temporary file beside it that takes its place in one step
// once every byte is on the disk, so a run killed half way (power cut, full disk) leaves the old
// file whole rather than cut short. A target that cannot be opened for writing (read-only, in
// use) is skipped and stays as it was.
class TEntryOutput {
 public:
  explicit TEntryOutput(const std::string& path) : path_(path) {
    TSystem& system = System();
    CreateFolderPath(FolderPart(path));
    // A new file is made in one look-up of its name: under Wine a name that is not there costs
    // a search of its folder, and most files of an install are new.
    file_ = system.OpenFile(path, TFileMode::CreateNew);
    if (file_) return;
    if (system.FileExists(path)) {
      if (!system.OpenFile(path, TFileMode::ReadWrite)) return;
      temp_ = path + kReplacementSuffix;
      file_ = system.OpenFile(temp_, TFileMode::Create);
      if (file_) return;
      temp_.clear();  // no room for a second name (path length, folder rights): written directly
    }
    file_ = system.OpenFile(path, TFileMode::Create);
  }
  // An output not finished (an exception on the way) drops its temporary file.
  ~TEntryOutput() { Finish(false); }
  TEntryOutput(const TEntryOutput&) = delete;
  TEntryOutput& operator=(const TEntryOutput&) = delete;

  bool IsOpen() const { return file_ != nullptr; }
  bool Replacing() const { return !temp_.empty(); }
  void Write(const uint8_t* data, size_t size) {
    if (file_->Write(data, size) != size) written_ = false;
  }
  // Ends the entry. A replaced file takes the new content only when the entry is complete and
  // every byte reached the disk; otherwise it keeps its old content and the temporary file goes.
  // A file written directly stays as it is.
  void Finish(bool complete) {
    if (!file_) return;
    const bool keep = Replacing() && complete && written_ && file_->Sync();
    file_.reset();
    if (!Replacing()) return;
    if (!keep || !System().ReplaceFile(temp_, path_)) System().DeleteFile(temp_);
    temp_.clear();
  }

 private:
  std::string path_;
  std::string temp_;  // the temporary file, or empty when the target is written directly
  std::unique_ptr<TFileStream> file_;
  bool written_ = true;  // every write took all its bytes
};

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

void CreateFolderPath(const std::string& path) {
  if (path.size() <= 3 || path[1] != ':' || path[2] != '\\') return;
  TSystem& system = System();
  std::string current = path.substr(0, 3);
  std::string rest = path.substr(3);
  while (!rest.empty()) {
    const size_t slash = rest.find('\\');
    const size_t take = slash == std::string::npos ? rest.size() : slash + 1;
    current += rest.substr(0, take);
    rest.erase(0, take);
    if (!system.FolderExists(current) && system.CreateFolder(current)) UninstallList().AddFolder(current);
  }
}

void WriteBufferToFile(const std::string& path, const uint8_t* data, size_t size) {
  CreateFolderPath(FolderPart(path));
  auto file = System().OpenFile(path, TFileMode::Create);
  if (file && data && size > 0) file->Write(data, size);
}

void StreamLargeEntry(const std::string& path, const std::string& display_name, uint64_t size, int index) {
  TPak& pak = *Globals().Package;
  TEntryOutput output(path);  // as for small entries: a large file may open a new folder
  if (!output.IsOpen()) return;
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
  output.Finish(remaining == 0 && !changed);
  if (changed && direct) System().OpenFile(path, TFileMode::Create);
}

void ExtractEntryToFile(const std::string& path, int index) {
  TPak& pak = *Globals().Package;
  TEntryOutput output(path);
  if (!output.IsOpen()) return;
  // Piece by piece: an entry is never held whole. Only a package changed since it was
  // verified fails here; a replaced file then keeps its old content, and a new one is left
  // empty rather than holding part of the entry.
  const bool extracted = pak.Directory()[static_cast<size_t>(index)].Size == 0 ||
                         pak.ExtractTo(index, [&](const uint8_t* data, size_t size) { output.Write(data, size); });
  const bool direct = !output.Replacing();
  output.Finish(extracted);
  if (extracted) return;
  if (direct) System().OpenFile(path, TFileMode::Create);
  ShowExtractFailure(pak);
}

void ExtractGroup(const std::string& folder, uint16_t group) {
  TPak& pak = *Globals().Package;
  int index = 0;
  for (bool found = pak.FirstIndexInGroup(group, index);; found = pak.NextIndexInGroup(group, index)) {
    const std::string name = found ? pak.Directory()[static_cast<size_t>(index)].Name : std::string();
    ShowFileStatus(kStrExtracting, name);
    if (!found) break;
    const TPakEntry entry = pak.Directory()[static_cast<size_t>(index)];
    // Destination folders end in "\\" already; one separator keeps the logged paths comparable.
    const std::string path = WithTrailingBackslash(folder) + entry.Name;
    UninstallList().AddFile(path);
    if (entry.Size >= kLargeEntryLimit) {
      StreamLargeEntry(path, entry.Name, entry.Size, index);
    } else {
      ExtractEntryToFile(path, index);
    }
    StatusChannel().StepProgress(true);
  }
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
}

// ---------------------------------------------------------------- run operations

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
    }
  } else {
    Host().ShowMessageBox("TFileCommand.SFXProcess - Param Count Invalid!!!", "Error", kMbOk);
  }
}

void RunCopyFile(TCompiledLine& line) {
  const std::string source = Expanded(ResolveCdDrivePath(line.Params[0]));
  const std::string target = Expanded(line.Params[1]);
  CreateFolderPath(FolderPart(target));
  ShowFileStatus(kStrCopying, FileNamePart(source));
  System().CopyFile(source, target);
  UninstallList().AddFile(target);
}

void RunRename(TCompiledLine& line) {
  const std::string from = Expanded(line.Params[0]);
  if (System().FileExists(from)) System().RenameFile(from, Expanded(line.Params[1]));
}

void RunDelete(TCompiledLine& line) {
  const std::string path = Expanded(line.Params[0]);
  if (System().FileExists(path)) System().DeleteFile(path);
}

void RunCreateDirectory(TCompiledLine& line) {
  const std::string folder = Expanded(line.Params[0]);
  CreateFolderPath(folder);
  UninstallList().AddFolder(folder);
}

void RunRmDir(TCompiledLine& line) { RemoveFolderTree(Expanded(line.Params[0])); }

}  // namespace setup

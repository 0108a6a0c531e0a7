// What the install engine asks of the operating system, behind one interface.
//
// The script commands are portable logic over TSystem: setup.exe runs them against the Windows
// implementation (src/platform/win32/system.cpp), the native unit tests against an in-memory
// fake. Paths and texts are UTF-8; the Windows implementation hands the system UTF-16.
//
// Failure tiers as everywhere: operations report failure through their result; the two
// registry conditions that end an install ("Failed to set data for '%s'", "Invalid data type
// for '%s'") raise ESetupError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/file_stream.h"

namespace setup {

struct TFolderItem {
  std::string Name;  // without its folder
  bool Folder = false;
};

class TSystem {
 public:
  virtual ~TSystem() = default;

  // --- files and folders ---
  // Opens a file for the engine's own reads and writes (extraction, the install log).
  virtual std::unique_ptr<TFileStream> OpenFile(const std::string& path, TFileMode mode) {
    return TFileStream::Open(path, mode);
  }
  // Whether WriteNewFile, OpenFile, FileExists, ReplaceFile and DeleteFile may run on several
  // threads at once, beside the other calls on the script's thread (the install's writer
  // threads); a system that says no has its files written on the script's thread.
  virtual bool FilesFromManyThreads() const { return true; }
  // Makes a file that is not there yet and writes the bytes into it, in one go: kCreated, or
  // kExists (nothing changed) when something has the name already, or kFailed (a file cut short
  // is removed again). The writer threads of an install make most files so.
  enum TNewFileResult { kCreated, kExists, kFailed };
  virtual TNewFileResult WriteNewFile(const std::string& path, const uint8_t* data, size_t size);
  // True when the first match for the path (wildcards allowed) is not a folder.
  virtual bool FileExists(const std::string& path) = 0;
  // The length of a file, or -1 when it is not there; no wildcards.
  virtual int64_t FileSize(const std::string& path) {
    auto file = OpenFile(path, TFileMode::Read);
    return file ? static_cast<int64_t>(file->Size()) : -1;
  }
  virtual bool FolderExists(const std::string& path) = 0;
  // Creates one folder whose parent exists.
  virtual bool CreateFolder(const std::string& path) = 0;
  // Removes an empty folder.
  virtual bool RemoveFolder(const std::string& path) = 0;
  virtual bool DeleteFile(const std::string& path) = 0;
  // Copies, replacing an existing destination.
  virtual bool CopyFile(const std::string& from, const std::string& to) = 0;
  virtual bool RenameFile(const std::string& from, const std::string& to) = 0;
  // Puts the file from in the place of the file to in one step, replacing it, and returns when
  // the change is on the disk: a reader sees the old file or the new one, never neither. False
  // when to cannot be replaced (in use, read-only, hidden or system); both files stay then.
  virtual bool ReplaceFile(const std::string& from, const std::string& to) = 0;
  // Whether ReplaceFile could put another file in this one's place now: it opens for writing,
  // no other program holds it without sharing that, and it is not a file ReplaceFile refuses.
  // Changes nothing. A patch asks this of every file it will change before it changes any.
  virtual bool CanReplaceFile(const std::string& path) { return OpenFile(path, TFileMode::ReadWrite) != nullptr; }
  // Every item of a folder, hidden and system ones included, without "." and "..".
  virtual std::vector<TFolderItem> ListFolder(const std::string& folder) = 0;
  // Roots ("D:\") of the CD-ROM drives in the system's order. Raises ESetupError when the
  // drive list does not fit 129 characters.
  virtual std::vector<std::string> CdRomRoots() = 0;
  // The temporary folder, ending in "\".
  virtual std::string TempFolder() = 0;
  virtual std::string RunningExecutablePath() = 0;

  // --- registry; root is an index of the registry root table ---
  // Opens the key with creation and writes a string value (an empty name is the default
  // value). False when the key cannot be opened; raises "Failed to set data for '%s'" when the
  // system refuses the write.
  virtual bool RegWriteString(int root, const std::string& key, const std::string& name, const std::string& value) = 0;
  // Opens the key with creation and writes a REG_DWORD value; as RegWriteString otherwise.
  virtual bool RegWriteDword(int root, const std::string& key, const std::string& name, uint32_t value) = 0;
  // Opens the key (with creation when asked) and reads a string value; an absent value reads
  // as empty. False when the key cannot be opened; raises "Invalid data type for '%s'" for a
  // value that is not a string.
  virtual bool RegReadString(int root, const std::string& key, const std::string& name, bool create,
                             std::string& value) = 0;
  // Opens the key without creation and deletes the value; silent on failure.
  virtual void RegDeleteValue(int root, const std::string& key, const std::string& name) = 0;
  virtual bool RegKeyExists(int root, const std::string& key) = 0;
  // Deletes the key with every sub-key below it; silent on failure.
  virtual void RegDeleteKeyTree(int root, const std::string& key) = 0;
  // Deletes the key when it holds neither values (the default value included) nor sub-keys;
  // true when it went. A key that holds anything, or cannot be read, stays.
  virtual bool RegDeleteEmptyKey(int root, const std::string& key) = 0;

  // --- shell ---
  // A shell link with the working folder given, shown normally; the icon location is set only
  // when icon_file differs from target. False when the link could not be saved.
  virtual bool CreateShellLink(const std::string& link, const std::string& target, const std::string& arguments,
                               const std::string& working_folder, const std::string& icon_file) = 0;
  // Starts a program or document through the shell and waits while the process runs and
  // keep_waiting() holds. False when it could not be started.
  virtual bool ExecuteAndWait(const std::string& file, const std::string* parameters,
                              const std::function<bool()>& keep_waiting) = 0;
  // Opens a file through the shell and does not wait.
  virtual void ShellOpen(const std::string& file, const std::string& parameters) = 0;
  // Replaces icon 1 of an executable with the first image of an icon file; true when the
  // resource update was made.
  virtual bool ReplaceExeIcon(const std::string& icon_file, const std::string& exe_file) = 0;

  // --- failures ---
  // The system's own words for the calling thread's last failed call ("Access is denied."),
  // for the run log; empty when the system keeps none.
  virtual std::string LastErrorText() { return {}; }
};

// The system in use; the Windows layer installs its own at program start.
TSystem& System();
void SetSystem(TSystem* system);

}  // namespace setup

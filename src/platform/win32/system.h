// The install engine's system operations on Windows: files and folders through the wide file
// calls (long paths included), the registry through the root table, shell links, programs
// started through the shell and the icon of an executable replaced through the resource update
// calls. The engine's texts are UTF-8; the system gets and gives UTF-16. In the 64-bit view
// (native_view.h) keys are opened in the 64-bit registry and file calls see the native system
// folder.
#pragma once

#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <cstdint>
#include <string>

#include "engine/system.h"

namespace setup::win32 {

class TWin32System : public TSystem {
 public:
  std::unique_ptr<TFileStream> OpenFile(const std::string& path, TFileMode mode) override;
  TNewFileResult WriteNewFile(const std::string& path, const uint8_t* data, size_t size) override;
  bool FileExists(const std::string& path) override;
  // From the file's attributes: no handle is opened (under Wine no call to its server either).
  int64_t FileSize(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  bool CreateFolder(const std::string& path) override;
  bool RemoveFolder(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  bool CopyFile(const std::string& from, const std::string& to) override;
  bool RenameFile(const std::string& from, const std::string& to) override;
  bool ReplaceFile(const std::string& from, const std::string& to) override;
  bool CanReplaceFile(const std::string& path) override;
  std::vector<TFolderItem> ListFolder(const std::string& folder) override;
  std::vector<std::string> CdRomRoots() override;
  std::string TempFolder() override;
  std::string RunningExecutablePath() override;

  bool RegWriteString(int root, const std::string& key, const std::string& name, const std::string& value) override;
  bool RegWriteDword(int root, const std::string& key, const std::string& name, uint32_t value) override;
  bool RegReadString(int root, const std::string& key, const std::string& name, bool create,
                     std::string& value) override;
  void RegDeleteValue(int root, const std::string& key, const std::string& name) override;
  bool RegKeyExists(int root, const std::string& key) override;
  void RegDeleteKeyTree(int root, const std::string& key) override;
  bool RegDeleteEmptyKey(int root, const std::string& key) override;

  bool CreateShellLink(const std::string& link, const std::string& target, const std::string& arguments,
                       const std::string& working_folder, const std::string& icon_file) override;
  bool ExecuteAndWait(const std::string& file, const std::string* parameters,
                      const std::function<bool()>& keep_waiting) override;
  void ShellOpen(const std::string& file, const std::string& parameters) override;
  bool ReplaceExeIcon(const std::string& icon_file, const std::string& exe_file) override;
  // FormatMessage's text for GetLastError, with the number: "Access is denied. [5]".
  std::string LastErrorText() override;
};

// Owns one reference to a COM object.
template <class T>
class ScopedComPtr {
 public:
  ScopedComPtr() = default;
  ~ScopedComPtr() {
    if (p_) p_->Release();
  }
  ScopedComPtr(const ScopedComPtr&) = delete;
  ScopedComPtr& operator=(const ScopedComPtr&) = delete;
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For the creating calls that hand out an interface through a void**.
  void** Receive() {
    if (p_) p_->Release();
    p_ = nullptr;
    return reinterpret_cast<void**>(&p_);
  }

 private:
  T* p_ = nullptr;
};

// The system's message text for an error code (UTF-8), without the line break it ends in.
std::string SystemMessageText(unsigned long code);

// Reads a string value (REG_SZ, or REG_EXPAND_SZ left unexpanded) of an open key as UTF-8,
// without the zeros it ends in. ERROR_SUCCESS, or the system's code (ERROR_FILE_NOT_FOUND when
// there is no such value); raises "Invalid data type for '%s'" for a value of another type.
long ReadRegistryText(HKEY key, const std::string& name, std::string& value);

}  // namespace setup::win32

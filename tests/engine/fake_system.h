// An in-memory registry and a scratch-folder file system for the engine's native tests.
//
// Drive paths ("C:\Games\x") live below a scratch folder ("<scratch>/C/Games/x"); the fake
// compares them as given (tests keep one spelling). Shell calls are recorded, not made.
#pragma once

#include <fnmatch.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/text.h"
#include "engine/system.h"
#include "test_files.h"

namespace setup::testing {

class TFakeSystem : public TSystem {
 public:
  TFakeSystem() : root_(ScratchFolder() / "fake-system") {
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "C");
    std::filesystem::create_directories(root_ / "T");
    SetSystem(this);
  }
  ~TFakeSystem() override { SetSystem(nullptr); }

  // The scratch path of a drive path.
  std::filesystem::path Map(const std::string& path) const {
    if (path.size() >= 2 && path[1] == ':') {
      std::string rest = path.substr(2);
      for (char& c : rest) {
        if (c == '\\') c = '/';
      }
      return root_ / std::string(1, path[0]) / std::filesystem::path(rest).relative_path();
    }
    return path;
  }

  std::unique_ptr<TFileStream> OpenFile(const std::string& path, TFileMode mode) override {
    if (Locked.count(path)) return nullptr;
    return TFileStream::Open(Map(path).string(), mode);
  }
  bool FileExists(const std::string& path) override {
    const std::filesystem::path p = Map(path);
    std::error_code ec;
    if (p.filename().string().find_first_of("*?") == std::string::npos) {
      return std::filesystem::exists(p, ec) && !std::filesystem::is_directory(p, ec);
    }
    for (const auto& item : std::filesystem::directory_iterator(p.parent_path(), ec)) {
      if (fnmatch(p.filename().c_str(), item.path().filename().c_str(), 0) == 0) return !item.is_directory();
    }
    return false;
  }
  bool FolderExists(const std::string& path) override {
    ++FolderChecks;
    std::error_code ec;
    return std::filesystem::is_directory(Map(path), ec);
  }
  bool CreateFolder(const std::string& path) override {
    std::error_code ec;
    return std::filesystem::create_directory(Map(path), ec);
  }
  bool RemoveFolder(const std::string& path) override {
    std::error_code ec;
    return FolderExists(path) && std::filesystem::is_empty(Map(path), ec) && std::filesystem::remove(Map(path), ec);
  }
  bool DeleteFile(const std::string& path) override {
    std::error_code ec;
    return !FolderExists(path) && std::filesystem::remove(Map(path), ec);
  }
  bool CopyFile(const std::string& from, const std::string& to) override {
    std::error_code ec;
    return std::filesystem::copy_file(Map(from), Map(to), std::filesystem::copy_options::overwrite_existing, ec);
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    std::error_code ec;
    std::filesystem::rename(Map(from), Map(to), ec);
    return !ec;
  }
  // Called from the install's writer threads too: the record is kept in the order of the
  // targets' names, whatever order the threads came in.
  bool ReplaceFile(const std::string& from, const std::string& to) override {
    const auto old = ReadFile(Map(to).string());
    {
      std::lock_guard guard(replacements_lock_);
      const auto at = std::upper_bound(Replacements.begin(), Replacements.end(), to,
                                       [](const std::string& name, const TReplacement& r) { return name < r.To; });
      Replacements.insert(at, {from, to, std::string(old.begin(), old.end())});
    }
    if (RefuseReplace || Locked.count(to)) return false;
    std::error_code ec;
    std::filesystem::rename(Map(from), Map(to), ec);
    return !ec;
  }
  std::vector<TFolderItem> ListFolder(const std::string& folder) override {
    std::vector<TFolderItem> items;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(Map(folder), ec)) {
      items.push_back({item.path().filename().string(), item.is_directory()});
    }
    return items;
  }
  std::vector<std::string> CdRomRoots() override { return CdRoms; }
  std::string TempFolder() override { return "T:\\"; }
  std::string RunningExecutablePath() override { return ExePath; }

  // Registry: "root|key" (lower case, no trailing backslash) -> value name (lower case) -> value.
  struct TValue {
    std::string Data;
    bool IsString = true;
  };
  static std::string KeyId(int root, const std::string& key) {
    std::string k = LowerAscii(key);
    while (!k.empty() && k.back() == '\\') k.pop_back();
    return std::to_string(root) + "|" + k;
  }
  // The key with every parent, as the system's creation makes them; its values.
  std::map<std::string, TValue>& MakeKey(int root, const std::string& key) {
    const std::string id = KeyId(root, key);
    for (size_t cut = id.find('\\'); cut != std::string::npos; cut = id.find('\\', cut + 1)) {
      Registry.emplace(id.substr(0, cut), std::map<std::string, TValue>{});
    }
    return Registry[id];
  }
  bool RegWriteString(int root, const std::string& key, const std::string& name, const std::string& value) override {
    if (RefuseWrites) throw ESetupError("Failed to set data for '" + name + "'");
    MakeKey(root, key)[LowerAscii(name)] = {value, true};
    return true;
  }
  bool RegWriteDword(int root, const std::string& key, const std::string& name, uint32_t value) override {
    if (RefuseWrites) throw ESetupError("Failed to set data for '" + name + "'");
    MakeKey(root, key)[LowerAscii(name)] = {std::to_string(value), false};
    return true;
  }
  bool RegReadString(int root, const std::string& key, const std::string& name, bool create, std::string& value) override {
    auto found = Registry.find(KeyId(root, key));
    if (found == Registry.end()) {
      if (!create) return false;
      MakeKey(root, key);
      found = Registry.find(KeyId(root, key));
    }
    auto v = found->second.find(LowerAscii(name));
    if (v == found->second.end()) {
      value.clear();
      return true;
    }
    if (!v->second.IsString) throw ESetupError("Invalid data type for '" + name + "'");
    value = v->second.Data;
    return true;
  }
  void RegDeleteValue(int root, const std::string& key, const std::string& name) override {
    auto found = Registry.find(KeyId(root, key));
    if (found != Registry.end()) found->second.erase(LowerAscii(name));
  }
  // A key exists when it was made or anything below it was.
  bool RegKeyExists(int root, const std::string& key) override {
    const std::string id = KeyId(root, key);
    if (Registry.count(id)) return true;
    auto below = Registry.lower_bound(id + "\\");
    return below != Registry.end() && below->first.rfind(id + "\\", 0) == 0;
  }
  void RegDeleteKeyTree(int root, const std::string& key) override {
    const std::string id = KeyId(root, key);
    for (auto it = Registry.begin(); it != Registry.end();) {
      it = (it->first == id || it->first.rfind(id + "\\", 0) == 0) ? Registry.erase(it) : std::next(it);
    }
  }
  // A key is its own entry; a sub-key is any entry below it.
  bool RegDeleteEmptyKey(int root, const std::string& key) override {
    const std::string id = KeyId(root, key);
    auto found = Registry.find(id);
    if (found == Registry.end() || !found->second.empty()) return false;
    for (const auto& [other, values] : Registry) {
      if (other.rfind(id + "\\", 0) == 0) return false;
    }
    Registry.erase(found);
    DeletedKeys.push_back(id);
    return true;
  }

  bool CreateShellLink(const std::string& link, const std::string& target, const std::string& arguments,
                       const std::string& working_folder, const std::string& icon_file) override {
    if (RefuseLinks) return false;
    Links.push_back({link, target, arguments, working_folder, icon_file});
    return true;
  }
  bool ExecuteAndWait(const std::string& file, const std::string* parameters,
                      const std::function<bool()>& keep_waiting) override {
    if (RefuseStart) return false;
    Executed.push_back(file + (parameters ? "|" + *parameters : ""));
    keep_waiting();
    return true;
  }
  void ShellOpen(const std::string& file, const std::string& parameters) override {
    Opened.push_back(file + "|" + parameters);
  }
  bool ReplaceExeIcon(const std::string& icon_file, const std::string& exe_file) override {
    Icons.push_back(icon_file + "|" + exe_file);
    return true;
  }
  std::string LastErrorText() override { return FailureText; }

  // A replacement asked for, with what the replaced file held at that moment.
  struct TReplacement {
    std::string From, To, OldContent;
  };

  std::map<std::string, std::map<std::string, TValue>> Registry;
  std::vector<std::string> CdRoms;
  std::string ExePath = "C:\\Setup\\setup.exe";
  bool RefuseWrites = false;
  std::vector<TReplacement> Replacements;
  // Files another program holds open without sharing: they neither open nor get replaced.
  std::set<std::string> Locked;
  bool RefuseReplace = false;  // every replacement fails, as for a file in use
  std::atomic<int> FolderChecks{0};  // FolderExists calls so far
  std::vector<std::vector<std::string>> Links;
  std::vector<std::string> Executed, Opened, Icons;
  bool RefuseLinks = false;  // no shortcut can be saved
  bool RefuseStart = false;  // no program starts
  std::string FailureText;   // what LastErrorText says
  std::vector<std::string> DeletedKeys;  // RegDeleteEmptyKey's deletions, in order

 private:
  std::mutex replacements_lock_;
  std::filesystem::path root_;
};

}  // namespace setup::testing

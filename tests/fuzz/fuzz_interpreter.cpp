// Fuzz target: the script interpreter (RunNextLine) and every command's run operation, on
// compiled lines decoded from the input (tests/fuzz/interpreter_input.h): any command number,
// any LineIndex, any parameters, too few of them included.
//
// The commands act on an in-memory system: folders, the registry and the shell are maps, and
// file contents live in numbered files of a scratch folder, so no path from the input ever
// reaches the real file system. Message boxes are answered from the input's first byte; the
// archive code finds no archive, and its fatal stop and its Cancel exit come back here as an
// exception instead of ending the process. ESetupError (the error report's tier) is allowed;
// a crash, a sanitizer report or any other exception is a fault. A script may loop for ever by
// its own jumps, so each input runs at most kMaxSteps lines.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archives/kzp_archive.h"
#include "core/error.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/commands.h"
#include "engine/interpreter.h"
#include "engine/kzp_update.h"
#include "engine/status_channel.h"
#include "engine/system.h"
#include "engine/uninstall_list.h"
#include "interpreter_input.h"

namespace {

using namespace setup;
namespace fs = std::filesystem;

constexpr int kMaxSteps = 256;

// Thrown where the program would end the process.
struct TProcessEnd {};

class TFuzzHost : public TPortableHost {
 public:
  int ShowMessageBox(const std::string&, const std::string&, unsigned) override {
    const bool ok = (Answers >> (boxes_++ % 8)) & 1;
    return ok ? kIdOk : kIdCancel;  // never Retry: a retry box would ask for ever
  }
  [[noreturn]] void FatalAppExit(const std::string&) override { throw TProcessEnd(); }
  void Start(uint8_t answers) {
    Answers = answers;
    boxes_ = 0;
  }

  uint8_t Answers = 0;

 private:
  unsigned boxes_ = 0;
};

// The archive code's files: there are none.
class TNoArchives : public TArchiveFileSystem {
 public:
  bool Exists(const std::string&) override { return false; }
  bool IsReadOnly(const std::string&) override { return false; }
  bool ClearAttributes(const std::string&) override { return false; }
  std::unique_ptr<TArchiveFile> OpenForUpdate(const std::string&) override { return nullptr; }
  std::unique_ptr<TArchiveFile> OpenForReading(const std::string&) override { return nullptr; }
};

// Paths compare as lower-case text with "\" separators and without trailing separators; drive
// roots ("c:") always exist.
class TMemorySystem : public TSystem {
 public:
  explicit TMemorySystem(fs::path folder) : folder_(std::move(folder)) { fs::create_directories(folder_); }
  ~TMemorySystem() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  void Clear() {
    std::error_code ec;
    for (const auto& [path, number] : files_) fs::remove(Content(number), ec);
    files_.clear();
    folders_.clear();
    keys_.clear();
    values_.clear();
  }

  // The maps below are not guarded: files are written on the script's thread.
  bool FilesFromManyThreads() const override { return false; }
  std::unique_ptr<TFileStream> OpenFile(const std::string& path, TFileMode mode) override {
    const std::string key = Key(path);
    auto found = files_.find(key);
    if (mode == TFileMode::CreateNew && found != files_.end()) return nullptr;
    const bool creating = mode == TFileMode::Create || mode == TFileMode::CreateNew;
    if (creating && found == files_.end() && !key.empty() && !IsFolder(key)) {
      found = files_.emplace(key, next_++).first;
    }
    return found == files_.end() ? nullptr : TFileStream::Open(Content(found->second).string(), mode);
  }
  bool FileExists(const std::string& path) override { return files_.count(Key(path)) > 0; }
  bool FolderExists(const std::string& path) override { return IsFolder(Key(path)); }
  bool CreateFolder(const std::string& path) override {
    const std::string key = Key(path);
    return !key.empty() && !files_.count(key) && folders_.insert(key).second;
  }
  bool RemoveFolder(const std::string& path) override {
    return ListFolder(path).empty() && folders_.erase(Key(path)) > 0;
  }
  bool DeleteFile(const std::string& path) override {
    const auto found = files_.find(Key(path));
    if (found == files_.end()) return false;
    std::error_code ec;
    fs::remove(Content(found->second), ec);
    files_.erase(found);
    return true;
  }
  bool CopyFile(const std::string& from, const std::string& to) override {
    const auto source = files_.find(Key(from));
    if (source == files_.end() || !OpenFile(to, TFileMode::Create)) return false;
    std::error_code ec;
    const fs::path target = Content(files_.at(Key(to)));
    return fs::copy_file(Content(source->second), target, fs::copy_options::overwrite_existing, ec);
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    const std::string target = Key(to);
    const auto source = files_.find(Key(from));
    if (source == files_.end() || target.empty() || files_.count(target) || IsFolder(target)) return false;
    const int number = source->second;
    files_.erase(source);
    files_[target] = number;
    return true;
  }
  bool ReplaceFile(const std::string& from, const std::string& to) override {
    const std::string target = Key(to);
    const auto source = files_.find(Key(from));
    if (source == files_.end() || target.empty() || IsFolder(target) || source->first == target) return false;
    const int number = source->second;
    files_.erase(source);
    DeleteFile(to);
    files_[target] = number;
    return true;
  }
  std::vector<TFolderItem> ListFolder(const std::string& folder) override {
    const std::string prefix = Key(folder) + "\\";
    std::vector<TFolderItem> items;
    const auto add = [&](const std::string& key, bool is_folder) {
      if (key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0 &&
          key.find('\\', prefix.size()) == std::string::npos) {
        items.push_back({key.substr(prefix.size()), is_folder});
      }
    };
    for (const auto& [key, number] : files_) add(key, false);
    for (const std::string& key : folders_) add(key, true);
    return items;
  }
  std::vector<std::string> CdRomRoots() override { return {"D:\\"}; }
  std::string TempFolder() override { return "T:\\"; }
  std::string RunningExecutablePath() override { return "C:\\Setup\\setup.exe"; }

  bool RegWriteString(int root, const std::string& key, const std::string& name, const std::string& value) override {
    keys_.insert(RegKey(root, key));
    values_[RegKey(root, key) + "|" + LowerAscii(name)] = value;
    return true;
  }
  bool RegWriteDword(int root, const std::string& key, const std::string& name, uint32_t value) override {
    return RegWriteString(root, key, name, std::to_string(value));
  }
  bool RegReadString(int root, const std::string& key, const std::string& name, bool create,
                     std::string& value) override {
    if (!keys_.count(RegKey(root, key)) && !(create && keys_.insert(RegKey(root, key)).second)) return false;
    const auto found = values_.find(RegKey(root, key) + "|" + LowerAscii(name));
    value = found == values_.end() ? std::string() : found->second;
    return true;
  }
  void RegDeleteValue(int root, const std::string& key, const std::string& name) override {
    values_.erase(RegKey(root, key) + "|" + LowerAscii(name));
  }
  bool RegKeyExists(int root, const std::string& key) override { return keys_.count(RegKey(root, key)) > 0; }
  void RegDeleteKeyTree(int root, const std::string& key) override { keys_.erase(RegKey(root, key)); }
  bool RegDeleteEmptyKey(int root, const std::string& key) override {
    const std::string id = RegKey(root, key);
    const auto value = values_.lower_bound(id + "|");
    if (value != values_.end() && value->first.rfind(id + "|", 0) == 0) return false;
    return keys_.erase(id) > 0;
  }

  bool CreateShellLink(const std::string&, const std::string&, const std::string&, const std::string&,
                       const std::string&) override {
    return true;
  }
  bool ExecuteAndWait(const std::string&, const std::string*, const std::function<bool()>& keep_waiting) override {
    keep_waiting();
    return true;
  }
  void ShellOpen(const std::string&, const std::string&) override {}
  bool ReplaceExeIcon(const std::string&, const std::string&) override { return false; }

 private:
  static std::string Key(const std::string& path) {
    std::string key = LowerAscii(path);
    for (char& c : key) {
      if (c == '/') c = '\\';
    }
    while (!key.empty() && key.back() == '\\') key.pop_back();
    return key;
  }
  static std::string RegKey(int root, const std::string& key) { return std::to_string(root) + "|" + Key(key); }
  bool IsFolder(const std::string& key) const {
    return (key.size() == 2 && key[1] == ':') || folders_.count(key) > 0;
  }
  fs::path Content(int number) const { return folder_ / std::to_string(number); }

  fs::path folder_;
  std::map<std::string, int> files_;  // path key: number of its content file
  std::set<std::string> folders_;
  std::set<std::string> keys_;
  std::map<std::string, std::string> values_;  // "root|key|name": value
  int next_ = 0;
};

// The package the setup runs from: two file groups and an empty one.
void OpenPackage(const fs::path& path) {
  {
    TPak pak(path.string(), pmCreate);
    const std::vector<std::pair<std::string, uint16_t>> entries = {
        {"SetupInfo", 0}, {"readme.txt", 1}, {"data\\levels\\one.lvl", 1}, {"game.dat", 2}, {"empty.txt", 2}};
    for (const auto& [name, group] : entries) {
      const std::string bytes = name == "empty.txt" ? "" : "content of " + name;
      const int index = pak.AddEntry(name, "", group);
      pak.StoreFromMemory(index, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    }
    pak.WriteDirectory();
  }
  Globals().Package = std::make_unique<TPak>(path.string(), pmRead);
}

// The strings whose placeholders the commands fill with names from the input.
void LoadLanguage() {
  const std::u16string text =  // UTF-16 with its byte-order mark, as the tables are stored on x86
      u"\uFEFFEnglish\r\n0409;\r\n17 Copying <%FILENAME%>\r\n18 Extracting <%FILENAME%>\r\n"
      u"19 <%FNUM%> of <%FTOTAL%> <%KZPNAME%>\r\n20 Saving <%KZPNAME%>\r\n23 It failed\r\n";
  Languages().AddLanguage(reinterpret_cast<const uint8_t*>(text.data()), text.size() * sizeof(char16_t));
  Languages().Current = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TFuzzHost host;
  static TNoArchives no_archives;
  // File contents change with every input: a memory file system keeps them off the disk.
  static const fs::path scratch = (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                                  ("fuzz-interpreter-" + std::to_string(::getpid()));
  static TMemorySystem system(scratch / "files");
  static const bool ready = [] {
    SetHost(&host);
    SetSystem(&system);
    OpenPackage(scratch / "setup.pak");
    LoadLanguage();
    RegisterCommands(Globals().Commands);
    Globals().SetupInfo.InstallDir = "C:\\Games\\Demo";
    PakSystem().Files = &no_archives;
    PakSystem().CancelExit = [] { throw TProcessEnd(); };
    StatusChannel().HasStatusLabel = true;
    StatusChannel().HasGauge = true;
    return true;
  }();
  static const struct TRemover {
    ~TRemover() {
      Globals().Package.reset();
      std::error_code ec;
      fs::remove_all(scratch, ec);
    }
  } remover;
  (void)ready;
  (void)remover;

  fuzz::TInterpreterInput input = fuzz::DecodeInterpreterInput(data, size);
  host.Start(input.Answers);
  system.Clear();
  UninstallList().ClearLists();
  Globals().CompLines.Lines = std::move(input.Lines);
  Interpreter().CurrentLine = -1;
  Interpreter().ScriptStopped = false;
  try {
    for (int step = 0; step < kMaxSteps && RunNextLine(); ++step) {
    }
  } catch (const ESetupError&) {
  } catch (const TProcessEnd&) {
  }
  return 0;
}

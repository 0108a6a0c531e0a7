// The archive code's files: on the real system through the C runtime on both builds, and in
// memory.
//
// On Windows the archive is opened with sharing denied, as the game must not read it while
// its directory is missing; the read-only attribute is the CRT's write permission; the UTF-8
// names go to the CRT's wide calls. Elsewhere
// (tools and tests) "\" in a path is taken as "/" so the setup's Windows-style paths work,
// and the owner's write permission stands for the attribute.
#include "archives/archive_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/file_stream.h"

#ifdef _WIN32
#include <io.h>
#include <share.h>
#else
#include <unistd.h>
#endif

namespace setup {

namespace {

#ifdef _WIN32
// The C runtime's wide calls: UTF-8 names as UTF-16, long ones in the prefixed form.
std::wstring NativePath(const std::string& path) { return WideFilePath(path); }
int SetLength(std::FILE* f, uint64_t size) { return _chsize_s(_fileno(f), static_cast<int64_t>(size)); }
bool StatFile(const std::wstring& path, bool& regular, bool& writable) {
  struct _stat64 st;
  if (_wstat64(path.c_str(), &st) != 0) return false;
  regular = (st.st_mode & _S_IFDIR) == 0;
  writable = (st.st_mode & _S_IWRITE) != 0;
  return true;
}
bool MakeWritable(const std::wstring& path) { return _wchmod(path.c_str(), _S_IREAD | _S_IWRITE) == 0; }
std::FILE* OpenExclusive(const std::wstring& path) { return _wfsopen(path.c_str(), L"r+b", _SH_DENYRW); }
std::FILE* OpenFile(const std::wstring& path, const char* mode) {
  const std::wstring wide_mode(mode, mode + std::strlen(mode));
  return _wfopen(path.c_str(), wide_mode.c_str());
}
int RemoveFile(const std::wstring& path) { return _wremove(path.c_str()); }
int RenameFile(const std::wstring& from, const std::wstring& to) { return _wrename(from.c_str(), to.c_str()); }
#else
std::string NativePath(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}
int SetLength(std::FILE* f, uint64_t size) { return ftruncate(fileno(f), static_cast<off_t>(size)); }
bool StatFile(const std::string& path, bool& regular, bool& writable) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  regular = S_ISREG(st.st_mode);
  writable = (st.st_mode & S_IWUSR) != 0;
  return true;
}
bool MakeWritable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}
std::FILE* OpenExclusive(const std::string& path) { return std::fopen(path.c_str(), "r+b"); }
std::FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }
int RemoveFile(const std::string& path) { return std::remove(path.c_str()); }
int RenameFile(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()); }
#endif

class TNativeArchiveFile : public TArchiveFile {
 public:
  explicit TNativeArchiveFile(std::FILE* file) : file_(file) {}
  ~TNativeArchiveFile() override { std::fclose(file_); }

  uint64_t Size() override {
    if (Seek64(file_, 0, SEEK_END) != 0) return 0;
    const int64_t end = Tell64(file_);
    return end < 0 ? 0 : static_cast<uint64_t>(end);
  }
  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override {
    if (n == 0 || Seek64(file_, offset, SEEK_SET) != 0) return 0;
    return std::fread(buffer, 1, n, file_);
  }
  size_t WriteAt(uint64_t offset, const void* buffer, size_t n) override {
    if (n == 0) return 0;
    const size_t written = Seek64(file_, offset, SEEK_SET) == 0 ? std::fwrite(buffer, 1, n, file_) : 0;
    Noted(written == n);
    return written;
  }
  bool Truncate(uint64_t size) override { return Noted(std::fflush(file_) == 0 && SetLength(file_, size) == 0); }
  bool Flush() override { return Noted(std::fflush(file_) == 0); }
  bool Sync() override { return Noted(SyncToDisk(file_)); }
  std::string LastError() override { return error_; }

 private:
  // Keeps the C runtime's words for a failure (the disk-full text among them).
  bool Noted(bool ok) {
    if (!ok && errno != 0) error_ = std::strerror(errno);
    return ok;
  }

  std::FILE* file_;
  std::string error_;
};

class TNativeArchiveFileSystem : public TArchiveFileSystem {
 public:
  bool Exists(const std::string& path) override {
    bool regular = false, writable = false;
    return StatFile(NativePath(path), regular, writable) && regular;
  }
  bool IsReadOnly(const std::string& path) override {
    bool regular = false, writable = true;
    return StatFile(NativePath(path), regular, writable) && !writable;
  }
  bool ClearAttributes(const std::string& path) override { return MakeWritable(NativePath(path)); }
  std::unique_ptr<TArchiveFile> OpenForUpdate(const std::string& path) override {
    std::FILE* f = OpenExclusive(NativePath(path));
    return f ? std::make_unique<TNativeArchiveFile>(f) : nullptr;
  }
  std::unique_ptr<TArchiveFile> OpenForReading(const std::string& path) override {
    std::FILE* f = OpenFile(NativePath(path), "rb");
    return f ? std::make_unique<TNativeArchiveFile>(f) : nullptr;
  }
  std::unique_ptr<TArchiveFile> Create(const std::string& path) override {
    std::FILE* f = OpenFile(NativePath(path), "w+b");
    return f ? std::make_unique<TNativeArchiveFile>(f) : nullptr;
  }
  bool Remove(const std::string& path) override { return RemoveFile(NativePath(path)) == 0; }
  bool Rename(const std::string& from, const std::string& to) override {
    return RenameFile(NativePath(from), NativePath(to)) == 0;
  }
};

}  // namespace

TArchiveFileSystem& NativeArchiveFileSystem() {
  static TNativeArchiveFileSystem system;
  return system;
}

// ---------------------------------------------------------------- memory file

size_t TMemoryArchiveFile::ReadAt(uint64_t offset, void* buffer, size_t n) {
  if (offset >= bytes_->size()) return 0;
  const size_t take = n < bytes_->size() - offset ? n : static_cast<size_t>(bytes_->size() - offset);
  if (take) std::memcpy(buffer, bytes_->data() + offset, take);
  return take;
}

size_t TMemoryArchiveFile::WriteAt(uint64_t offset, const void* buffer, size_t n) {
  const size_t take = offset >= WriteLimit ? 0 : n < WriteLimit - offset ? n : static_cast<size_t>(WriteLimit - offset);
  full_ = take < n;
  if (take == 0) return 0;
  if (offset + take > bytes_->size()) bytes_->resize(static_cast<size_t>(offset + take));
  if (take) std::memcpy(bytes_->data() + offset, buffer, take);
  return take;
}

bool TMemoryArchiveFile::Truncate(uint64_t size) {
  bytes_->resize(static_cast<size_t>(size));
  return true;
}

}  // namespace setup

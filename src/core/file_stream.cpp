// Stdio with 64-bit positions; the one place that knows how each C library spells them. On
// Windows the names go to the C runtime's wide calls, so that every character of a UTF-8 path
// reaches the system, and long paths take the prefixed form.
#include "core/file_stream.h"

#include <sys/stat.h>

#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#include <cstdlib>
#include <cwchar>

#include "core/text.h"
#else
#include <unistd.h>
#endif

namespace setup {

#ifdef _WIN32
int Seek64(std::FILE* f, uint64_t pos, int whence) { return _fseeki64(f, static_cast<int64_t>(pos), whence); }
int64_t Tell64(std::FILE* f) { return _ftelli64(f); }
bool SyncToDisk(std::FILE* f) { return std::fflush(f) == 0 && _commit(_fileno(f)) == 0; }
#else
int Seek64(std::FILE* f, uint64_t pos, int whence) { return fseeko(f, static_cast<off_t>(pos), whence); }
int64_t Tell64(std::FILE* f) { return ftello(f); }
bool SyncToDisk(std::FILE* f) { return std::fflush(f) == 0 && fsync(fileno(f)) == 0; }
#endif

#ifdef _WIN32
std::wstring WideFilePath(const std::string& path) {
  std::u16string wide = Utf8ToWide(path);
  if (NeedsLongPathForm(wide)) {
    // The C runtime asks the system (GetFullPathNameW); the buffer takes the longest path there is.
    std::wstring full(32768, L'\0');
    if (_wfullpath(full.data(), reinterpret_cast<const wchar_t*>(wide.c_str()), full.size())) {
      full.resize(std::wcslen(full.c_str()));
      wide = LongPathForm(std::u16string(full.begin(), full.end()));
    }
  }
  return std::wstring(wide.begin(), wide.end());
}
#endif

namespace {

std::FILE* CreateNewFile(const std::string& name) {
#ifdef _WIN32
  const int fd = _wopen(WideFilePath(name).c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
  std::FILE* f = fd < 0 ? nullptr : _fdopen(fd, "w+b");
  if (fd >= 0 && !f) _close(fd);
#else
  const int fd = open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0666);
  std::FILE* f = fd < 0 ? nullptr : fdopen(fd, "w+b");
  if (fd >= 0 && !f) close(fd);
#endif
  return f;
}

std::FILE* OpenFile(const std::string& name, TFileMode mode) {
  if (mode == TFileMode::CreateNew) return CreateNewFile(name);
#ifdef _WIN32
  const wchar_t* how = mode == TFileMode::Read ? L"rb" : mode == TFileMode::Create ? L"w+b" : L"r+b";
  return _wfopen(WideFilePath(name).c_str(), how);
#else
  const char* how = mode == TFileMode::Read ? "rb" : mode == TFileMode::Create ? "w+b" : "r+b";
  return std::fopen(name.c_str(), how);
#endif
}

}  // namespace

std::unique_ptr<TFileStream> TFileStream::Open(const std::string& name, TFileMode mode) {
  std::FILE* f = OpenFile(name, mode);
  if (!f) return nullptr;
  return std::unique_ptr<TFileStream>(new TFileStream(f));
}

TFileStream::~TFileStream() { std::fclose(file_); }

bool TFileStream::Seek(uint64_t position) { return Seek64(file_, position, SEEK_SET) == 0; }

bool TFileStream::SeekToEnd() { return Seek64(file_, 0, SEEK_END) == 0; }

uint64_t TFileStream::Tell() {
  int64_t p = Tell64(file_);
  return p < 0 ? 0 : static_cast<uint64_t>(p);
}

uint64_t TFileStream::Size() {
  int64_t here = Tell64(file_);
  if (Seek64(file_, 0, SEEK_END) != 0) return 0;
  int64_t end = Tell64(file_);
  Seek64(file_, here < 0 ? 0 : static_cast<uint64_t>(here), SEEK_SET);
  return end < 0 ? 0 : static_cast<uint64_t>(end);
}

size_t TFileStream::Read(void* buffer, size_t n) { return n ? std::fread(buffer, 1, n, file_) : 0; }

size_t TFileStream::Write(const void* buffer, size_t n) { return n ? std::fwrite(buffer, 1, n, file_) : 0; }

bool TFileStream::Flush() { return std::fflush(file_) == 0; }

bool TFileStream::Sync() { return SyncToDisk(file_); }

bool WriteWholeFile(const std::string& name, const void* data, size_t size) {
  auto f = TFileStream::Open(name, TFileMode::Create);
  return f && f->Write(data, size) == size && f->Flush();
}

int64_t FileLength(const std::string& name) {
  auto f = TFileStream::Open(name, TFileMode::Read);
  if (!f) return -1;
  return static_cast<int64_t>(f->Size());
}

bool FileExists(const std::string& name) {
#ifdef _WIN32
  struct _stat64 st;
  return _wstat64(WideFilePath(name).c_str(), &st) == 0 && (st.st_mode & _S_IFDIR) == 0;
#else
  struct stat st;
  return stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

}  // namespace setup

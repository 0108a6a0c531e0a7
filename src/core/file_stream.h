// TFileStream: an open file with 64-bit positions, the same on Linux and Windows.
//
// Names are UTF-8, as every path of the system is. Opening reports failure by returning null; reads and writes return the
// number of bytes moved, so short transfers are the caller's to judge.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace setup {

// fseek and ftell with 64-bit positions, as each C library spells them; 0 / the position, or
// non-zero / -1 on failure, as the C calls report.
int Seek64(std::FILE* f, uint64_t pos, int whence);
int64_t Tell64(std::FILE* f);
// Flushes the stream, then asks the system to put the file on the disk before it returns (the
// handle's FlushFileBuffers on Windows, fsync elsewhere); false when either fails.
bool SyncToDisk(std::FILE* f);

enum class TFileMode {
  Read,       // existing file, read only, other readers and writers allowed
  Create,     // create or truncate, read and write
  CreateNew,  // create, read and write; fails when the file exists (one look-up of the name)
  ReadWrite,  // existing file, read and write
};

class TFileStream {
 public:
  static std::unique_ptr<TFileStream> Open(const std::string& name, TFileMode mode);
  ~TFileStream();
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  bool Seek(uint64_t position);
  bool SeekToEnd();
  uint64_t Tell();
  uint64_t Size();
  size_t Read(void* buffer, size_t n);
  size_t Write(const void* buffer, size_t n);
  bool Flush();
  // Flush, then the file on the disk (SyncToDisk).
  bool Sync();

 private:
  explicit TFileStream(std::FILE* file) : file_(file) {}
  std::FILE* file_;
};

// Creates or truncates the file and writes the bytes into it; false when it cannot be created
// or not every byte reaches the system (a full disk shows at the flush).
bool WriteWholeFile(const std::string& name, const void* data, size_t size);

#ifdef _WIN32
// A path for the C runtime's wide file calls (_wfopen and its kin): UTF-16, and from
// kLongPathFrom characters on made full and given the long-path prefix (core/text.h).
std::wstring WideFilePath(const std::string& path);
#endif

// Length of a file, or -1 when it cannot be opened.
int64_t FileLength(const std::string& name);
bool FileExists(const std::string& name);

}  // namespace setup

// The files the archive code (KZP and VFS) reads and writes, behind a small interface so tests
// and tools can stand in for the system: the native files (archive_file.cpp) and archives in
// memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/buffer_manager.h"

namespace setup {

// An open archive file. Reads and writes return the bytes moved.
class TArchiveFile {
 public:
  virtual ~TArchiveFile() = default;
  virtual uint64_t Size() = 0;
  virtual size_t ReadAt(uint64_t offset, void* buffer, size_t n) = 0;
  virtual size_t WriteAt(uint64_t offset, const void* buffer, size_t n) = 0;
  // Sets the end of the file.
  virtual bool Truncate(uint64_t size) = 0;
  // Pushes written bytes to the system; false when they could not all be written.
  virtual bool Flush() = 0;
  // Flush, then asks the system to put the file on the disk before it returns (what a rollback
  // journal needs before the change it covers is made).
  virtual bool Sync() { return Flush(); }
  // The system's words for why the last write, flush or sync failed ("No space left on
  // device"), or empty.
  virtual std::string LastError() { return {}; }
};

// The few file operations of the archive code. Paths are narrow ANSI strings; the native file
// system reads "\" as a separator everywhere.
class TArchiveFileSystem {
 public:
  virtual ~TArchiveFileSystem() = default;
  virtual bool Exists(const std::string& path) = 0;
  virtual bool IsReadOnly(const std::string& path) = 0;
  // Sets the attributes to normal.
  virtual bool ClearAttributes(const std::string& path) = 0;
  // Read and write, not shared with other openers; null on failure.
  virtual std::unique_ptr<TArchiveFile> OpenForUpdate(const std::string& path) = 0;
  virtual std::unique_ptr<TArchiveFile> OpenForReading(const std::string& path) = 0;
  // What a rollback journal needs besides: a new empty file (replacing one of the name), and
  // removing and renaming files. A file system that cannot do them fails them.
  virtual std::unique_ptr<TArchiveFile> Create(const std::string& /*path*/) { return nullptr; }
  virtual bool Remove(const std::string& /*path*/) { return false; }
  virtual bool Rename(const std::string& /*from*/, const std::string& /*to*/) { return false; }
};

TArchiveFileSystem& NativeArchiveFileSystem();

// An archive held in memory; writes past WriteLimit bytes of file size fall short.
class TMemoryArchiveFile : public TArchiveFile {
 public:
  explicit TMemoryArchiveFile(std::shared_ptr<TBytes> bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() override { return bytes_->size(); }
  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override;
  size_t WriteAt(uint64_t offset, const void* buffer, size_t n) override;
  bool Truncate(uint64_t size) override;
  bool Flush() override { return true; }
  std::string LastError() override { return full_ ? "No space left on device" : ""; }

  uint64_t WriteLimit = UINT64_MAX;

 private:
  std::shared_ptr<TBytes> bytes_;
  bool full_ = false;  // a write met the limit
};

}  // namespace setup

// The files the KZP archive code reads and writes, behind a small interface so tests and
// tools can stand in for the system: the native files (kzp_file.cpp) and archives in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/buffer_manager.h"

namespace setup {

// An open archive file. Reads and writes return the bytes moved.
class TKzpFile {
 public:
  virtual ~TKzpFile() = default;
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
};

// The few file operations of the archive code. Paths are narrow ANSI strings; the native file
// system reads "\" as a separator everywhere.
class TKzpFileSystem {
 public:
  virtual ~TKzpFileSystem() = default;
  virtual bool Exists(const std::string& path) = 0;
  virtual bool IsReadOnly(const std::string& path) = 0;
  // Sets the attributes to normal.
  virtual bool ClearAttributes(const std::string& path) = 0;
  // Read and write, not shared with other openers; null on failure.
  virtual std::unique_ptr<TKzpFile> OpenForUpdate(const std::string& path) = 0;
  virtual std::unique_ptr<TKzpFile> OpenForReading(const std::string& path) = 0;
  // What a rollback journal needs besides: a new empty file (replacing one of the name), and
  // removing and renaming files. A file system that cannot do them fails them.
  virtual std::unique_ptr<TKzpFile> Create(const std::string& /*path*/) { return nullptr; }
  virtual bool Remove(const std::string& /*path*/) { return false; }
  virtual bool Rename(const std::string& /*from*/, const std::string& /*to*/) { return false; }
};

TKzpFileSystem& NativeKzpFileSystem();

// An archive held in memory; writes past WriteLimit bytes of file size fall short.
class TKzpMemoryFile : public TKzpFile {
 public:
  explicit TKzpMemoryFile(std::shared_ptr<TBytes> bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() override { return bytes_->size(); }
  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override;
  size_t WriteAt(uint64_t offset, const void* buffer, size_t n) override;
  bool Truncate(uint64_t size) override;
  bool Flush() override { return true; }

  uint64_t WriteLimit = UINT64_MAX;

 private:
  std::shared_ptr<TBytes> bytes_;
};

}  // namespace setup

// The open state of a package's data files, shared by the reading and the writing halves of
// TPak (pak.cpp, pak_directory.cpp, pak_write.cpp). Not for use outside them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/file_stream.h"
#include "core/pak.h"
#include "core/sha256.h"

namespace setup {

struct TPak::TDataFileState {
  std::unique_ptr<TFileStream> File;
  std::unique_ptr<TSha256> Digest;  // while digests are taken
  uint64_t Hashed = 0;              // bytes from the start fed to Digest
  bool DigestFailed = false;
};

struct TPak::TDataFileWriter {
  uint64_t SliceSize = 0;
  std::function<std::string(uint32_t)> PathOf;
  std::unique_ptr<TFileStream> File;  // the data file being written, the last of data_files_
  std::unique_ptr<TSha256> Digest;
  bool Failed = false;
};

}  // namespace setup

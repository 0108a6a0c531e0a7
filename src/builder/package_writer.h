// Writes a setup: the stub, then the package entries, compressed on several threads and
// appended in their fixed order, so any thread count gives the same bytes. Identical contents
// are stored once. Items marked StorePlain (a patch's differences, which deflate cannot shrink)
// are stored as they are. The package says its texts are UTF-8 when a name or a record is not
// ASCII. The payload goes to data files beside the setup ("stem-1.bin", ...) when asked or when
// the setup would otherwise reach 4 GiB, which Windows does not start.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "builder/compiler.h"
#include "builder/signing.h"
#include "core/deflate.h"

namespace setup::builder {

struct TWriteProgress {
  size_t FilesDone = 0;
  size_t FilesTotal = 0;
  uint64_t BytesDone = 0;  // source bytes
  uint64_t BytesTotal = 0;
};

// A data file's size when the builder moves the payload out of a setup that would pass 4 GiB:
// below 2 GiB, which programs that hold a file's length in a signed 32-bit number still
// handle (download managers, web servers, old copy tools), and far below the 4 GiB - 1 of a
// FAT32 USB stick.
constexpr uint64_t kDefaultSliceSize = 0x7FFFFFFF;  // 2 GiB - 1
constexpr uint64_t kSmallestSliceSize = 64 << 10;

// The level chosen per file when none is given: the smallest setups for the least time on game
// data. Bytes that look compressed already (at least 7.9 bits of information per byte in their
// first 64 KiB: pictures, sound, video, archives) get level 1, which stores them about as small
// for a fraction of the time; other files below 4 MiB level 8, and larger ones level 10, whose
// near-optimal parsing is both smaller and quicker than level 9 on large structured data.
constexpr int kAutomaticLevel = 0;
int AutomaticLevel(const uint8_t* data, size_t size);

struct TWriteOptions {
  std::string Stub;    // the runtime the package is appended to; empty writes a bare package
  std::string Output;  // the finished setup; written under a temporary name first
  uint64_t SliceSize = 0;  // data files of at most this size; 0: only when the setup needs them
  int Threads = 1;
  int Level = kAutomaticLevel;  // deflate level, 1 (fastest) to 12 (smallest), or chosen per file
  TSignOptions Sign;  // signs the finished setup when wanted
  bool HoldsDifferences = false;  // the setup has patch groups: the package says so
  std::function<void(const TWriteProgress&)> OnProgress;
};

struct TWriteResult {
  std::vector<std::string> DataFiles;  // the data files written beside the setup, in order
  size_t SharedEntries = 0;            // entries that share another's stored bytes
  uint64_t SharedBytes = 0;            // source bytes those entries did not store again
  std::vector<std::string> Removed;    // data files of an earlier build that the new one does not have
  std::vector<uint64_t> StoredBytes;   // per item, the bytes the package stores for it (0: shares another's)
};

// A size as --slice-size takes it: bytes, or a number with K, M or G (binary: 1K = 1024 bytes).
// False for anything else, for 0 and for sizes past 2^63.
bool ParseByteSize(const std::string& text, uint64_t& bytes);

// The data file names beside output: "dir/MyGame_setup.exe" gives the stem "MyGame_setup" and
// the data files "dir/MyGame_setup-1.bin", ...
std::string DataFileStem(const std::string& output);
std::string DataFilePath(const std::string& output, uint32_t number);

// Raises TBuildError on any failure, a failed signing too; no output file (and no data file)
// is left behind then.
TWriteResult WriteSetup(const TWriteOptions& options, const std::vector<TPackageItem>& items);

}  // namespace setup::builder

// Writes a setup: the stub, then the package entries, compressed on several threads and
// appended in their fixed order, so any thread count gives the same bytes.
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

struct TWriteOptions {
  std::string Stub;    // the runtime the package is appended to; empty writes a bare package
  std::string Output;  // the finished setup; written under a temporary name first
  int Threads = 1;
  int Level = kDefaultDeflateLevel;  // deflate level, 1 (fastest) to 12 (smallest)
  TSignOptions Sign;  // signs the finished setup when wanted
  std::function<void(const TWriteProgress&)> OnProgress;
};

// Raises TBuildError on any failure, a failed signing too; no output file is left behind then.
void WriteSetup(const TWriteOptions& options, const std::vector<TPackageItem>& items);

}  // namespace setup::builder

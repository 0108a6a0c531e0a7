// Fuzz target: the input is a difference, fed to an applier in pieces of changing sizes against
// a fixed old file of 48 KiB (difference_input.h). Whatever it holds, the applier ends in a
// status with a message, never hands on more bytes than the header names, reports a new file
// sound only when it has the named size and SHA-256, and says how many bytes it handed on.
#include <algorithm>
#include <cstring>

#include "core/sha256.h"
#include "delta/difference.h"
#include "difference_input.h"
#include "fuzz_check.h"

namespace {

using namespace setup;

// Differences may make files of any size from a few bytes: the writer refuses past this, so a
// unit stays short.
constexpr size_t kMostOutput = 64 << 20;

class TOld : public delta::TOldFileReader {
 public:
  TOld() : bytes_(fuzz::DifferenceOldFile()) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t ReadAt(uint64_t position, void* buffer, size_t n) override {
    if (position > bytes_.size() || n > bytes_.size() - position) {
      fuzzing::FailCheck("fuzz_difference", "read outside the old file");
    }
    std::memcpy(buffer, bytes_.data() + position, n);
    return n;
  }

 private:
  std::vector<uint8_t> bytes_;
};

class TOutput : public delta::TNewFileWriter {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    if (size > kMostOutput - bytes.size()) return false;
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  std::vector<uint8_t> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TOld old_file;
  TOutput output;
  delta::TDifferenceApplier applier(old_file, output);
  static const size_t kPieces[] = {1, 89, 7, 4096, 300};
  size_t at = 0;
  for (size_t i = 0; at < size; ++i) {
    const size_t take = std::min(kPieces[i % 5], size - at);
    if (!applier.Feed(data + at, take)) break;
    at += take;
  }
  const delta::TApplyResult result = applier.Finish();
  if (result.Written != output.bytes.size())
    fuzzing::FailCheck("fuzz_difference", "Written is not what the writer took");
  if (result.Status == delta::TApplyStatus::Ok && !result.Message.empty()) {
    fuzzing::FailCheck("fuzz_difference", "a message with success");
  }
  if (result.Status != delta::TApplyStatus::Ok && result.Message.empty()) {
    fuzzing::FailCheck("fuzz_difference", "a failure without a message");
  }
  const delta::TDifferenceHeader* header = applier.Header();
  if (header && output.bytes.size() > header->New.Size) {
    fuzzing::FailCheck("fuzz_difference", "more bytes than the header names");
  }
  if (result) {
    TSha256Digest digest{};
    auto sha = NewSha256();
    sha->Update(output.bytes.data(), output.bytes.size());
    sha->Final(digest);
    if (!header || header->New.Size != output.bytes.size() || header->New.Sha256 != digest) {
      fuzzing::FailCheck("fuzz_difference", "a new file reported sound that is not the named one");
    }
  }
  return 0;
}

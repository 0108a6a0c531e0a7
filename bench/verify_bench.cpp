// Throughput of the start-up verification of a setup package.
//
//   verify_bench PACKAGE [ROUNDS]
//
// Two ways of proving the same entries (every entry with 0 < Size < kLargeEntryLimit; larger
// entries are not read by verification and are left out of both sides):
//   runtime  TPak::Verify(i) per entry, as start-up does: read the stored bytes, CRC-32,
//            inflate into a buffer of Size;
//   plain    one loop over the directory: pread of the stored bytes, libdeflate's crc32 and
//            zlib decompressor (one, reused) on compressed entries into a buffer of Size, both
//            buffers reused.
// One untimed pass of each side warms the page cache and proves the package sound; then the
// sides run ROUNDS times each (default 5), interleaved, and the medians are printed in MB/s
// (10^6 bytes of entry data, the uncompressed Size, per second), with the ratio runtime/plain.
#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/pak.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TSelection {
  std::vector<int> Indexes;
  uint64_t Bytes = 0;     // Size summed
  uint64_t Stored = 0;    // stored bytes summed
  int Compressed = 0;     // entries with PackedSize > 0
  int SkippedLarge = 0;   // Size at or above the large-entry limit
  int SkippedEmpty = 0;   // Size 0
};

TSelection SelectEntries(const setup::TPak& pak) {
  TSelection s;
  const auto& directory = pak.Directory();
  for (size_t i = 0; i < directory.size(); ++i) {
    const setup::TPakEntry& e = directory[i];
    if (e.Size == 0) {
      ++s.SkippedEmpty;
      continue;
    }
    if (e.Size >= setup::kLargeEntryLimit) {
      ++s.SkippedLarge;
      continue;
    }
    s.Indexes.push_back(static_cast<int>(i));
    s.Bytes += e.Size;
    s.Stored += e.StoredLength();
    s.Compressed += e.PackedSize != 0;
  }
  return s;
}

// The runtime's own verification. Returns the index of the first entry that fails, or -1.
int VerifyRuntime(setup::TPak& pak, const std::vector<int>& indexes) {
  for (int i : indexes) {
    if (!pak.Verify(i)) return i;
  }
  return -1;
}

// The plain loop; the buffers live across calls. Returns the first failing index, or -1.
class TPlainVerifier {
 public:
  TPlainVerifier(int fd, const std::vector<setup::TPakEntry>& directory)
      : fd_(fd), directory_(directory), decompressor_(libdeflate_alloc_decompressor()) {}
  ~TPlainVerifier() { libdeflate_free_decompressor(decompressor_); }
  TPlainVerifier(const TPlainVerifier&) = delete;
  TPlainVerifier& operator=(const TPlainVerifier&) = delete;

  int Run(const std::vector<int>& indexes) {
    for (int i : indexes) {
      const setup::TPakEntry& e = directory_[i];
      const uint32_t length = e.StoredLength();
      if (stored_.size() < length) stored_.resize(length);
      if (!ReadFully(e.Offset, stored_.data(), length)) return i;
      if (libdeflate_crc32(0, stored_.data(), length) != e.Crc) return i;
      if (e.PackedSize == 0) continue;
      if (out_.size() < e.Size) out_.resize(e.Size);
      if (libdeflate_zlib_decompress(decompressor_, stored_.data(), length, out_.data(), e.Size, nullptr) !=
          LIBDEFLATE_SUCCESS) {
        return i;
      }
    }
    return -1;
  }

 private:
  bool ReadFully(uint64_t offset, uint8_t* buffer, size_t n) {
    while (n > 0) {
      const ssize_t got = pread(fd_, buffer, n, static_cast<off_t>(offset));
      if (got <= 0) return false;
      buffer += got;
      offset += static_cast<uint64_t>(got);
      n -= static_cast<size_t>(got);
    }
    return true;
  }

  int fd_;
  const std::vector<setup::TPakEntry>& directory_;
  std::vector<uint8_t> stored_;
  std::vector<uint8_t> out_;
  libdeflate_decompressor* decompressor_;
};

double Seconds(const std::function<int()>& pass, const char* side) {
  const auto started = Clock::now();
  const int failed = pass();
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (failed >= 0) {
    std::fprintf(stderr, "verify_bench: entry %d fails %s verification\n", failed, side);
    std::exit(1);
  }
  return seconds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: verify_bench PACKAGE [ROUNDS]\n");
    return 2;
  }
  const std::string path = argv[1];
  const int rounds = argc == 3 ? std::atoi(argv[2]) : 5;
  if (rounds < 1) {
    std::fprintf(stderr, "verify_bench: ROUNDS must be at least 1\n");
    return 2;
  }

  try {
    setup::TPak pak(path, setup::pmRead);
    if (!pak.IsOpen() || !pak.Trailer().HasMagic() || !pak.DirectorySound()) {
      std::fprintf(stderr, "verify_bench: %s is not a readable setup package\n", path.c_str());
      return 1;
    }
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
      std::perror(path.c_str());
      return 1;
    }
    const TSelection s = SelectEntries(pak);
    TPlainVerifier plain(fd, pak.Directory());
    auto runtime_pass = [&] { return VerifyRuntime(pak, s.Indexes); };
    auto plain_pass = [&] { return plain.Run(s.Indexes); };

    std::printf("package %s: %.1f MB, %zu entries\n", path.c_str(), pak.FileSize() / 1e6, pak.Directory().size());
    std::printf("verified: %zu entries (%d compressed), %.1f MB of entry data stored in %.1f MB; "
                "left out: %d empty, %d at the large-entry limit\n",
                s.Indexes.size(), s.Compressed, s.Bytes / 1e6, s.Stored / 1e6, s.SkippedEmpty, s.SkippedLarge);
    if (s.Bytes == 0) {
      std::fprintf(stderr, "verify_bench: nothing to verify\n");
      return 1;
    }

    Seconds(runtime_pass, "runtime");  // warm-up: page cache, allocator
    Seconds(plain_pass, "plain");
    std::vector<double> runtime_rates, plain_rates;
    for (int r = 1; r <= rounds; ++r) {
      const double a = s.Bytes / 1e6 / Seconds(runtime_pass, "runtime");
      const double b = s.Bytes / 1e6 / Seconds(plain_pass, "plain");
      runtime_rates.push_back(a);
      plain_rates.push_back(b);
      std::printf("round %d: runtime %8.1f MB/s   plain %8.1f MB/s\n", r, a, b);
    }
    const double a = Median(runtime_rates);
    const double b = Median(plain_rates);
    std::printf("median of %d rounds: runtime Verify %.1f MB/s, plain crc32+libdeflate %.1f MB/s, "
                "ratio runtime/plain %.3f\n",
                rounds, a, b, a / b);
    close(fd);
  } catch (const setup::ESetupError& e) {
    std::fprintf(stderr, "verify_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}

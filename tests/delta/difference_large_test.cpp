// Files above 4 GiB: sparse files with a few ranges of bytes, changed above the 4 GiB mark; the
// difference stays small and the new file comes out right without being written to disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "delta_fixtures.h"

namespace setup::testing {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr uint64_t kMiB = uint64_t{1} << 20;

// A file of zeros but for a few ranges.
struct TSparse {
  uint64_t Size = 0;
  std::vector<std::pair<uint64_t, Bytes>> Ranges;  // by position, not overlapping

  bool Write(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    bool ok = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(Size)) == 0;
    for (const auto& [at, bytes] : Ranges) {
      ok = ok && ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)) == static_cast<ssize_t>(bytes.size());
    }
    return fd >= 0 && ::close(fd) == 0 && ok;
  }
};

class TFileOld : public delta::TOldFileReader {
 public:
  explicit TFileOld(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) {}
  ~TFileOld() override { ::close(fd_); }
  uint64_t Size() const override { return static_cast<uint64_t>(::lseek(fd_, 0, SEEK_END)); }
  size_t ReadAt(uint64_t position, void* buffer, size_t n) override {
    const ssize_t got = ::pread(fd_, buffer, n, static_cast<off_t>(position));
    return got < 0 ? 0 : static_cast<size_t>(got);
  }

 private:
  int fd_;
};

// Compares what it is given with the sparse file it should be, as it comes.
class TSparseChecker : public delta::TNewFileWriter {
 public:
  explicit TSparseChecker(const TSparse& expected) : expected_(expected) {}
  bool Write(const uint8_t* data, size_t size) override {
    for (size_t i = 0; i < size;) {
      const uint64_t at = written_ + i;
      // The range at or after this position, and whether the position lies in it.
      const auto* range = Next(at);
      if (range && range->first <= at) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size - i, range->first + range->second.size() - at));
        if (std::memcmp(data + i, range->second.data() + (at - range->first), n) != 0) mismatches_++;
        i += n;
      } else {
        static const Bytes zeros(64 << 10);
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>({size - i, (range ? range->first : UINT64_MAX) - at, zeros.size()}));
        if (std::memcmp(data + i, zeros.data(), n) != 0) mismatches_++;
        i += n;
      }
    }
    written_ += size;
    return true;
  }
  uint64_t Written() const { return written_; }
  uint64_t Mismatches() const { return mismatches_; }

 private:
  const std::pair<uint64_t, Bytes>* Next(uint64_t at) const {
    for (const auto& range : expected_.Ranges) {
      if (range.first + range.second.size() > at) return &range;
    }
    return nullptr;
  }
  const TSparse& expected_;
  uint64_t written_ = 0;
  uint64_t mismatches_ = 0;
};

TEST(DifferenceLargeTest, ChangesAboveFourGigabytesInBoundedMemory) {
  const auto started = std::chrono::steady_clock::now();
  const Bytes a = NoiseBytes(256 << 10, 21), b = NoiseBytes(1 << 20, 22), c = NoiseBytes(512 << 10, 23);
  TSparse old_file;
  old_file.Size = 4 * kGiB + 8 * kMiB;
  old_file.Ranges = {{1 * kMiB, a}, {4 * kGiB + 1 * kMiB, b}, {4 * kGiB + 5 * kMiB, c}};
  // The new file: a as it was, 1 KiB changed in the middle of b, 3000 bytes inserted between
  // b and c, which moves c and everything after it.
  Bytes changed_b = b;
  const Bytes changed = NoiseBytes(1024, 24);
  std::copy(changed.begin(), changed.end(), changed_b.begin() + (500 << 10));
  const Bytes inserted = NoiseBytes(3000, 25);
  TSparse new_file;
  new_file.Size = old_file.Size + inserted.size();
  new_file.Ranges = {{1 * kMiB, a},
                     {4 * kGiB + 1 * kMiB, changed_b},
                     {4 * kGiB + 4 * kMiB, inserted},
                     {4 * kGiB + 5 * kMiB + inserted.size(), c}};
  const std::string old_path = ScratchPath("large-old"), new_path = ScratchPath("large-new");
  ASSERT_TRUE(old_file.Write(old_path));
  ASSERT_TRUE(new_file.Write(new_path));

  TMemoryWriter difference;
  const delta::TEncodeResult encoded = delta::EncodeDifference(old_path, new_path, difference);
  ASSERT_TRUE(encoded.Ok) << encoded.Error;
  EXPECT_EQ(encoded.Header.Method, delta::TDifferenceMethod::Chunks);
  EXPECT_EQ(encoded.Header.Old.Size, old_file.Size);
  EXPECT_EQ(encoded.Header.New.Size, new_file.Size);
  EXPECT_LT(difference.bytes.size(), 16u << 10);
  const auto encoded_at = std::chrono::steady_clock::now();

  TFileOld old_reader(old_path);
  TSparseChecker checker(new_file);
  uint64_t reports = 0;
  delta::TDifferenceApplier applier(old_reader, checker, [&](uint64_t) { ++reports; });
  // Fed in pieces as a package entry is.
  for (size_t at = 0; at < difference.bytes.size(); at += 1000) {
    ASSERT_TRUE(applier.Feed(difference.bytes.data() + at, std::min<size_t>(1000, difference.bytes.size() - at)));
  }
  const delta::TApplyResult result = applier.Finish();
  ASSERT_TRUE(result) << result.Message;
  EXPECT_EQ(result.Written, new_file.Size);
  EXPECT_EQ(checker.Written(), new_file.Size);
  EXPECT_EQ(checker.Mismatches(), 0u);
  EXPECT_GE(reports, new_file.Size / kMiB);

  // The same difference against the old file with one byte changed above 4 GiB.
  TSparse edited = old_file;
  edited.Ranges.back().second[100] ^= 1;
  ASSERT_TRUE(edited.Write(old_path));
  TFileOld edited_reader(old_path);
  TSparseChecker ignored(new_file);
  EXPECT_EQ(delta::ApplyDifference(difference.bytes.data(), difference.bytes.size(), edited_reader, ignored).Status,
            delta::TApplyStatus::WrongResult);

  const auto seconds = [](auto from, auto to) { return std::chrono::duration<double>(to - from).count(); };
  std::printf("  %llu-byte files: difference %zu bytes, encoded in %.1f s, applied in %.1f s\n",
              static_cast<unsigned long long>(new_file.Size), difference.bytes.size(), seconds(started, encoded_at),
              seconds(encoded_at, std::chrono::steady_clock::now()));
  std::filesystem::remove(old_path);
  std::filesystem::remove(new_path);
}

}  // namespace
}  // namespace setup::testing

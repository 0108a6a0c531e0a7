// Parallel packing with bounded memory.
//
// Every entry is one job, deflated whole by libdeflate on a worker thread. Workers take jobs in
// the entries' order; the calling thread appends the finished entries strictly in that order,
// so any -j gives the same bytes. Memory is bounded by source bytes in flight: a worker starts
// the next entry only while the entries started and not yet handed to the writer hold at most
// kBytesAhead source bytes (or when none is in flight, so an entry larger than that still
// goes). An entry in flight holds its input and its output while it is deflated and only the
// output after, so the build holds at most about twice kBytesAhead, whatever the thread count.
// Large entries are never packed in memory: the writer streams them into the package itself.
//
// Identical contents are found before packing: files of the same size are hashed (SHA-256) on
// the worker threads, and every later copy of a content points at the first one's stored
// bytes, so the result does not depend on the thread count either.
#include "builder/package_writer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include <map>
#include <unordered_map>

#include "core/crc.h"
#include "core/error.h"
#include "core/file_stream.h"
#include "core/pak.h"
#include "core/sha256.h"
#include "core/text.h"

namespace setup::builder {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kBytesAhead = 192ull << 20;

struct TSlot {
  bool Ready = false;
  bool Large = false;  // stored by the writer from the file
  TPakEntry Entry;     // the packed entry's fields
  TBytes Stored;       // the stored bytes
  std::string Error;
};

bool ReadRange(const std::string& path, uint64_t offset, TBytes& out) {
  auto file = TFileStream::Open(path, TFileMode::Read);
  return file && file->Seek(offset) && file->Read(out.data(), out.size()) == out.size();
}

class TPacker {
 public:
  // Entries whose shared[i] is not -1 store nothing of their own and are not packed.
  TPacker(const std::vector<TPackageItem>& items, const std::vector<uint64_t>& sizes, const std::vector<int>& shared,
          int threads, int level)
      : items_(items), sizes_(sizes), shared_(shared), level_(level), slots_(items.size()) {
    for (int t = 0; t < threads; ++t) workers_.emplace_back([this] { Work(); });
  }
  ~TPacker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  // Waits for entry i and hands it over; its bytes no longer count against the budget.
  TSlot Take(size_t i) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return slots_[i].Ready; });
    TSlot slot = std::move(slots_[i]);
    slots_[i] = TSlot{};
    in_flight_ -= Cost(i);
    changed_.notify_all();
    return slot;
  }

 private:
  // Source bytes an entry holds in memory while in flight; a large entry holds none.
  uint64_t Cost(size_t i) const { return sizes_[i] < kLargeEntryLimit && shared_[i] < 0 ? sizes_[i] : 0; }

  bool MayStart() const {
    return next_ < items_.size() && (in_flight_ == 0 || in_flight_ + Cost(next_) <= kBytesAhead);
  }

  void Work() {
    for (;;) {
      size_t i;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || next_ >= items_.size() || MayStart(); });
        if (stop_ || next_ >= items_.size()) return;
        i = next_++;
        in_flight_ += Cost(i);
      }
      TSlot slot;
      try {
        if (shared_[i] < 0) slot = PackWhole(items_[i], sizes_[i]);
      } catch (const std::exception& e) {
        slot.Error = items_[i].Name + ": " + e.what();
      }
      {
        std::lock_guard lock(mutex_);
        slots_[i] = std::move(slot);
        slots_[i].Ready = true;
      }
      changed_.notify_all();
    }
  }

  TSlot PackWhole(const TPackageItem& item, uint64_t size) const {
    TSlot slot;
    TBytes data;
    if (item.SourcePath.empty()) {
      data.assign(item.Bytes.begin(), item.Bytes.end());
    } else {
      if (size >= kLargeEntryLimit) {
        slot.Large = true;
        return slot;
      }
      data.resize(static_cast<size_t>(size));
      if (!ReadRange(item.SourcePath, 0, data)) {
        slot.Error = "cannot read " + item.SourcePath;
        return slot;
      }
    }
    if (item.StorePlain && !data.empty()) {
      slot.Entry.Size = data.size();
      slot.Entry.PackedSize = 0;
      slot.Entry.Crc = Crc32(data.data(), data.size());
      slot.Stored = std::move(data);
    } else if (!data.empty()) {
      const int level = level_ == kAutomaticLevel ? AutomaticLevel(data.data(), data.size()) : level_;
      slot.Stored = PackEntry(slot.Entry, data.data(), static_cast<uint32_t>(data.size()), level);
    }
    return slot;
  }

  const std::vector<TPackageItem>& items_;
  const std::vector<uint64_t>& sizes_;
  const std::vector<int>& shared_;
  const int level_;
  std::vector<TSlot> slots_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;
  uint64_t in_flight_ = 0;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

// log2(x) in 16.16 fixed point, by repeated squaring in integers: the same answer on every
// machine and compiler, so the level chosen (and the setup's bytes) never depend on how a
// platform rounds floating point.
uint64_t Log2Fixed(uint32_t x) {
  int whole = 31;
  while (!(x >> whole)) --whole;
  uint64_t result = static_cast<uint64_t>(whole) << 16;
  uint64_t y = (static_cast<uint64_t>(x) << 30) >> whole;  // x / 2^whole in [1, 2), 2.30 fixed point
  for (int bit = 15; bit >= 0; --bit) {
    y = (y * y) >> 30;
    if (y >= (2ull << 30)) {
      y >>= 1;
      result |= 1ull << bit;
    }
  }
  return result;
}

}  // namespace

int AutomaticLevel(const uint8_t* data, size_t size) {
  constexpr size_t kSample = 64 << 10;
  constexpr uint64_t kCompressedTenthBits = 79;  // 7.9 bits of information per byte
  constexpr size_t kLargeFile = 4 << 20;
  const size_t n = std::min(size, kSample);
  if (n > 0) {
    uint32_t counts[256] = {};
    for (size_t i = 0; i < n; ++i) ++counts[data[i]];
    // The sample's information, n times its bits per byte: n log2 n - sum of c log2 c.
    uint64_t information = n * Log2Fixed(static_cast<uint32_t>(n));
    for (uint32_t c : counts) {
      if (c != 0) information -= c * Log2Fixed(c);
    }
    if (10 * information >= kCompressedTenthBits * n << 16) return 1;
  }
  return size < kLargeFile ? 8 : 10;
}

namespace {

uint64_t SourceBytes(const TPackageItem& item) {
  if (item.SourcePath.empty()) return item.Bytes.size();
  const int64_t n = FileLength(item.SourcePath);
  if (n < 0) throw TBuildError(0, "cannot read " + item.SourcePath);
  return static_cast<uint64_t>(n);
}

// The SHA-256 of an item's content; raises TBuildError when it cannot be read.
TSha256Digest ContentDigest(const TPackageItem& item) {
  std::unique_ptr<TSha256> digest = NewSha256();
  if (!digest) throw TBuildError(0, "no SHA-256 available");
  bool ok = true;
  if (item.SourcePath.empty()) {
    ok = digest->Update(reinterpret_cast<const uint8_t*>(item.Bytes.data()), item.Bytes.size());
  } else {
    auto file = TFileStream::Open(item.SourcePath, TFileMode::Read);
    if (!file) throw TBuildError(0, "cannot read " + item.SourcePath);
    TBytes piece(1 << 20);
    for (size_t n; ok && (n = file->Read(piece.data(), piece.size())) > 0;) ok = digest->Update(piece.data(), n);
  }
  TSha256Digest result{};
  if (!ok || !digest->Final(result)) throw TBuildError(0, "cannot hash " + item.Name);
  return result;
}

// For each item, the first earlier item with the same content, or -1. Only items that share
// their size with another are read; they are hashed on threads, and the first in item order
// keeps its content, so the answer is the same for any thread count.
std::vector<int> FindIdenticalItems(const std::vector<TPackageItem>& items, const std::vector<uint64_t>& sizes,
                                    int threads) {
  std::vector<int> shared(items.size(), -1);
  std::map<uint64_t, std::vector<size_t>> by_size;
  for (size_t i = 0; i < items.size(); ++i) {
    if (sizes[i] > 0) by_size[sizes[i]].push_back(i);
  }
  std::vector<size_t> candidates;
  for (const auto& [size, same] : by_size) {
    if (same.size() > 1) candidates.insert(candidates.end(), same.begin(), same.end());
  }
  if (candidates.empty()) return shared;
  std::vector<TSha256Digest> digests(candidates.size());
  std::vector<std::string> errors(candidates.size());
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t k; (k = next++) < candidates.size();) {
      try {
        digests[k] = ContentDigest(items[candidates[k]]);
      } catch (const std::exception& e) {
        errors[k] = e.what();
      }
    }
  };
  std::vector<std::thread> workers;
  for (int t = 1; t < threads; ++t) workers.emplace_back(work);
  work();
  for (std::thread& t : workers) t.join();
  struct TKey {
    uint64_t Size;
    TSha256Digest Digest;
    bool operator<(const TKey& o) const { return Size != o.Size ? Size < o.Size : Digest < o.Digest; }
  };
  std::map<TKey, size_t> first;
  std::vector<std::pair<size_t, size_t>> order;  // item index, candidate index: item order decides
  for (size_t k = 0; k < candidates.size(); ++k) order.emplace_back(candidates[k], k);
  std::sort(order.begin(), order.end());
  for (const auto& [i, k] : order) {
    if (!errors[k].empty()) throw TBuildError(0, errors[k]);
    const auto [at, fresh] = first.emplace(TKey{sizes[i], digests[k]}, i);
    if (!fresh) shared[i] = static_cast<int>(at->second);
  }
  return shared;
}

// Room the directory and trailer take in a setup of these items, and what signing adds.
constexpr uint64_t kSetupFileReserve = 1 << 20;

uint64_t DirectoryEstimate(const std::vector<TPackageItem>& items) {
  uint64_t bytes = kPakTrailer2Size;
  for (const TPackageItem& item : items) bytes += kPakRecord2FixedSize + item.Name.size();
  return bytes;
}

TWriteResult Write(const TWriteOptions& options, const std::string& temporary, const std::vector<TPackageItem>& items,
                   std::vector<std::string>& data_file_temporaries) {
  uint64_t stub_size = 0;
  if (!options.Stub.empty()) {
    std::error_code ec;
    fs::copy_file(options.Stub, temporary, fs::copy_options::overwrite_existing, ec);
    if (ec) throw TBuildError(0, "cannot copy the stub " + options.Stub + ": " + ec.message());
    stub_size = fs::file_size(temporary, ec);
  }
  TPak pak(temporary, options.Stub.empty() ? pmCreate : pmAppend);
  if (!pak.IsOpen()) throw TBuildError(0, "cannot write " + temporary);
  // Texts that are not ASCII are UTF-8, and the package says so (names it sees itself).
  pak.SetRecordsNotAscii(
      std::any_of(items.begin(), items.end(), [](const TPackageItem& i) { return i.RecordNotAscii; }));
  pak.SetHoldsDifferences(options.HoldsDifferences);

  TWriteResult result;
  TWriteProgress progress;
  progress.FilesTotal = items.size();
  std::vector<uint64_t> sizes;
  for (const TPackageItem& item : items) {
    sizes.push_back(SourceBytes(item));
    progress.BytesTotal += sizes.back();
  }
  const int threads = options.Threads < 1 ? 1 : options.Threads;
  const std::vector<int> shared = FindIdenticalItems(items, sizes, threads);

  // Data files when asked, or when the payload stored once could take the setup to 4 GiB
  // before compression: deciding before anything is packed keeps the build one pass.
  uint64_t slice_size = options.SliceSize;
  if (slice_size == 0 && !options.Stub.empty()) {
    uint64_t bytes = stub_size + DirectoryEstimate(items) + kSetupFileReserve;
    for (size_t i = 0; i < items.size(); ++i) bytes += shared[i] < 0 ? sizes[i] : 0;
    if (bytes > kMostSetupFileSize) slice_size = kDefaultSliceSize;
  }
  if (slice_size != 0) {
    const std::string output = options.Output;
    auto path_of = [output, &data_file_temporaries](uint32_t number) {
      data_file_temporaries.push_back(DataFilePath(output, number) + ".partial");
      return data_file_temporaries.back();
    };
    if (!pak.StartDataFiles(DataFileStem(options.Output), slice_size, path_of)) {
      throw TBuildError(0, "cannot write data files: no SHA-256 available");
    }
  }

  TPacker packer(items, sizes, shared, threads, options.Level);
  for (size_t i = 0; i < items.size(); ++i) {
    const int index = pak.AddEntry(items[i].Name, items[i].SourcePath, items[i].Group);
    TSlot slot = packer.Take(i);
    if (!slot.Error.empty()) throw TBuildError(0, slot.Error);
    bool ok;
    if (shared[i] >= 0) {
      ok = pak.ShareStored(index, shared[i]);
      ++result.SharedEntries;
      result.SharedBytes += sizes[i];
    } else if (slot.Large) {
      ok = pak.StoreFromFile(index);
    } else {
      TPakEntry& e = pak.Directory()[index];
      e.Size = slot.Entry.Size;
      e.PackedSize = slot.Entry.PackedSize;
      e.Crc = slot.Entry.Crc;
      ok = pak.StorePacked(index, slot.Stored);
    }
    result.StoredBytes.push_back(shared[i] >= 0 ? 0 : pak.Directory()[index].StoredLength());
    if (!ok) {
      throw TBuildError(0, "cannot store " + items[i].Name +
                               (slice_size == 0 ? ": the setup would pass 4 GiB or the disk is full"
                                                : ": the disk is full or more than 65535 data files would be needed"));
    }
    progress.FilesDone = i + 1;
    progress.BytesDone += sizes[i];
    if (options.OnProgress) options.OnProgress(progress);
  }
  if (!pak.WriteDirectory()) throw TBuildError(0, "cannot write the package directory of " + temporary);
  for (uint32_t n = 1; n <= pak.WrittenDataFiles().size(); ++n) result.DataFiles.push_back(DataFilePath(options.Output, n));
  pak.Close();
  return result;
}

void RemoveQuietly(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

}  // namespace

bool ParseByteSize(const std::string& text, uint64_t& bytes) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 19) return false;
  const std::string unit = LowerAscii(text.substr(digits));
  int shift = 0;
  if (unit == "k") shift = 10;
  else if (unit == "m") shift = 20;
  else if (unit == "g") shift = 30;
  else if (!unit.empty()) return false;
  const uint64_t n = std::stoull(text.substr(0, digits));
  if (n == 0 || n > (1ull << (63 - shift))) return false;
  bytes = n << shift;
  return true;
}

std::string DataFileStem(const std::string& output) { return fs::path(output).stem().string(); }

std::string DataFilePath(const std::string& output, uint32_t number) {
  return (fs::path(output).parent_path() / DataFileName(DataFileStem(output), number)).string();
}

TWriteResult WriteSetup(const TWriteOptions& options, const std::vector<TPackageItem>& items) {
  const std::string partial = options.Output + ".partial";
  const std::string signed_copy = options.Output + ".signed";
  std::string finished = partial;
  std::vector<std::string> data_file_temporaries;
  TWriteResult result;
  auto drop_all = [&] {
    RemoveQuietly(partial);
    RemoveQuietly(signed_copy);
    for (const std::string& t : data_file_temporaries) RemoveQuietly(t);
  };
  try {
    result = Write(options, partial, items, data_file_temporaries);
    if (options.Sign.Wanted()) {
      // The signature follows the whole package; the signed copy keeps the setup's permissions.
      // It covers the data files through their digests in the package.
      SignFile(options.Sign, partial, signed_copy);
      finished = signed_copy;
      std::error_code ec;
      const fs::file_status status = fs::status(partial, ec);
      if (!ec) fs::permissions(signed_copy, status.permissions(), ec);
      fs::remove(partial, ec);
    }
  } catch (...) {
    drop_all();
    throw;
  }
  // The data files take their names first: a setup never names data files that are not there.
  for (size_t n = 0; n < result.DataFiles.size(); ++n) {
    std::error_code ec;
    fs::rename(data_file_temporaries[n], result.DataFiles[n], ec);
    if (ec) {
      drop_all();
      throw TBuildError(0, "cannot create " + result.DataFiles[n] + ": " + ec.message());
    }
  }
  std::error_code ec;
  fs::rename(finished, options.Output, ec);
  if (ec) {
    fs::remove(finished, ec);
    throw TBuildError(0, "cannot create " + options.Output + ": " + ec.message());
  }
  // Data files of an earlier build of the same setup that this one does not have would only
  // mislead whoever uploads the folder: they go.
  for (uint32_t n = static_cast<uint32_t>(result.DataFiles.size()) + 1;; ++n) {
    const std::string stale = DataFilePath(options.Output, n);
    if (!fs::is_regular_file(stale, ec)) break;
    fs::remove(stale, ec);
    result.Removed.push_back(stale);
  }
  return result;
}

}  // namespace setup::builder

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
#include "builder/package_writer.h"

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "core/error.h"
#include "core/file_stream.h"
#include "core/pak.h"

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
  TPacker(const std::vector<TPackageItem>& items, const std::vector<uint64_t>& sizes, int threads, int level)
      : items_(items), sizes_(sizes), level_(level), slots_(items.size()) {
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
  uint64_t Cost(size_t i) const { return sizes_[i] < kLargeEntryLimit ? sizes_[i] : 0; }

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
        slot = PackWhole(items_[i], sizes_[i]);
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
      if (size > 0xFFFFFFFFull) {
        slot.Error = "file larger than 4 GiB: " + item.SourcePath;
        return slot;
      }
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
    if (!data.empty()) slot.Stored = PackEntry(slot.Entry, data.data(), static_cast<uint32_t>(data.size()), level_);
    return slot;
  }

  const std::vector<TPackageItem>& items_;
  const std::vector<uint64_t>& sizes_;
  const int level_;
  std::vector<TSlot> slots_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;
  uint64_t in_flight_ = 0;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

uint64_t SourceBytes(const TPackageItem& item) {
  if (item.SourcePath.empty()) return item.Bytes.size();
  const int64_t n = FileLength(item.SourcePath);
  if (n < 0) throw TBuildError(0, "cannot read " + item.SourcePath);
  return static_cast<uint64_t>(n);
}

void Write(const TWriteOptions& options, const std::string& temporary, const std::vector<TPackageItem>& items) {
  if (!options.Stub.empty()) {
    std::error_code ec;
    fs::copy_file(options.Stub, temporary, fs::copy_options::overwrite_existing, ec);
    if (ec) throw TBuildError(0, "cannot copy the stub " + options.Stub + ": " + ec.message());
  }
  TPak pak(temporary, options.Stub.empty() ? pmCreate : pmAppend);
  if (!pak.IsOpen()) throw TBuildError(0, "cannot write " + temporary);

  TWriteProgress progress;
  progress.FilesTotal = items.size();
  std::vector<uint64_t> sizes;
  for (const TPackageItem& item : items) {
    sizes.push_back(SourceBytes(item));
    progress.BytesTotal += sizes.back();
  }

  TPacker packer(items, sizes, options.Threads < 1 ? 1 : options.Threads, options.Level);
  for (size_t i = 0; i < items.size(); ++i) {
    const int index = pak.AddEntry(items[i].Name, items[i].SourcePath, items[i].Group);
    TSlot slot = packer.Take(i);
    if (!slot.Error.empty()) throw TBuildError(0, slot.Error);
    bool ok;
    if (slot.Large) {
      ok = pak.StoreFromFile(index);
    } else {
      TPakEntry& e = pak.Directory()[index];
      e.Size = slot.Entry.Size;
      e.PackedSize = slot.Entry.PackedSize;
      e.Crc = slot.Entry.Crc;
      ok = pak.StorePacked(index, slot.Stored);
    }
    if (!ok) {
      throw TBuildError(0, "cannot store " + items[i].Name + ": the setup would pass 4 GiB or the disk is full");
    }
    progress.FilesDone = i + 1;
    progress.BytesDone += sizes[i];
    if (options.OnProgress) options.OnProgress(progress);
  }
  if (!pak.WriteDirectory()) throw TBuildError(0, "cannot write the package directory of " + temporary);
  pak.Close();
}

}  // namespace

void WriteSetup(const TWriteOptions& options, const std::vector<TPackageItem>& items) {
  const std::string partial = options.Output + ".partial";
  const std::string signed_copy = options.Output + ".signed";
  std::string finished = partial;
  try {
    Write(options, partial, items);
    if (options.Sign.Wanted()) {
      // The signature follows the whole package; the signed copy keeps the setup's permissions.
      SignFile(options.Sign, partial, signed_copy);
      finished = signed_copy;
      std::error_code ec;
      const fs::file_status status = fs::status(partial, ec);
      if (!ec) fs::permissions(signed_copy, status.permissions(), ec);
      fs::remove(partial, ec);
    }
  } catch (...) {
    std::error_code ec;
    fs::remove(partial, ec);
    fs::remove(signed_copy, ec);
    throw;
  }
  std::error_code ec;
  fs::rename(finished, options.Output, ec);
  if (ec) {
    fs::remove(finished, ec);
    throw TBuildError(0, "cannot create " + options.Output + ": " + ec.message());
  }
}

}  // namespace setup::builder

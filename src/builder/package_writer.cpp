// Parallel packing with bounded memory.
//
// Worker threads take entries in order and pack them (read the source, deflate at level 9,
// CRC); the calling thread appends the packed entries strictly in order. A worker may run at
// most 2 x threads entries ahead of the writer, so memory stays near that many entries. Large
// entries are never packed in memory: the writer streams them into the package itself.
#include "builder/package_writer.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "core/error.h"
#include "core/file_stream.h"
#include "core/pak.h"

namespace setup::builder {

namespace fs = std::filesystem;

namespace {

struct TSlot {
  bool Ready = false;
  bool Large = false;
  TPakEntry Entry;
  TBytes Stored;
  std::string Error;
};

class TPacker {
 public:
  TPacker(const std::vector<TPackageItem>& items, int threads)
      : items_(items), slots_(items.size()), window_(static_cast<size_t>(threads) * 2) {
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

  // Waits for entry i to be packed and hands it over; the slot is freed.
  TSlot Take(size_t i) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return slots_[i].Ready; });
    TSlot slot = std::move(slots_[i]);
    slots_[i] = TSlot{};
    written_ = i + 1;
    changed_.notify_all();
    return slot;
  }

 private:
  void Work() {
    for (;;) {
      size_t i;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || (next_ < items_.size() && next_ < written_ + window_); });
        if (stop_ || next_ >= items_.size()) return;
        i = next_++;
      }
      TSlot slot;
      try {
        slot = Pack(items_[i]);
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

  static TSlot Pack(const TPackageItem& item) {
    TSlot slot;
    slot.Entry.Name = item.Name;
    slot.Entry.Group = item.Group;
    slot.Entry.SourcePath = item.SourcePath;
    TBytes data;
    if (item.SourcePath.empty()) {
      data.assign(item.Bytes.begin(), item.Bytes.end());
    } else {
      const int64_t length = FileLength(item.SourcePath);
      if (length < 0) {
        slot.Error = "cannot read " + item.SourcePath;
        return slot;
      }
      if (length > 0xFFFFFFFFll) {
        slot.Error = "file larger than 4 GiB: " + item.SourcePath;
        return slot;
      }
      if (static_cast<uint64_t>(length) >= kLargeEntryLimit) {
        slot.Large = true;
        return slot;
      }
      data.resize(static_cast<size_t>(length));
      auto file = TFileStream::Open(item.SourcePath, TFileMode::Read);
      if (!file || file->Read(data.data(), data.size()) != data.size()) {
        slot.Error = "cannot read " + item.SourcePath;
        return slot;
      }
    }
    if (!data.empty()) slot.Stored = PackEntry(slot.Entry, data.data(), static_cast<uint32_t>(data.size()));
    return slot;
  }

  const std::vector<TPackageItem>& items_;
  std::vector<TSlot> slots_;
  const size_t window_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;
  size_t written_ = 0;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

uint64_t SourceBytes(const TPackageItem& item) {
  if (item.SourcePath.empty()) return item.Bytes.size();
  const int64_t n = FileLength(item.SourcePath);
  return n > 0 ? static_cast<uint64_t>(n) : 0;
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

  TPacker packer(items, options.Threads < 1 ? 1 : options.Threads);
  for (size_t i = 0; i < items.size(); ++i) {
    TSlot slot = packer.Take(i);
    if (!slot.Error.empty()) throw TBuildError(0, slot.Error);
    const int index = pak.AddEntry(slot.Entry.Name, slot.Entry.SourcePath, slot.Entry.Group);
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
    if (!ok) throw TBuildError(0, "cannot store " + slot.Entry.Name + ": the setup would pass 4 GiB or the disk is full");
    progress.FilesDone = i + 1;
    progress.BytesDone += sizes[i];
    if (options.OnProgress) options.OnProgress(progress);
  }
  if (!pak.WriteDirectory()) throw TBuildError(0, "cannot write the package directory of " + temporary);
  pak.Close();
}

}  // namespace

void WriteSetup(const TWriteOptions& options, const std::vector<TPackageItem>& items) {
  const std::string temporary = options.Output + ".partial";
  try {
    Write(options, temporary, items);
  } catch (...) {
    std::error_code ec;
    fs::remove(temporary, ec);
    throw;
  }
  std::error_code ec;
  fs::rename(temporary, options.Output, ec);
  if (ec) {
    fs::remove(temporary, ec);
    throw TBuildError(0, "cannot create " + options.Output + ": " + ec.message());
  }
}

}  // namespace setup::builder

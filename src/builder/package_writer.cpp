// Parallel packing with bounded memory.
//
// The work is cut into jobs: a small entry is one job; an entry above kPieceSize is cut into
// pieces of that size, each deflated on its own as raw deflate data primed with the 32 KiB of
// input before it and ended with a sync flush (the last piece finishes the stream). The pieces
// joined behind the level-9 zlib header, with the Adler-32 of the whole entry combined from
// the pieces', are one ordinary zlib stream, so a few big files no longer keep the other
// threads waiting. Piece borders depend only on the entry, never on the thread count, so any
// -j gives the same bytes.
//
// Worker threads take jobs in order; the calling thread appends the finished entries strictly
// in order. Workers run at most kJobsAheadPerThread x threads jobs ahead of the writer, so
// memory stays near that many pieces plus the entry being assembled. Large entries are never
// packed in memory: the writer streams them into the package itself.
#include "builder/package_writer.h"

#include <zlib.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "core/crc.h"
#include "core/error.h"
#include "core/file_stream.h"
#include "core/pak.h"

namespace setup::builder {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kPieceSize = 1 << 20;     // 1 MiB of input per piece
constexpr uint32_t kDictionarySize = 32768;  // the deflate window
constexpr size_t kJobsAheadPerThread = 4;
constexpr uint8_t kZlibHeaderBest[2] = {0x78, 0xDA};  // deflate, 32 KiB window, level 9

struct TJob {
  size_t Item = 0;
  uint32_t Piece = 0;   // 0-based piece of the entry
  uint32_t Pieces = 1;  // pieces of the entry; 1 for a whole entry
};

struct TSlot {
  bool Ready = false;
  bool Large = false;   // whole job: stored by the writer from the file
  TPakEntry Entry;      // whole job: the packed entry's fields
  TBytes Stored;        // whole job: the stored bytes; piece: its raw deflate bytes
  uint32_t Adler = 1;   // piece: Adler-32 of its input
  uint32_t InputLength = 0;
  std::string Error;
};

bool ReadRange(const std::string& path, uint64_t offset, TBytes& out) {
  auto file = TFileStream::Open(path, TFileMode::Read);
  return file && file->Seek(offset) && file->Read(out.data(), out.size()) == out.size();
}

// Raw deflate of one piece, primed with the dictionary; the last piece finishes the stream.
TBytes DeflatePiece(const uint8_t* dictionary, uint32_t dictionary_length, const uint8_t* data, uint32_t length,
                    bool last) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw ESetupError("deflate could not start");
  }
  if (dictionary_length) deflateSetDictionary(&zs, dictionary, dictionary_length);
  TBytes out(deflateBound(&zs, length) + 16);
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = length;
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&zs, last ? Z_FINISH : Z_SYNC_FLUSH);
  const bool ok = last ? rc == Z_STREAM_END : (rc == Z_OK && zs.avail_in == 0);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  if (!ok) throw ESetupError("deflate of a piece failed");
  return out;
}

class TPacker {
 public:
  TPacker(const std::vector<TPackageItem>& items, const std::vector<uint64_t>& sizes, int threads)
      : items_(items), sizes_(sizes), window_(static_cast<size_t>(threads) * kJobsAheadPerThread) {
    for (size_t i = 0; i < items.size(); ++i) {
      const uint64_t size = sizes[i];
      const bool split = !items[i].SourcePath.empty() && size > kPieceSize && size < kLargeEntryLimit;
      const uint32_t pieces = split ? static_cast<uint32_t>((size + kPieceSize - 1) / kPieceSize) : 1;
      first_job_.push_back(jobs_.size());
      for (uint32_t p = 0; p < pieces; ++p) jobs_.push_back({i, p, pieces});
    }
    slots_.resize(jobs_.size());
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

  size_t FirstJob(size_t item) const { return first_job_[item]; }
  const TJob& Job(size_t j) const { return jobs_[j]; }

  // Waits for job j and hands it over; the slot is freed and the window moves on.
  TSlot Take(size_t j) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return slots_[j].Ready; });
    TSlot slot = std::move(slots_[j]);
    slots_[j] = TSlot{};
    taken_ = j + 1;
    changed_.notify_all();
    return slot;
  }

 private:
  void Work() {
    for (;;) {
      size_t j;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || (next_ < jobs_.size() && next_ < taken_ + window_); });
        if (stop_ || next_ >= jobs_.size()) return;
        j = next_++;
      }
      TSlot slot;
      try {
        slot = jobs_[j].Pieces > 1 ? PackPiece(jobs_[j]) : PackWhole(items_[jobs_[j].Item], sizes_[jobs_[j].Item]);
      } catch (const std::exception& e) {
        slot.Error = items_[jobs_[j].Item].Name + ": " + e.what();
      }
      {
        std::lock_guard lock(mutex_);
        slots_[j] = std::move(slot);
        slots_[j].Ready = true;
      }
      changed_.notify_all();
    }
  }

  TSlot PackPiece(const TJob& job) {
    TSlot slot;
    const TPackageItem& item = items_[job.Item];
    const uint64_t start = static_cast<uint64_t>(job.Piece) * kPieceSize;
    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kPieceSize, sizes_[job.Item] - start));
    const uint32_t dictionary = job.Piece == 0 ? 0 : kDictionarySize;
    TBytes input(dictionary + length);
    if (!ReadRange(item.SourcePath, start - dictionary, input)) {
      slot.Error = "cannot read " + item.SourcePath;
      return slot;
    }
    slot.Stored = DeflatePiece(input.data(), dictionary, input.data() + dictionary, length, job.Piece + 1 == job.Pieces);
    slot.Adler = static_cast<uint32_t>(adler32(1, input.data() + dictionary, length));
    slot.InputLength = length;
    return slot;
  }

  static TSlot PackWhole(const TPackageItem& item, uint64_t size) {
    TSlot slot;
    slot.Entry.Name = item.Name;
    slot.Entry.Group = item.Group;
    slot.Entry.SourcePath = item.SourcePath;
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
    if (!data.empty()) slot.Stored = PackEntry(slot.Entry, data.data(), static_cast<uint32_t>(data.size()));
    return slot;
  }

  const std::vector<TPackageItem>& items_;
  const std::vector<uint64_t>& sizes_;
  std::vector<TJob> jobs_;
  std::vector<size_t> first_job_;
  std::vector<TSlot> slots_;
  const size_t window_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;
  size_t taken_ = 0;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

uint64_t SourceBytes(const TPackageItem& item) {
  if (item.SourcePath.empty()) return item.Bytes.size();
  const int64_t n = FileLength(item.SourcePath);
  if (n < 0) throw TBuildError(0, "cannot read " + item.SourcePath);
  return static_cast<uint64_t>(n);
}

// Joins an entry's pieces into one zlib stream; stores the entry plain when that is not smaller.
void StoreSplitEntry(TPacker& packer, size_t item_index, const TPackageItem& item, uint64_t size, TPak& pak,
                     int index) {
  TBytes stream(kZlibHeaderBest, kZlibHeaderBest + 2);
  uLong adler = 1;
  const size_t first = packer.FirstJob(item_index);
  for (uint32_t p = 0; p < packer.Job(first).Pieces; ++p) {
    TSlot piece = packer.Take(first + p);
    if (!piece.Error.empty()) throw TBuildError(0, piece.Error);
    stream.insert(stream.end(), piece.Stored.begin(), piece.Stored.end());
    adler = adler32_combine(adler, piece.Adler, piece.InputLength);
  }
  for (int shift = 24; shift >= 0; shift -= 8) stream.push_back(static_cast<uint8_t>(adler >> shift));
  TPakEntry& e = pak.Directory()[index];
  e.Size = static_cast<uint32_t>(size);
  if (size < stream.size()) {  // the stream grew: the bytes go in as they are
    stream.assign(static_cast<size_t>(size), 0);
    if (!ReadRange(item.SourcePath, 0, stream)) throw TBuildError(0, "cannot read " + item.SourcePath);
    e.PackedSize = 0;
  } else {
    e.PackedSize = static_cast<uint32_t>(stream.size());
  }
  e.Crc = Crc32(stream.data(), stream.size());
  if (!pak.StorePacked(index, stream)) {
    throw TBuildError(0, "cannot store " + item.Name + ": the setup would pass 4 GiB or the disk is full");
  }
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

  TPacker packer(items, sizes, options.Threads < 1 ? 1 : options.Threads);
  for (size_t i = 0; i < items.size(); ++i) {
    const int index = pak.AddEntry(items[i].Name, items[i].SourcePath, items[i].Group);
    const size_t first = packer.FirstJob(i);
    if (packer.Job(first).Pieces > 1) {
      StoreSplitEntry(packer, i, items[i], sizes[i], pak, index);
    } else {
      TSlot slot = packer.Take(first);
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

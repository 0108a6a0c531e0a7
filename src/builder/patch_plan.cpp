// Planning patch lines on the builder's threads.
//
// Every file of a patch line is one job: a file of both folders is compared (and, when it
// changed, encoded and perhaps measured packed whole), a file of one folder is hashed. Workers
// take jobs in order and leave each result in the job's own slot; the calling thread reports
// progress while they run and then reads the slots in order, so the plan does not depend on
// which worker did what. A failed job stops the workers taking new ones; the first failure in
// job order is the one reported.
#include "builder/patch_plan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "builder/script.h"
#include "core/deflate.h"
#include "core/file_stream.h"
#include "core/pak.h"
#include "core/text.h"

namespace setup::builder {

namespace fs = std::filesystem;

namespace {

constexpr size_t kComparePiece = 1 << 20;
// Measuring a file packed whole holds it and its deflated form: at most this many bytes of
// such files at once (or one file, however large below the large-entry limit).
constexpr uint64_t kMeasureBytesAhead = 192ull << 20;
constexpr char kDifferenceExtension[] = ".kzpd";

// Waits until cost fits beside what is taken (or nothing is taken), then takes it.
class TBudget {
 public:
  explicit TBudget(uint64_t limit) : limit_(limit) {}
  void Take(uint64_t cost) {
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [&] { return used_ == 0 || used_ + cost <= limit_; });
    used_ += cost;
  }
  void Give(uint64_t cost) {
    {
      std::lock_guard lock(mutex_);
      used_ -= cost;
    }
    freed_.notify_all();
  }

 private:
  const uint64_t limit_;
  uint64_t used_ = 0;
  std::mutex mutex_;
  std::condition_variable freed_;
};

class TBudgetShare {
 public:
  TBudgetShare(TBudget* budget, uint64_t cost) : budget_(budget), cost_(cost) {
    if (budget_) budget_->Take(cost_);
  }
  ~TBudgetShare() {
    if (budget_) budget_->Give(cost_);
  }
  TBudgetShare(const TBudgetShare&) = delete;
  TBudgetShare& operator=(const TBudgetShare&) = delete;

 private:
  TBudget* budget_;
  uint64_t cost_;
};

// A difference written to a file, the first failed write remembered.
class TDifferenceFile : public delta::TNewFileWriter {
 public:
  explicit TDifferenceFile(const std::string& path) : file_(TFileStream::Open(path, TFileMode::Create)) {}
  bool IsOpen() const { return file_ != nullptr; }
  bool Write(const uint8_t* data, size_t size) override {
    sound_ = sound_ && file_->Write(data, size) == size;
    return sound_;
  }
  bool Close() {
    sound_ = sound_ && file_->Flush();
    file_.reset();
    return sound_;
  }

 private:
  std::unique_ptr<TFileStream> file_;
  bool sound_ = true;
};

// Whether two files of the same size hold the same bytes; advance receives the bytes read of both.
bool SameBytes(const std::string& a_path, const std::string& b_path, uint64_t size,
               const std::function<void(uint64_t)>& advance) {
  auto a = TFileStream::Open(a_path, TFileMode::Read);
  if (!a) throw TBuildError(0, "cannot read " + a_path);
  auto b = TFileStream::Open(b_path, TFileMode::Read);
  if (!b) throw TBuildError(0, "cannot read " + b_path);
  TBytes pa(kComparePiece), pb(kComparePiece);
  for (uint64_t done = 0; done < size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kComparePiece, size - done));
    if (a->Read(pa.data(), want) != want) throw TBuildError(0, "cannot read " + a_path);
    if (b->Read(pb.data(), want) != want) throw TBuildError(0, "cannot read " + b_path);
    advance(2 * want);
    if (!std::equal(pa.begin(), pa.begin() + static_cast<std::ptrdiff_t>(want), pb.begin())) return false;
    done += want;
  }
  return true;
}

delta::TFileIdentity Identify(const std::string& path, const std::function<void(uint64_t)>& advance) {
  delta::TFileIdentity identity;
  uint64_t reported = 0;
  const bool ok = delta::IdentifyFile(path, identity, [&](uint64_t done) {
    if (done > reported) advance(done - reported);
    reported = std::max(reported, done);
  });
  if (!ok) throw TBuildError(0, "cannot read " + path);
  return identity;
}

enum class TJobKind { Compare, Add, Remove };

struct TJob {
  size_t Source = 0;
  TJobKind Kind = TJobKind::Add;
  const TPatchTreeFile* New = nullptr;
  const TPatchTreeFile* Old = nullptr;
  uint64_t Bytes() const { return (New ? New->Size : 0) + (Old ? Old->Size : 0); }
};

struct TOutcome {
  bool Unchanged = false;
  TPatchPlanItem Item;
  std::string Error;
};

class TPlanner {
 public:
  TPlanner(const std::vector<TPatchSource>& sources, const TPlanOptions& options)
      : sources_(sources), options_(options), encodes_(kMostReferenceEncodes), measures_(kMeasureBytesAhead) {
    for (size_t s = 0; s < sources.size(); ++s) {
      const TPatchSource& source = sources[s];
      std::unordered_map<std::string, const TPatchTreeFile*> old_by_name;
      for (const TPatchTreeFile& f : source.OldFiles) old_by_name.emplace(LowerUnicode(f.Name), &f);
      std::unordered_map<const TPatchTreeFile*, bool> matched;
      std::vector<TJob> rest;
      for (const TPatchTreeFile& f : source.NewFiles) {
        const auto found = old_by_name.find(LowerUnicode(f.Name));
        if (found == old_by_name.end()) {
          rest.push_back({s, TJobKind::Add, &f, nullptr});
        } else {
          matched[found->second] = true;
          rest.push_back({s, TJobKind::Compare, &f, found->second});
        }
      }
      for (const TPatchTreeFile& f : source.OldFiles) {
        if (!matched.count(&f)) jobs_.push_back({s, TJobKind::Remove, nullptr, &f});
      }
      jobs_.insert(jobs_.end(), rest.begin(), rest.end());
    }
    outcomes_.resize(jobs_.size());
    for (const TJob& job : jobs_) bytes_total_ += job.Bytes();
  }

  std::vector<TPatchPlan> Run() {
    std::vector<std::thread> workers;
    const int threads = std::max(1, std::min<int>(options_.Threads, static_cast<int>(jobs_.size())));
    for (int t = 0; t < threads && !jobs_.empty(); ++t) workers.emplace_back([this] { Work(); });
    {
      std::unique_lock lock(mutex_);
      for (;;) {
        const bool over = finished_ == jobs_.size() || (failed_ && running_ == 0);
        Report();
        if (over) break;
        done_.wait_for(lock, std::chrono::milliseconds(100));
      }
    }
    for (std::thread& t : workers) t.join();
    for (size_t j = 0; j < jobs_.size(); ++j) {
      if (!outcomes_[j].Error.empty()) throw TBuildError(sources_[jobs_[j].Source].Line, outcomes_[j].Error);
    }
    std::vector<TPatchPlan> plans(sources_.size());
    for (size_t s = 0; s < sources_.size(); ++s) {
      plans[s].Line = sources_[s].Line;
      plans[s].Group = sources_[s].Group;
    }
    for (size_t j = 0; j < jobs_.size(); ++j) {
      TPatchPlan& plan = plans[jobs_[j].Source];
      if (outcomes_[j].Unchanged) {
        ++plan.UnchangedFiles;
        plan.UnchangedBytes += jobs_[j].New->Size;
      } else {
        plan.Items.push_back(std::move(outcomes_[j].Item));
      }
    }
    return plans;
  }

 private:
  // Under mutex_.
  void Report() {
    if (!options_.OnProgress) return;
    TWriteProgress p;
    p.FilesDone = finished_;
    p.FilesTotal = jobs_.size();
    p.BytesTotal = bytes_total_;
    p.BytesDone = std::min(bytes_done_.load(), bytes_total_);
    options_.OnProgress(p);
  }

  void Work() {
    for (;;) {
      size_t j;
      {
        std::lock_guard lock(mutex_);
        if (failed_ || next_ >= jobs_.size()) return;
        j = next_++;
        ++running_;
      }
      uint64_t reported = 0;
      const auto advance = [&](uint64_t n) {
        reported += n;
        bytes_done_ += n;
      };
      TOutcome outcome;
      try {
        outcome = Do(j, advance);
      } catch (const std::exception& e) {
        outcome.Error = e.what();
      }
      // Whatever the job read, it counts as its files' bytes once it is done.
      if (reported < jobs_[j].Bytes()) bytes_done_ += jobs_[j].Bytes() - reported;
      {
        std::lock_guard lock(mutex_);
        outcomes_[j] = std::move(outcome);
        failed_ = failed_ || !outcomes_[j].Error.empty();
        ++finished_;
        --running_;
      }
      done_.notify_all();
    }
  }

  TOutcome Do(size_t j, const std::function<void(uint64_t)>& advance) {
    const TJob& job = jobs_[j];
    TOutcome outcome;
    delta::TPatchItem& item = outcome.Item.Item;
    switch (job.Kind) {
      case TJobKind::Add:
        item.Action = delta::TPatchAction::Add;
        item.Name = job.New->Name;
        item.New = Identify(job.New->Path, advance);
        outcome.Item.SourcePath = job.New->Path;
        return outcome;
      case TJobKind::Remove:
        item.Action = delta::TPatchAction::Remove;
        item.Name = job.Old->Name;
        item.Old = Identify(job.Old->Path, advance);
        return outcome;
      case TJobKind::Compare:
        break;
    }
    const TPatchTreeFile& n = *job.New;
    const TPatchTreeFile& o = *job.Old;
    if (n.Size == o.Size && SameBytes(o.Path, n.Path, n.Size, advance)) {
      outcome.Unchanged = true;
      return outcome;
    }
    item.Name = n.Name;
    const std::string difference =
        (fs::path(options_.TemporaryFolder) / (std::to_string(j) + kDifferenceExtension)).string();
    delta::TEncodeResult encoded;
    {
      const bool reference = n.Size <= delta::kReferenceMostSize && o.Size <= delta::kReferenceMostSize;
      const TBudgetShare share(reference ? &encodes_ : nullptr, 1);
      TDifferenceFile out(difference);
      if (!out.IsOpen()) throw TBuildError(0, "cannot write " + difference);
      encoded = delta::EncodeDifference(o.Path, n.Path, out);
      if (!out.Close() && encoded.Ok) throw TBuildError(0, "cannot write " + difference + ": the disk is full");
    }
    if (!encoded.Ok) {
      throw TBuildError(
          0, encoded.Error.empty() ? "cannot make the difference of " + n.Path + " against " + o.Path : encoded.Error);
    }
    item.Old = encoded.Header.Old;
    item.New = encoded.Header.New;
    outcome.Item.Method = encoded.Header.Method;
    outcome.Item.DifferenceSize = encoded.Size;
    // A difference smaller than any deflate stream of the file could be needs no measuring.
    bool keep = MostInflatedBytes(encoded.Size) < item.New.Size;
    if (!keep) {
      const uint64_t size = item.New.Size;
      const TBudgetShare share(size < kLargeEntryLimit ? &measures_ : nullptr, 2 * size);
      outcome.Item.WholeSize = PackedWholeSize(n.Path, size, options_.Level);
      keep = encoded.Size < outcome.Item.WholeSize;
    }
    if (keep) {
      item.Action = delta::TPatchAction::Difference;
      outcome.Item.SourcePath = difference;
    } else {
      item.Action = delta::TPatchAction::Replace;
      outcome.Item.SourcePath = n.Path;
      std::error_code ec;
      fs::remove(difference, ec);
    }
    return outcome;
  }

  const std::vector<TPatchSource>& sources_;
  const TPlanOptions& options_;
  std::vector<TJob> jobs_;
  std::vector<TOutcome> outcomes_;  // a worker writes slot j under mutex_, the caller reads after the join
  uint64_t bytes_total_ = 0;
  std::atomic<uint64_t> bytes_done_{0};  // workers add as they read
  TBudget encodes_;                      // reference-method encodes running
  TBudget measures_;                     // bytes held by files being measured packed whole
  std::mutex mutex_;
  std::condition_variable done_;
  size_t next_ = 0;     // the next job to start
  size_t running_ = 0;  // jobs started and not finished
  size_t finished_ = 0;
  bool failed_ = false;  // a job failed: no new ones start
};

std::string Count(uint64_t n) {
  std::string digits = std::to_string(n);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

// "512 bytes", "12.3 KB", "4.0 MB", "3.1 GB" (decimal units, as the progress display's).
std::string SizeWords(uint64_t n) {
  if (n < 1000) return std::to_string(n) + (n == 1 ? " byte" : " bytes");
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
  double x = static_cast<double>(n) / 1000;
  size_t unit = 0;
  while (x >= 999.95 && unit + 1 < std::size(kUnits)) {
    x /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", x, kUnits[unit]);
  return text;
}

}  // namespace

delta::TPatchManifest TPatchPlan::Manifest() const {
  delta::TPatchManifest manifest;
  for (const TPatchPlanItem& item : Items) manifest.Items.push_back(item.Item);
  return manifest;
}

uint64_t PackedWholeSize(const std::string& path, uint64_t size, int level) {
  if (size >= kLargeEntryLimit) return size;
  if (size == 0) return 0;
  TBytes data(static_cast<size_t>(size));
  auto file = TFileStream::Open(path, TFileMode::Read);
  if (!file || file->Read(data.data(), data.size()) != data.size()) throw TBuildError(0, "cannot read " + path);
  if (level == kAutomaticLevel) level = AutomaticLevel(data.data(), data.size());
  return std::min<uint64_t>(size, Deflate(data.data(), data.size(), level).size());
}

std::vector<TPatchPlan> PlanPatches(const std::vector<TPatchSource>& sources, const TPlanOptions& options) {
  TPlanner planner(sources, options);
  return planner.Run();
}

TTemporaryFolder::TTemporaryFolder(fs::path path) : path_(std::move(path)) {
  std::error_code ec;
  if (fs::is_directory(path_, ec)) {
    // Left by a build that was killed: its differences go, and the folder with them if that
    // was all it held.
    for (const fs::directory_entry& item : fs::directory_iterator(path_, ec)) {
      if (item.path().extension() == kDifferenceExtension && item.is_regular_file(ec)) fs::remove(item.path(), ec);
    }
    fs::remove(path_, ec);
  }
  if (!fs::create_directory(path_, ec)) {
    const std::string text = "cannot make the temporary folder " + path_.string() + ": " +
                             (ec ? ec.message() : "it exists and holds other files");
    path_.clear();
    throw TBuildError(0, text);
  }
}

TTemporaryFolder::~TTemporaryFolder() {
  if (path_.empty()) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path DifferencesFolderFor(const std::string& output) { return fs::path(output + ".differences"); }

std::vector<uint64_t> StoredOfPlan(const TPatchPlan& plan, const std::vector<TPackageItem>& items,
                                   const std::vector<uint64_t>& item_stored) {
  std::unordered_map<std::string, uint64_t> by_name;
  for (size_t i = 0; i < items.size() && i < item_stored.size(); ++i) {
    if (items[i].Group == plan.Group) by_name.emplace(items[i].Name, item_stored[i]);
  }
  std::vector<uint64_t> stored;
  for (const TPatchPlanItem& item : plan.Items) {
    const auto found = by_name.find(item.Item.Name);
    stored.push_back(item.Item.Action != delta::TPatchAction::Remove && found != by_name.end() ? found->second : 0);
  }
  return stored;
}

std::string PatchSavingsText(const TPatchPlan& plan, const std::vector<uint64_t>& stored) {
  struct TWay {
    size_t Files = 0;
    uint64_t Source = 0;
    uint64_t Stored = 0;
  };
  TWay added, differences, whole;
  size_t removed = 0;
  for (size_t i = 0; i < plan.Items.size(); ++i) {
    const delta::TPatchItem& item = plan.Items[i].Item;
    const uint64_t bytes = i < stored.size() ? stored[i] : 0;
    TWay* way = nullptr;
    switch (item.Action) {
      case delta::TPatchAction::Add:
        way = &added;
        break;
      case delta::TPatchAction::Difference:
        way = &differences;
        break;
      case delta::TPatchAction::Replace:
        way = &whole;
        break;
      case delta::TPatchAction::Remove:
        ++removed;
        break;
    }
    if (!way) continue;
    ++way->Files;
    way->Source += item.New.Size;
    way->Stored += bytes;
  }
  const auto figures = [](const TWay& way) {
    return "(" + SizeWords(way.Source) + " -> " + SizeWords(way.Stored) + ")";
  };
  std::string text = "patch (line " + std::to_string(plan.Line) + "): " + Count(plan.UnchangedFiles) + " unchanged (" +
                     SizeWords(plan.UnchangedBytes) + ", nothing stored); " + Count(added.Files) + " new";
  if (added.Files) text += " " + figures(added);
  text += "; " + Count(differences.Files + whole.Files) + " changed";
  if (differences.Files + whole.Files) {
    text += ": " + Count(differences.Files) + " as differences";
    if (differences.Files) text += " " + figures(differences);
    text += ", " + Count(whole.Files) + " whole";
    if (whole.Files) text += " " + figures(whole);
  }
  text += "; " + Count(removed) + " removed";
  return text;
}

}  // namespace setup::builder

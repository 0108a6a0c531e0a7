#include "engine/file_output.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "engine/run_log.h"
#include "engine/system.h"

namespace setup {

namespace {

// What an existing file's new content is written to, beside it, before it takes the file's
// place. One fixed name: a run killed half way leaves one such file that the next run overwrites.
constexpr char kReplacementSuffix[] = ".setup-new";

// A batch is handed to the threads when it holds this many files or bytes.
constexpr size_t kBatchFiles = 32;
constexpr size_t kBatchBytes = 1u << 20;
// Batches handed over and not yet taken by a thread.
constexpr size_t kMaxWaitingBatches = 64;

}  // namespace

TEntryOutput::TEntryOutput(const std::string& path) : path_(path) {
  TSystem& system = System();
  // A new file is made in one look-up of its name: under Wine a name that is not there costs
  // a search of its folder, and most files of an install are new.
  file_ = system.OpenFile(path, TFileMode::CreateNew);
  if (file_) return;
  if (system.FileExists(path)) {
    if (!system.OpenFile(path, TFileMode::ReadWrite)) return;
    temp_ = path + kReplacementSuffix;
    file_ = system.OpenFile(temp_, TFileMode::Create);
    if (file_) return;
    temp_.clear();  // no room for a second name (path length, folder rights): written directly
  }
  file_ = system.OpenFile(path, TFileMode::Create);
}

void TEntryOutput::Write(const uint8_t* data, size_t size) {
  if (file_->Write(data, size) != size) written_ = false;
}

bool TEntryOutput::Finish(bool complete) {
  if (!file_) return false;
  if (!Replacing()) {
    const bool flushed = file_->Flush();
    file_.reset();
    return complete && written_ && flushed;
  }
  bool kept = complete && written_ && file_->Sync();
  file_.reset();
  kept = kept && System().ReplaceFile(temp_, path_);
  if (!kept) System().DeleteFile(temp_);
  temp_.clear();
  return kept;
}

// ---------------------------------------------------------------- writer threads

unsigned FileWriterThreads() {
  // Under Wine on two processors, a game of 16,000 files installed in 2.2 s with two writer
  // threads and in 2.9 s with one; three and four gained nothing more there.
  return std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
}

TFileWriters::TFileWriters(unsigned threads, size_t max_bytes) : max_bytes_(max_bytes) {
  threads_.reserve(threads);
  try {
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
  } catch (const std::system_error&) {
    // No more threads to be had: the ones started do the work, or the caller's own thread.
  }
}

TFileWriters::~TFileWriters() {
  Submit();
  {
    std::lock_guard guard(lock_);
    ending_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void TFileWriters::Write(std::string path, TBytes bytes) {
  filling_.Bytes += bytes.size();
  filling_.Jobs.push_back({std::move(path), std::move(bytes)});
  if (filling_.Jobs.size() >= kBatchFiles || filling_.Bytes >= kBatchBytes) Submit();
}

void TFileWriters::Submit() {
  if (filling_.Jobs.empty()) return;
  if (threads_.empty()) {
    TBatch batch = std::exchange(filling_, {});
    WriteBatch(batch);
    return;
  }
  std::unique_lock guard(lock_);
  // One batch larger than the limit still goes, alone. The count of batches waiting is
  // bounded too: a thousand empty files hold no bytes.
  room_.wait(guard, [&] {
    return (held_bytes_ == 0 || held_bytes_ + filling_.Bytes <= max_bytes_) && queue_.size() < kMaxWaitingBatches;
  });
  held_bytes_ += filling_.Bytes;
  queue_.push_back(std::exchange(filling_, {}));
  guard.unlock();
  work_.notify_one();
}

std::vector<std::pair<std::string, TBytes>> TFileWriters::Wait() {
  Submit();
  std::unique_lock guard(lock_);
  room_.wait(guard, [&] { return queue_.empty() && busy_ == 0; });
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  return std::exchange(unopened_, {});
}

void TFileWriters::Run() {
  std::unique_lock guard(lock_);
  for (;;) {
    work_.wait(guard, [&] { return !queue_.empty() || ending_; });
    if (queue_.empty()) return;  // ending, with nothing left to write
    TBatch batch = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    guard.unlock();
    WriteBatch(batch);
    guard.lock();
    --busy_;
    held_bytes_ -= batch.Bytes;
    room_.notify_all();
  }
}

void TFileWriters::WriteBatch(TBatch& batch) {
  std::vector<std::pair<std::string, TBytes>> unopened;
  std::exception_ptr error;
  for (TJob& job : batch.Jobs) {
    try {
      // Most files are new: made in one go. One already there is replaced in one step.
      // Each outcome goes to the run log from this thread: the system's words for a failure
      // are the last failure of the thread that met it.
      TSystem& system = System();
      const TSystem::TNewFileResult made = system.WriteNewFile(job.Path, job.Bytes.data(), job.Bytes.size());
      if (made == TSystem::kCreated) {
        LogStep("Wrote file", job.Path);
        continue;
      }
      TEntryOutput output(job.Path);
      if (output.IsOpen()) {
        output.Write(job.Bytes.data(), job.Bytes.size());
        if (output.Finish(true))
          LogStep("Wrote file", job.Path);
        else
          LogFailure("write file", job.Path);
        continue;
      }
      const std::string reason = RunLog() ? system.LastErrorText() : std::string();
      if (!system.FileExists(job.Path)) {
        unopened.emplace_back(std::move(job.Path), std::move(job.Bytes));  // its folder is made again
      } else {
        LogFailure("write file", job.Path, reason);
      }
    } catch (...) {
      if (!error) error = std::current_exception();
    }
  }
  std::lock_guard guard(lock_);
  if (error && !error_) error_ = error;
  for (auto& item : unopened) unopened_.push_back(std::move(item));
}

}  // namespace setup

// "patch" at run time: the manifest read, every file checked before the first change, then each
// file rebuilt beside itself and put in place in one step, in the manifest's order.
//
// Files go through the engine's system (TSystem) as every file of an install does, so the
// native tests run against the fake system and Windows sees long paths in their long form.
// The texts the patch shows are English, as the program's other late-added messages are; the
// status line while writing is the language's "Extracting" string, as for any file.
#include "engine/patch_commands.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <vector>

#include "core/command_list.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "core/sha256.h"
#include "core/text.h"
#include "delta/difference.h"
#include "delta/patch_manifest.h"
#include "engine/file_commands.h"
#include "engine/interpreter.h"
#include "engine/run_log.h"
#include "engine/status_channel.h"
#include "engine/system.h"
#include "engine/uninstall_list.h"

namespace setup {

using delta::TFileIdentity;
using delta::TPatchAction;
using delta::TPatchItem;
using delta::TPatchManifest;

namespace {

// Files are hashed and whole entries written in pieces of this size.
constexpr size_t kReadPiece = 1u << 20;
// A box shows this many hexadecimal digits of a SHA-256: enough to tell versions apart.
constexpr size_t kDigestDigits = 16;
// Files larger than this show how far their checking or writing has come on the status line.
constexpr uint64_t kSizesShownFrom = 4 * kPatchStepBytes;
constexpr char kPatchCaption[] = "Patch Error";

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

bool Rebuilt(TPatchAction action) { return action != TPatchAction::Remove; }
bool HasOldVersion(TPatchAction action) {
  return action == TPatchAction::Replace || action == TPatchAction::Difference;
}

// The bytes of an item's check (the old version read) and of its writing (the new version).
uint64_t CheckShare(const TPatchItem& item) { return HasOldVersion(item.Action) ? item.Old.Size : 0; }
uint64_t WriteShare(const TPatchItem& item) { return Rebuilt(item.Action) ? item.New.Size : 0; }

std::string IdentityText(const TFileIdentity& identity) {
  return std::to_string(identity.Size) + " bytes, SHA-256 " + Sha256Hex(identity.Sha256).substr(0, kDigestDigits);
}

// ---------------------------------------------------------------- the gauge

// A patch group's share of the gauge. The run walks a plan of bytes (every check share, then
// every write share) and tells the gauge how far it has come; a step is published for every
// kPatchStepBytes passed, and the group's last step when it ends. The plan's total is the
// manifest's PatchWorkBytes, so the steps published add up to PatchGaugeSteps whatever the
// files turn out to be (skipped ones are passed at once).
class TPatchGauge {
 public:
  explicit TPatchGauge(uint64_t total) : total_(total), steps_(StepsFor(total)) {}
  static uint64_t StepsFor(uint64_t bytes) { return bytes / kPatchStepBytes + (bytes % kPatchStepBytes != 0); }

  // The plan's position; it never moves back, nor past the total.
  void MoveTo(uint64_t done) {
    done = std::min(done, total_);
    if (done <= done_) return;
    done_ = done;
    Publish(done_ / kPatchStepBytes);
  }
  void Finish() { Publish(steps_); }

 private:
  void Publish(uint64_t steps) {
    steps = std::min(steps, steps_);
    while (steps > published_) {
      const uint64_t n = std::min<uint64_t>(steps - published_, std::numeric_limits<uint32_t>::max());
      StatusChannel().AdvanceProgress(static_cast<uint32_t>(n));
      published_ += n;
    }
  }

  uint64_t total_;
  uint64_t steps_;
  uint64_t done_ = 0;
  uint64_t published_ = 0;
};

// ---------------------------------------------------------------- status line

std::string WithSizes(const std::string& name, uint64_t done, uint64_t size) {
  if (size < kSizesShownFrom) return name;
  return name + " - " + SizeText(static_cast<int64_t>(done)) + " / " + SizeText(static_cast<int64_t>(size));
}

void ShowChecking(const std::string& name, uint64_t done, uint64_t size) {
  StatusChannel().SetStatusText(Utf8ToWide("Checking " + WithSizes(name, done, size)));
}

void ShowWriting(const std::string& name, uint64_t done, uint64_t size) {
  StatusChannel().SetFileStatus(kStrExtracting, WithSizes(name, done, size));
}

// ---------------------------------------------------------------- what a file is

enum class TFound {
  Missing,     // no file of that name
  Unreadable,  // there, but it cannot be read whole (or no SHA-256 can be had)
  OtherSize,   // a size neither identity has: not hashed
  Other,       // a size of one of them, another SHA-256
  Old,         // the version the patch was made against
  New,         // the version the patch brings
};

struct TFoundFile {
  TFound Kind = TFound::Missing;
  uint64_t Size = 0;
  TSha256Digest Sha256{};
};

// What the file at path is against the old identity (may be null: an added file has none) and
// the new one. Size first: a file of neither size costs no hashing. progress receives the
// bytes hashed so far and the file's size.
TFoundFile Examine(const std::string& path, const TFileIdentity* old_identity, const TFileIdentity& new_identity,
                   const std::function<void(uint64_t done, uint64_t size)>& progress) {
  TFoundFile found;
  TSystem& system = System();
  const std::unique_ptr<TFileStream> file = system.OpenFile(path, TFileMode::Read);
  if (!file) {
    found.Kind = system.FileExists(path) ? TFound::Unreadable : TFound::Missing;
    return found;
  }
  found.Size = file->Size();
  const bool may_be_old = old_identity && found.Size == old_identity->Size;
  if (!may_be_old && found.Size != new_identity.Size) {
    found.Kind = TFound::OtherSize;
    return found;
  }
  found.Kind = TFound::Unreadable;
  const std::unique_ptr<TSha256> digest = NewSha256();
  if (!digest) return found;
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(found.Size, 1), kReadPiece)));
  for (uint64_t done = 0; done < found.Size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(found.Size - done, piece.size()));
    if (file->Read(piece.data(), want) != want || !digest->Update(piece.data(), want)) return found;
    done += want;
    if (progress) progress(done, found.Size);
  }
  if (!digest->Final(found.Sha256)) return found;
  const TFileIdentity identity{found.Size, found.Sha256};
  if (may_be_old && identity == *old_identity)
    found.Kind = TFound::Old;
  else if (identity == new_identity)
    found.Kind = TFound::New;
  else
    found.Kind = TFound::Other;
  return found;
}

// ---------------------------------------------------------------- messages

void StopScript(const std::string& text) {
  Host().ShowMessageBox(text, kPatchCaption, kMbOk | kMbIconError);
  StatusChannel().SetFinishText(GetString(kStrInstallFailed), true);
  Interpreter().ScriptStopped = true;
}

std::string ManifestMessage(const std::string& name, const std::string& reason) {
  return "Error: Patch Information Missing or Damaged. Setup is corrupt.\rEntry: " + name + " (" + reason +
         ")\rNothing has been changed.";
}

std::string FoundText(const TFoundFile& found) {
  switch (found.Kind) {
    case TFound::Missing:
      return "no such file";
    case TFound::Unreadable:
      return "a file that cannot be read";
    case TFound::OtherSize:
      return std::to_string(found.Size) + " bytes";
    default:
      return IdentityText({found.Size, found.Sha256});
  }
}

std::string WrongVersionMessage(const std::string& path, const TFoundFile& found, const TPatchItem& item) {
  return "Error: The installed file is not the version this patch updates.\rFilename: " + path +
         "\rFound: " + FoundText(found) + "\rExpected: " + IdentityText(item.Old) +
         " (or the patched version: " + IdentityText(item.New) + ")\rNothing has been changed.";
}

std::string NotWritableMessage(const std::string& path) {
  return "Error: The installed file cannot be changed (it is read-only or in use).\rFilename: " + path +
         "\rNothing has been changed.";
}

std::string MissingDataMessage(const std::string& path) {
  return "Error: The patch's data for a file is missing or damaged. Setup is corrupt.\rFilename: " + path +
         "\rNothing has been changed.";
}

std::string RebuildMessage(const std::string& path, const std::string& reason) {
  return "Error: The file could not be patched: " + reason + ".\rFilename: " + path +
         "\rThe file is as it was. Files patched before it have their new version; running the setup again "
         "finishes the patch.";
}

// ---------------------------------------------------------------- the plan

struct TPlanned {
  const TPatchItem* Item = nullptr;
  std::string Path;
  int Entry = -1;     // the group's entry of an added, replaced or patched file
  bool Skip = false;  // already the new version
};

// The stream adapters the difference applier reads and writes through.
class TOldFile : public delta::TOldFileReader {
 public:
  explicit TOldFile(TFileStream& file) : file_(file), size_(file.Size()) {}
  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t position, void* buffer, size_t n) override {
    if (position != position_ && !file_.Seek(position)) return 0;
    const size_t got = file_.Read(buffer, n);
    position_ = position + got;
    return got;
  }

 private:
  TFileStream& file_;
  uint64_t size_;
  uint64_t position_ = 0;
};

class TNewFile : public delta::TNewFileWriter {
 public:
  explicit TNewFile(TFileStream& file) : file_(file) {}
  bool Write(const uint8_t* data, size_t size) override { return file_.Write(data, size) == size; }

 private:
  TFileStream& file_;
};

// The temporary file beside the target, its folders made first. A folder the run thought it
// knew but that has gone is made again.
std::unique_ptr<TFileStream> OpenBeside(const std::string& temp) {
  CreateFolderPath(FolderPart(temp));
  std::unique_ptr<TFileStream> file = System().OpenFile(temp, TFileMode::Create);
  if (file) return file;
  KnownFolders().Clear();
  CreateFolderPath(FolderPart(temp));
  return System().OpenFile(temp, TFileMode::Create);
}

// Writes a whole entry (an added or replaced file) to out, hashing it on the way; why not, in
// words, or empty when the new version is whole and sound.
std::string WriteWholeEntry(TPak& pak, const TPlanned& p, TFileStream& out, TPatchGauge& gauge, uint64_t base) {
  const TPatchItem& item = *p.Item;
  const std::unique_ptr<TSha256> digest = NewSha256();
  if (!digest) return "no SHA-256 can be computed on this system";
  bool written = true, hashed = true;
  uint64_t done = 0;
  const bool extracted = pak.Directory()[static_cast<size_t>(p.Entry)].Size == 0 ||
                         pak.ExtractTo(p.Entry, [&](const uint8_t* data, size_t n) {
                           if (!written) return;
                           written = out.Write(data, n) == n;
                           hashed = hashed && digest->Update(data, n);
                           done += n;
                           gauge.MoveTo(base + done);
                           ShowWriting(item.Name, done, item.New.Size);
                         });
  if (!extracted) return "the setup's stored data for it is damaged";
  if (!written) return "the new version could not be written (is the disk full?)";
  TSha256Digest sha{};
  if (!hashed || !digest->Final(sha)) return "no SHA-256 can be computed on this system";
  if (TFileIdentity{done, sha} != item.New) return "the setup's stored data for it gives another file than expected";
  return {};
}

std::string ApplyFailureText(const delta::TApplyResult& result) {
  switch (result.Status) {
    case delta::TApplyStatus::WriteFailed:
      return "the new version could not be written (is the disk full?)";
    case delta::TApplyStatus::ReadFailed:
      return "the installed version could not be read";
    case delta::TApplyStatus::WrongOld:
      return "the installed version changed while it was patched";
    case delta::TApplyStatus::NoMemory:
      return "there is not enough memory";
    default:
      return "the setup's stored data for it is damaged (" + result.Message + ")";
  }
}

// Rebuilds the new version from the installed one and the entry's difference into out.
std::string ApplyDifferenceEntry(TPak& pak, const TPlanned& p, TFileStream& out, TPatchGauge& gauge, uint64_t base) {
  const TPatchItem& item = *p.Item;
  const std::unique_ptr<TFileStream> installed = System().OpenFile(p.Path, TFileMode::Read);
  if (!installed) return "the installed version could not be read";
  TOldFile old_file(*installed);
  TNewFile new_file(out);
  delta::TDifferenceApplier applier(old_file, new_file, [&](uint64_t written) {
    gauge.MoveTo(base + written);
    ShowWriting(item.Name, written, item.New.Size);
  });
  // The difference must be the one the manifest names: its header is compared as soon as it is
  // in, and the rest is not fed when it is another.
  bool feeding = true, header_checked = false, other_header = false;
  const bool extracted = static_cast<bool>(pak.ExtractTo(p.Entry, [&](const uint8_t* data, size_t n) {
    if (!feeding) return;
    feeding = applier.Feed(data, n);
    const delta::TDifferenceHeader* header = applier.Header();
    if (!header_checked && header) {
      header_checked = true;
      other_header = header->Old != item.Old || header->New != item.New;
      if (other_header) feeding = false;
    }
  }));
  if (other_header) return "the setup's stored data for it belongs to another file";
  const delta::TApplyResult result = applier.Finish();
  if (!extracted) return "the setup's stored data for it is damaged";
  if (!result) return ApplyFailureText(result);
  if (!header_checked) return "the setup's stored data for it is damaged";
  return {};
}

// The new version's file beside the target: removed when it does not take the target's place,
// whether the rebuilding failed or an error passes through on its way to the error report.
struct TFileBeside {
  std::string Path;
  bool Placed = false;
  ~TFileBeside() {
    if (!Placed) System().DeleteFile(Path);
  }
};

// Rebuilds one file beside itself and puts it in place; why not, in words, or empty. On a
// failure the target is as it was and the file beside it is gone.
std::string RebuildFile(TPak& pak, const TPlanned& p, TPatchGauge& gauge, uint64_t base) {
  TSystem& system = System();
  TFileBeside beside{p.Path + kPatchTemporarySuffix};
  std::unique_ptr<TFileStream> out = OpenBeside(beside.Path);  // closed before beside goes
  if (!out) {
    LogFailure("write file", beside.Path);
    return "the new version cannot be made beside it";
  }
  std::string failure = p.Item->Action == TPatchAction::Difference ? ApplyDifferenceEntry(pak, p, *out, gauge, base)
                                                                   : WriteWholeEntry(pak, p, *out, gauge, base);
  // A file that replaces an installed one is on the disk before it takes its place: after a
  // power cut the place holds the old version or the new one, which the next run knows. An
  // added file may be flushed only: one cut short is neither and is simply written again.
  if (failure.empty() && !(HasOldVersion(p.Item->Action) ? out->Sync() : out->Flush()))
    failure = "the new version could not be written (is the disk full?)";
  out.reset();
  if (failure.empty()) {
    beside.Placed = system.ReplaceFile(beside.Path, p.Path);
    if (!beside.Placed) {
      LogFailure("replace file", p.Path);
      failure = "it cannot be replaced (it is read-only or in use)";
    }
  }
  return failure;
}

// The check before any change: every file to patch is the old version or already the new one,
// every file to write has its data in the group. False, with the box shown and the script
// stopped, when one is not.
bool CheckFiles(TPak& pak, uint16_t group, std::vector<TPlanned>& plan, TPatchGauge& gauge) {
  uint64_t base = 0;
  for (TPlanned& p : plan) {
    const TPatchItem& item = *p.Item;
    if (!Rebuilt(item.Action)) continue;
    const uint64_t share = CheckShare(item);
    ShowChecking(item.Name, 0, 0);
    const TFoundFile found = Examine(p.Path, HasOldVersion(item.Action) ? &item.Old : nullptr, item.New,
                                     [&](uint64_t done, uint64_t size) {
                                       gauge.MoveTo(base + std::min(done, share));
                                       ShowChecking(item.Name, done, size);
                                     });
    base = SaturatingAdd(base, share);
    gauge.MoveTo(base);
    if (found.Kind == TFound::New) {
      p.Skip = true;
      continue;
    }
    if (HasOldVersion(item.Action)) {
      if (found.Kind != TFound::Old) {
        LogFailure("patch file", p.Path, "found " + FoundText(found) + ", expected " + IdentityText(item.Old));
        StopScript(WrongVersionMessage(p.Path, found, item));
        return false;
      }
      // A file held by a running game or marked read-only is found now rather than after other
      // files have changed.
      if (!System().CanReplaceFile(p.Path)) {
        LogFailure("patch file", p.Path);
        StopScript(NotWritableMessage(p.Path));
        return false;
      }
    }
    p.Entry = pak.IndexOfName(item.Name, group);
    const bool sound = p.Entry >= 0 && (item.Action == TPatchAction::Difference ||
                                        pak.Directory()[static_cast<size_t>(p.Entry)].Size == item.New.Size);
    if (!sound) {
      LogFailure("patch file", p.Path, "no sound entry in group " + std::to_string(group));
      StopScript(MissingDataMessage(p.Path));
      return false;
    }
  }
  return true;
}

void RemoveFile(const std::string& path) {
  TSystem& system = System();
  if (!system.FileExists(path)) return;
  // A file the new version no longer has that cannot go (in use) harms nothing: the run goes on.
  if (system.DeleteFile(path))
    LogStep("Deleted file", path);
  else
    LogFailure("delete file", path);
}

void PatchFolder(const std::string& folder, uint16_t group) {
  TPak& pak = *Globals().Package;
  const std::string manifest_name = delta::PatchManifestName(group);
  TPatchManifest manifest;
  std::string error;
  if (!ReadPatchGroupManifest(pak, group, manifest, &error)) {
    LogFailure("read patch information", manifest_name, error);
    StopScript(ManifestMessage(manifest_name, error));
    return;
  }
  std::vector<TPlanned> plan;
  plan.reserve(manifest.Items.size());
  for (const TPatchItem& item : manifest.Items) plan.push_back({&item, WithTrailingBackslash(folder) + item.Name});

  TPatchGauge gauge(PatchWorkBytes(manifest));
  if (!CheckFiles(pak, group, plan, gauge)) return;
  LogStep("Checked files", folder);

  // The plan's write shares follow its check shares.
  uint64_t base = 0;
  for (const TPlanned& p : plan) base = SaturatingAdd(base, CheckShare(*p.Item));
  const TPathContractor contractor(CurrentPathValues());
  for (const TPlanned& p : plan) {
    const TPatchItem& item = *p.Item;
    if (item.Action == TPatchAction::Remove) {
      RemoveFile(p.Path);
      continue;
    }
    ShowWriting(item.Name, 0, item.New.Size);
    if (p.Skip) {
      // A leftover of a run killed before this file's turn is not needed any more.
      const std::string temp = p.Path + kPatchTemporarySuffix;
      if (System().FileExists(temp)) System().DeleteFile(temp);
      LogStep("Kept file (already the new version)", p.Path);
    } else {
      const std::string failure = RebuildFile(pak, p, gauge, base);
      if (!failure.empty()) {
        LogFailure("patch file", p.Path, failure);
        StopScript(RebuildMessage(p.Path, failure));
        return;
      }
      LogStep(item.Action == TPatchAction::Difference ? "Patched file" : "Wrote file", p.Path);
    }
    UninstallList().AddFile(p.Path, contractor);
    base = SaturatingAdd(base, WriteShare(item));
    gauge.MoveTo(base);
  }
  gauge.Finish();
}

}  // namespace

bool ReadPatchGroupManifest(TPak& pak, uint16_t group, TPatchManifest& manifest, std::string* error) {
  const int index = pak.IndexOfName(delta::PatchManifestName(group), 0);
  if (index < 0) {
    if (error) *error = "not in the setup";
    return false;
  }
  const TBytes bytes = pak.Extract(index);
  if (!pak.LastExtract()) {
    if (error) *error = "its stored data is damaged";
    return false;
  }
  return delta::ReadPatchManifest(bytes.data(), bytes.size(), manifest, error);
}

uint64_t PatchWorkBytes(const TPatchManifest& manifest) {
  uint64_t bytes = 0;
  for (const TPatchItem& item : manifest.Items)
    bytes = SaturatingAdd(SaturatingAdd(bytes, CheckShare(item)), WriteShare(item));
  return bytes;
}

uint64_t PatchGaugeSteps(const TPatchManifest& manifest) { return TPatchGauge::StepsFor(PatchWorkBytes(manifest)); }

uint64_t PatchRequiredBytes(const TPatchManifest& manifest) {
  uint64_t growth = 0, largest = 0;
  for (const TPatchItem& item : manifest.Items) {
    if (item.Action == TPatchAction::Add) {
      growth = SaturatingAdd(growth, item.New.Size);
    } else if (HasOldVersion(item.Action)) {
      if (item.New.Size > item.Old.Size) growth = SaturatingAdd(growth, item.New.Size - item.Old.Size);
      largest = std::max(largest, item.New.Size);
    }
  }
  return SaturatingAdd(growth, largest);
}

uint64_t InstallGaugeSteps() {
  TSetupGlobals& g = Globals();
  if (!g.Package) return 0;
  TPak& pak = *g.Package;
  std::set<uint16_t> patch_groups;
  for (const TCompiledLine& line : g.CompLines.Lines) {
    if (line.Command < 1 || line.Command > kCommandCount || line.Params.empty()) continue;
    if (kCommandTable[line.Command - 1].GroupKind != kGroupPatch) continue;
    patch_groups.insert(static_cast<uint16_t>(std::atoi(line.Params.back().c_str())));
  }
  uint64_t steps = 0;
  for (const TPakEntry& e : pak.Directory()) steps += e.Group != 0 && patch_groups.count(e.Group) == 0;
  for (const uint16_t group : patch_groups) {
    if (group == 0) continue;
    TPatchManifest manifest;
    if (ReadPatchGroupManifest(pak, group, manifest, nullptr))
      steps = SaturatingAdd(steps, PatchGaugeSteps(manifest));
    else
      steps += static_cast<uint64_t>(pak.CountInGroup(group));
  }
  return steps;
}

void RunPatch(TCompiledLine& line) {
  const size_t before_group = line.Params.size() - 1;
  const uint16_t group = static_cast<uint16_t>(std::atoi(line.Params.back().c_str()));
  if (before_group == 2) {
    PatchFolder(Globals().SetupInfo.InstallDir, group);
  } else if (before_group == 3) {
    PatchFolder(ResolveTargetFolder(Expanded(line.Params[2])), group);
  } else {
    Host().ShowMessageBox("TPatchCommand.SFXProcess - Param Count Invalid!!!", "Error", kMbOk);
  }
}

}  // namespace setup

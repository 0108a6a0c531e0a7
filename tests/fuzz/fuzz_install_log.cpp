// Fuzz target: the install log reader (TUninstallList::LoadLog) that the uninstaller trusts to
// say which files, registry values, folders and created registry keys to remove, and its writer, in both versions.
//
// The input is a whole log file, read through the engine's file system (the native tests' scratch-
// folder fake). The reader has no error to give: a short or damaged file reads as the whole
// entries in front of the damage, an unknown version as empty lists. Checks beyond the
// sanitizers:
//   - no text is longer than 65,535 bytes, and the lists hold no more entries than the file
//     has room for at two bytes an entry (a count is never trusted past the file);
//   - the file cut short reads as a prefix of what the whole file reads, entry by entry;
//   - the lists read are written as version 1 when every text is ASCII and no created key is
//     listed (they are far below 65,535 entries), otherwise as version 2 with the flags that say
//     the texts are UTF-8 and the created keys follow, and
//     read back as the same lists (texts of a log without the flag arrive converted from the
//     ANSI code page, and are written back as the UTF-8 they are);
//   - for one version 2 input in 32 (by a hash of the input, so a finding reproduces), the
//     lists with the file list filled up to 65,535 entries are written as version 2 and read
//     back as the same lists. That costs some 50 ms a run, too much for every input; the unit
//     tests cover larger lists.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/byte_order.h"
#include "core/text.h"
#include "engine/uninstall_list.h"
#include "fake_system.h"
#include "fuzz_check.h"
#include "test_files.h"

namespace {

using namespace setup;

constexpr char kFolder[] = "C:\\Game";
constexpr char kPrefix[] = "demo_";
// The six FF bytes in front of a version 2 header, and the first list size written as version 2.
const std::vector<uint8_t> kVersion2Mark(6, 0xFF);
constexpr size_t kFirstVersion2Count = 0xFFFF;
// One version 2 input in this many is also written back as version 2.
constexpr uint32_t kVersion2RewriteOneIn = 32;

// FNV-1a of the whole input.
uint32_t InputHash(const uint8_t* data, size_t size) {
  uint32_t hash = 0x811C9DC5u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x01000193u;
  return hash;
}

[[noreturn]] void Fail(const std::string& what) { setup::fuzzing::FailCheck("fuzz_install_log", what); }

bool SameLists(const TUninstallList& a, const TUninstallList& b) {
  return a.FileList == b.FileList && a.RegistryList == b.RegistryList && a.FolderList == b.FolderList &&
         a.CreatedKeyList == b.CreatedKeyList;
}

// The entries in file order, each with the list it was read into.
std::vector<std::pair<int, std::string>> Entries(const TUninstallList& log) {
  std::vector<std::pair<int, std::string>> out;
  int which = 0;
  for (const auto* list : {&log.FileList, &log.RegistryList, &log.FolderList, &log.CreatedKeyList}) {
    for (const std::string& text : *list) out.emplace_back(which, text);
    ++which;
  }
  return out;
}

TUninstallList LoadBytes(testing::TFakeSystem& system, const std::vector<uint8_t>& bytes) {
  testing::WriteFile(system.Map(TUninstallList::LogPath(kFolder, kPrefix)).string(), bytes);
  TUninstallList log;
  log.LoadLog(kFolder, kPrefix);
  return log;
}

bool AllAscii(const TUninstallList& log) {
  const auto entries = Entries(log);
  return std::all_of(entries.begin(), entries.end(), [](const auto& entry) { return IsAscii(entry.second); });
}

// Writes the lists, checks the version and flags the writer chose and reads the log back.
void CheckRoundTrip(testing::TFakeSystem& system, const TUninstallList& log, bool many) {
  if (!log.SaveLog(kFolder, kPrefix)) Fail("the log could not be written");
  const std::vector<uint8_t> written = testing::ReadFile(system.Map(TUninstallList::LogPath(kFolder, kPrefix)).string());
  const bool marked = written.size() >= kVersion2Mark.size() &&
                      std::equal(kVersion2Mark.begin(), kVersion2Mark.end(), written.begin());
  const bool utf8 = !AllAscii(log);
  const bool keys = !log.CreatedKeyList.empty();
  if (marked != (many || utf8 || keys)) Fail(std::string("the writer chose version ") + (marked ? "2" : "1"));
  const uint16_t flags = (utf8 ? kInstallLogFlagUtf8Texts : 0) | (keys ? kInstallLogFlagCreatedKeys : 0);
  if (marked && (written.size() < 10 || LoadLE16(&written[8]) != flags)) {
    Fail("the writer's flags do not say whether the texts are ASCII and whether created keys follow");
  }
  TUninstallList back;
  back.LoadLog(kFolder, kPrefix);
  if (!SameLists(log, back)) Fail("the written log reads back different lists");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testing::TFakeSystem& system = *[] {
    auto* fake = new testing::TFakeSystem;
    fake->CreateFolder(kFolder);
    return fake;
  }();
  const std::vector<uint8_t> input(data, data + size);

  TUninstallList first = LoadBytes(system, input);
  const auto entries = Entries(first);
  if (2 * entries.size() > size) Fail(std::to_string(entries.size()) + " entries from " + std::to_string(size) + " bytes");
  for (const auto& entry : entries) {
    if (entry.second.size() > 0xFFFF) Fail("a text of " + std::to_string(entry.second.size()) + " bytes");
  }

  // A cut chosen by the last byte.
  const size_t cut = size == 0 ? 0 : size * data[size - 1] / 256;
  const auto cut_entries = Entries(LoadBytes(system, std::vector<uint8_t>(data, data + cut)));
  if (cut_entries.size() > entries.size() || !std::equal(cut_entries.begin(), cut_entries.end(), entries.begin())) {
    Fail("the log cut at " + std::to_string(cut) + " bytes reads entries the whole log does not");
  }

  CheckRoundTrip(system, first, false);
  if (size >= kVersion2Mark.size() && std::equal(kVersion2Mark.begin(), kVersion2Mark.end(), data) &&
      InputHash(data, size) % kVersion2RewriteOneIn == 0) {
    if (first.FileList.size() < kFirstVersion2Count) first.FileList.resize(kFirstVersion2Count);
    CheckRoundTrip(system, first, true);
  }
  return 0;
}

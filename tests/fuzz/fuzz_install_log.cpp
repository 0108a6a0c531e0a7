// Fuzz target: the install log reader (TUninstallList::LoadLog) that the uninstaller trusts to
// say which files, registry values and folders to remove, and its writer.
//
// The input is a whole log file, read through the engine's file system (the native tests'
// scratch-folder fake). The reader has no error to give: a short file reads as empty lists or
// empty texts. Checks beyond the sanitizers: no list and no text is longer than the log's
// 16-bit counts allow; the lists read are written, and the written log reads back as the same
// lists (writing is a function of the lists, so it would write the same bytes again).
#include <string>
#include <vector>

#include "engine/uninstall_list.h"
#include "fake_system.h"
#include "fuzz_check.h"
#include "test_files.h"

namespace {

using namespace setup;

constexpr char kFolder[] = "C:\\Game";
constexpr char kPrefix[] = "demo_";

[[noreturn]] void Fail(const std::string& what) { setup::fuzzing::FailCheck("fuzz_install_log", what); }

bool SameLists(const TUninstallList& a, const TUninstallList& b) {
  return a.FileList == b.FileList && a.RegistryList == b.RegistryList && a.FolderList == b.FolderList;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testing::TFakeSystem& system = *[] {
    auto* fake = new testing::TFakeSystem;
    fake->CreateFolder(kFolder);
    return fake;
  }();
  const std::string path = system.Map(TUninstallList::LogPath(kFolder, kPrefix)).string();
  testing::WriteFile(path, std::vector<uint8_t>(data, data + size));

  TUninstallList first;
  first.LoadLog(kFolder, kPrefix);
  for (const auto* list : {&first.FileList, &first.RegistryList, &first.FolderList}) {
    if (list->size() > 0xFFFF) Fail("a list of " + std::to_string(list->size()) + " entries");
    for (const std::string& text : *list) {
      if (text.size() > 0xFFFF) Fail("a text of " + std::to_string(text.size()) + " bytes");
    }
  }

  if (!first.SaveLog(kFolder, kPrefix)) Fail("the log could not be written");
  TUninstallList second;
  second.LoadLog(kFolder, kPrefix);
  if (!SameLists(first, second)) Fail("the written log reads back different lists");
  return 0;
}

// The install log: recording, saving and loading.
#include "engine/uninstall_list.h"

#include <algorithm>
#include <cstdio>

#include "core/byte_order.h"
#include "core/digit_cipher.h"
#include "core/file_stream.h"
#include "core/host.h"
#include "core/setup_info.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/system.h"

namespace setup {

namespace {

// The log stores counts and lengths in 16 bits: longer lists and texts are cut there rather
// than written with counts that would misread every entry after them.
constexpr size_t kMaxLogEntries = 0xFFFF;

bool Contains(const std::vector<std::string>& list, const std::string& text) {
  const std::string wanted = LowerAscii(text);
  for (const std::string& entry : list) {
    if (entry.size() == text.size() && LowerAscii(entry) == wanted) return true;
  }
  return false;
}

}  // namespace

TUninstallList& UninstallList() {
  static TUninstallList list;
  return list;
}

void TUninstallList::ClearLists() {
  FileList.clear();
  RegistryList.clear();
  FolderList.clear();
}

void TUninstallList::AddFile(const std::string& path) {
  THost& host = Host();
  const std::string contracted = host.WideToAnsi(ContractPathVariables(host.AnsiToWide(path)));
  if (!HasFile(contracted)) FileList.push_back(contracted);
}

bool TUninstallList::HasFile(const std::string& path) const { return Contains(FileList, path); }

void TUninstallList::AddRegistryEntry(const std::string& line) {
  if (!HasRegistryEntry(line)) RegistryList.push_back(line);
}

bool TUninstallList::HasRegistryEntry(const std::string& line) const { return Contains(RegistryList, line); }

std::string TUninstallList::LogPath(const std::string& folder, const std::string& prefix) {
  return folder + "\\" + prefix + "install.log";
}

bool TUninstallList::SaveLog(const std::string& folder, const std::string& prefix) const {
  const std::string path = LogPath(folder, prefix);
  System().DeleteFile(path);
  auto file = System().OpenFile(path, TFileMode::Create);
  if (!file) return false;
  const std::vector<std::string>* lists[] = {&FileList, &RegistryList, &FolderList};
  std::string out;
  for (const auto* list : lists) AppendLE16(out, static_cast<uint16_t>(std::min(list->size(), kMaxLogEntries)));
  for (const auto* list : lists) {
    for (size_t i = 0; i < list->size() && i < kMaxLogEntries; ++i) {
      AppendString(out, EncipherDigits(kInstallLogKey, (*list)[i].substr(0, 0xFFFF)));
    }
  }
  return file->Write(out.data(), out.size()) == out.size() && file->Flush();
}

void TUninstallList::LoadLog(const std::string& folder, const std::string& prefix) {
  const std::string path = LogPath(folder, prefix);
  if (!System().FileExists(path)) return;
  auto file = System().OpenFile(path, TFileMode::Read);
  if (!file) return;
  ClearLists();
  uint8_t counts[6] = {};
  file->Read(counts, sizeof counts);  // a short file reads as empty lists
  std::vector<std::string>* lists[] = {&FileList, &RegistryList, &FolderList};
  for (int i = 0; i < 3; ++i) lists[i]->resize(LoadLE16(counts + 2 * i));
  for (auto* list : lists) {
    for (std::string& entry : *list) entry = DecipherDigits(kInstallLogKey, ReadString(*file));
  }
}

}  // namespace setup

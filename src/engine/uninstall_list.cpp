// The install log: recording, saving and loading.
//
// The layouts of both versions are drawn in uninstall_list.h. The writer picks version 1
// whenever the lists fit it and every text is ASCII, so a log of an ordinary install is the
// same bytes as ever; the reader takes both and trusts no count further than the file's size.
#include "engine/uninstall_list.h"

#include <algorithm>
#include <iterator>
#include <string_view>

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

constexpr size_t kHeaderSizeV1 = 6;
constexpr size_t kHeaderSizeV2 = 22;
// The six FF bytes in front of a version 2 header.
constexpr size_t kVersion2MarkSize = 6;
constexpr uint16_t kVersion2 = 2;
// Version 1 holds lists of up to 65,534 entries: three counts of 65,535 would read as the
// version 2 mark, so a list of 65,535 already goes to version 2.
constexpr size_t kMaxEntriesV1 = 0xFFFE;
constexpr size_t kMaxEntriesV2 = 0xFFFFFFFF;
// Texts keep their 16-bit length in both versions; a longer text is cut.
constexpr size_t kMaxTextLength = 0xFFFF;
// The smallest entry: an empty text is its two length bytes.
constexpr uint64_t kMinEntrySize = 2;
// Room reserved ahead for a list; longer lists grow as their entries are read, so a count
// that the file's size allows but its texts never fill costs nothing.
constexpr size_t kMaxReservedEntries = 0x20000;

// One length-prefixed text, whole; false when the file ends before its last byte.
bool ReadText(TFileStream& file, std::string& text) {
  uint8_t raw[2];
  if (file.Read(raw, 2) != 2) return false;
  text.resize(LoadLE16(raw));
  return file.Read(text.data(), text.size()) == text.size();
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
  CreatedKeyList.clear();
  file_index_ = TListIndex();
  registry_index_ = TListIndex();
  key_index_ = TListIndex();
}

bool TUninstallList::Contains(const std::vector<std::string>& list, TListIndex& index, const std::string& text) {
  // A list emptied, shortened or replaced since it was indexed is indexed anew.
  const size_t indexed = index.Indexed;
  if (indexed > list.size() || (indexed > 0 && (FoldedHashAscii(list[0]) != index.FirstHash ||
                                                FoldedHashAscii(list[indexed - 1]) != index.LastHash))) {
    index = TListIndex();
  }
  if (index.Indexed == 0) index.Positions.reserve(list.size());
  for (; index.Indexed < list.size(); ++index.Indexed) {
    const uint64_t hash = FoldedHashAscii(list[index.Indexed]);
    index.Positions.emplace(hash, index.Indexed);
    if (index.Indexed == 0) index.FirstHash = hash;
    index.LastHash = hash;
  }
  auto [first, last] = index.Positions.equal_range(FoldedHashAscii(text));
  return std::any_of(first, last, [&](const auto& entry) {
    return entry.second < list.size() && SameTextAscii(list[entry.second], text);
  });
}

void TUninstallList::AddFile(const std::string& path) { AddFile(path, TPathContractor(CurrentPathValues())); }

void TUninstallList::AddFile(const std::string& path, const TPathContractor& contractor) {
  std::string contracted = contractor.Contract(path);
  if (!HasFile(contracted)) FileList.push_back(std::move(contracted));
}

bool TUninstallList::HasFile(const std::string& path) const { return Contains(FileList, file_index_, path); }

void TUninstallList::AddRegistryEntry(const std::string& line) {
  if (!HasRegistryEntry(line)) RegistryList.push_back(line);
}

bool TUninstallList::HasRegistryEntry(const std::string& line) const {
  return Contains(RegistryList, registry_index_, line);
}

void TUninstallList::AddCreatedKey(const std::string& line) {
  if (!Contains(CreatedKeyList, key_index_, line)) CreatedKeyList.push_back(line);
}

std::string TUninstallList::LogPath(const std::string& folder, const std::string& prefix) {
  return folder + "\\" + prefix + "install.log";
}

bool TUninstallList::SaveLog(const std::string& folder, const std::string& prefix) const {
  const std::string path = LogPath(folder, prefix);
  System().DeleteFile(path);
  auto file = System().OpenFile(path, TFileMode::Create);
  if (!file) return false;
  // The three lists of version 1, then the created keys, which only version 2 holds.
  const std::vector<std::string>* lists[] = {&FileList, &RegistryList, &FolderList, &CreatedKeyList};
  constexpr int kLists = 4;
  size_t counts[kLists];
  size_t total = kHeaderSizeV2 + 4;
  bool utf8 = false;  // a text that is not ASCII: the texts are UTF-8, which version 1 cannot say
  for (int i = 0; i < kLists; ++i) {
    counts[i] = std::min(lists[i]->size(), kMaxEntriesV2);
    for (size_t n = 0; n < counts[i]; ++n) {
      const std::string_view text = std::string_view((*lists[i])[n]).substr(0, kMaxTextLength);
      total += 2 + text.size();
      utf8 = utf8 || !IsAscii(text);
    }
  }
  const bool keys = counts[3] > 0;
  const bool version2 = utf8 || keys || std::any_of(std::begin(lists), std::end(lists), [](const auto* list) {
                          return list->size() > kMaxEntriesV1;
                        });
  std::string out;
  out.reserve(total);
  if (version2) {
    out.append(kVersion2MarkSize, '\xFF');
    AppendLE16(out, kVersion2);
    AppendLE16(out,
               static_cast<uint16_t>((utf8 ? kInstallLogFlagUtf8Texts : 0) | (keys ? kInstallLogFlagCreatedKeys : 0)));
    for (int i = 0; i < 3; ++i) AppendLE32(out, static_cast<uint32_t>(counts[i]));
  } else {
    for (int i = 0; i < 3; ++i) AppendLE16(out, static_cast<uint16_t>(counts[i]));
  }
  for (int i = 0; i < kLists; ++i) {
    if (i == 3) {
      if (!keys) break;
      AppendLE32(out, static_cast<uint32_t>(counts[3]));
    }
    for (size_t n = 0; n < counts[i]; ++n) {
      const std::string text = EncipherDigits(kInstallLogKey, std::string_view((*lists[i])[n]).substr(0, kMaxTextLength));
      AppendString(out, text);
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
  const uint64_t size = file->Size();
  uint8_t header[kHeaderSizeV2];
  if (file->Read(header, kHeaderSizeV1) != kHeaderSizeV1) return;
  uint64_t counts[3];
  uint64_t header_size = kHeaderSizeV1;
  uint16_t flags = 0;
  if (std::all_of(header, header + kVersion2MarkSize, [](uint8_t b) { return b == 0xFF; })) {
    // An unknown version or flag is a log this reader cannot read: empty lists.
    if (file->Read(header + kHeaderSizeV1, kHeaderSizeV2 - kHeaderSizeV1) != kHeaderSizeV2 - kHeaderSizeV1) return;
    flags = LoadLE16(header + 8);
    if (LoadLE16(header + 6) != kVersion2 || (flags & ~kInstallLogKnownFlags) != 0) return;
    for (int i = 0; i < 3; ++i) counts[i] = LoadLE32(header + 10 + 4 * i);
    header_size = kHeaderSizeV2;
  } else {
    for (int i = 0; i < 3; ++i) counts[i] = LoadLE16(header + 2 * i);
  }
  // No count is trusted past the entries the rest of the file could hold.
  uint64_t room = size > header_size ? (size - header_size) / kMinEntrySize : 0;
  std::vector<std::string>* lists[] = {&FileList, &RegistryList, &FolderList};
  for (int i = 0; i < 3; ++i) {
    counts[i] = std::min(counts[i], room);
    room -= counts[i];
    lists[i]->reserve(static_cast<size_t>(std::min<uint64_t>(counts[i], kMaxReservedEntries)));
  }
  // Entries are read in order and a cut text ends the reading: the lists hold only whole
  // entries, so no shortened path or registry line reaches the uninstaller.
  // A log that does not say its texts are UTF-8 was written in the ANSI code page.
  const bool utf8 = (flags & kInstallLogFlagUtf8Texts) != 0;
  std::string text;
  uint64_t read = header_size;
  auto read_list = [&](std::vector<std::string>& list, uint64_t count) {
    for (uint64_t n = 0; n < count; ++n) {
      if (!ReadText(*file, text)) return false;
      read += 2 + text.size();
      std::string plain = DecipherDigits(kInstallLogKey, text);
      if (!utf8 && !IsAscii(plain)) plain = LegacyTextToUtf8(plain);
      list.push_back(std::move(plain));
    }
    return true;
  };
  for (int i = 0; i < 3; ++i) {
    if (!read_list(*lists[i], counts[i])) return;
  }
  if ((flags & kInstallLogFlagCreatedKeys) == 0) return;
  uint8_t raw[4];
  if (file->Read(raw, 4) != 4) return;
  read += 4;
  const uint64_t keys = std::min<uint64_t>(LoadLE32(raw), size > read ? (size - read) / kMinEntrySize : 0);
  CreatedKeyList.reserve(static_cast<size_t>(std::min<uint64_t>(keys, kMaxReservedEntries)));
  read_list(CreatedKeyList, keys);
}

}  // namespace setup

// The patch manifest's writer and its strict reader (patch_manifest.h draws the layout).
#include "delta/patch_manifest.h"

#include <cstring>

#include "core/byte_order.h"

namespace setup::delta {

namespace {

constexpr char kManifestMagic[4] = {'K', 'Z', 'P', 'M'};
constexpr uint16_t kManifestVersion = 1;
constexpr size_t kManifestHeaderSize = 12;
// An item's fixed bytes: action, name length, two identities.
constexpr size_t kItemFixedSize = 1 + 2 + 2 * (8 + kSha256Size);

constexpr bool HasOld(TPatchAction action) { return action != TPatchAction::Add; }
constexpr bool HasNew(TPatchAction action) { return action != TPatchAction::Remove; }

void AppendIdentity(std::string& out, const TFileIdentity& identity, bool present) {
  AppendLE64(out, present ? identity.Size : 0);
  if (present) {
    out.append(reinterpret_cast<const char*>(identity.Sha256.data()), kSha256Size);
  } else {
    out.append(kSha256Size, '\0');
  }
}

// Reads the manifest's bytes in order; the first read past the end, or a fault a check names,
// sticks.
class TCursor {
 public:
  TCursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t Left() const { return size_ - at_; }
  const char* Fault() const { return fault_; }
  void Refuse(const char* fault) {
    if (!fault_) fault_ = fault;
  }
  const uint8_t* Take(size_t n) {
    if (fault_ || n > Left()) {
      Refuse("it is cut short");
      return nullptr;
    }
    const uint8_t* p = data_ + at_;
    at_ += n;
    return p;
  }
  uint8_t U8() {
    const uint8_t* p = Take(1);
    return p ? *p : 0;
  }
  uint16_t U16() {
    const uint8_t* p = Take(2);
    return p ? LoadLE16(p) : 0;
  }
  uint32_t U32() {
    const uint8_t* p = Take(4);
    return p ? LoadLE32(p) : 0;
  }
  uint64_t U64() {
    const uint8_t* p = Take(8);
    return p ? LoadLE64(p) : 0;
  }
  TFileIdentity Identity() {
    TFileIdentity identity;
    identity.Size = U64();
    if (const uint8_t* p = Take(kSha256Size)) std::memcpy(identity.Sha256.data(), p, kSha256Size);
    return identity;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  const char* fault_ = nullptr;
};

// Why a name cannot be a file below the patch's folder, or null. Names are relative, "\"
// between folders; a "/" counts as a separator too, as it does on Windows.
const char* NameFault(const std::string& name) {
  if (name.empty()) return "an item has an empty name";
  if (name.find('\0') != std::string::npos) return "a name holds a zero byte";
  // "C:x", "C:\x" and "file:stream" all leave the folder or the file.
  if (name.find(':') != std::string::npos) return "a name holds a colon (a drive or a stream)";
  if (name[0] == '\\' || name[0] == '/') return "a name is absolute";
  size_t start = 0;
  for (;;) {
    const size_t end = name.find_first_of("\\/", start);
    const std::string step = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (step.empty()) return "a name has an empty folder step";
    if (step == "." || step == "..") return "a name has a folder step \".\" or \"..\"";
    if (end == std::string::npos) return nullptr;
    start = end + 1;
  }
}

bool IsZero(const TFileIdentity& identity) { return identity == TFileIdentity{}; }

}  // namespace

std::string PatchManifestName(uint16_t group) { return "PATCH-" + std::to_string(group); }

std::string WritePatchManifest(const TPatchManifest& manifest) {
  for (const TPatchItem& item : manifest.Items) {
    if (item.Name.size() > UINT16_MAX) return {};
  }
  std::string out(kManifestMagic, sizeof kManifestMagic);
  AppendLE16(out, kManifestVersion);
  AppendLE16(out, 0);
  AppendLE32(out, static_cast<uint32_t>(manifest.Items.size()));
  for (const TPatchItem& item : manifest.Items) {
    out.push_back(static_cast<char>(item.Action));
    AppendLE16(out, static_cast<uint16_t>(item.Name.size()));
    out += item.Name;
    AppendIdentity(out, item.Old, HasOld(item.Action));
    AppendIdentity(out, item.New, HasNew(item.Action));
  }
  return out;
}

bool ReadPatchManifest(const uint8_t* data, size_t size, TPatchManifest& manifest, std::string* error) {
  TCursor cursor(data, size);
  const uint8_t* magic = cursor.Take(sizeof kManifestMagic);
  if (magic && std::memcmp(magic, kManifestMagic, sizeof kManifestMagic) != 0)
    cursor.Refuse("it is not a patch manifest");
  if (cursor.U16() != kManifestVersion) cursor.Refuse("its version is not 1");
  if (cursor.U16() != 0) cursor.Refuse("a reserved field is not zero");
  const uint32_t count = cursor.U32();
  // Every item takes at least its fixed bytes and a name of one byte.
  if (!cursor.Fault() && count > cursor.Left() / (kItemFixedSize + 1)) cursor.Refuse("its count passes its bytes");
  TPatchManifest read;
  if (!cursor.Fault()) read.Items.reserve(count);
  for (uint32_t i = 0; i < count && !cursor.Fault(); ++i) {
    TPatchItem item;
    const uint8_t action = cursor.U8();
    if (action > static_cast<uint8_t>(TPatchAction::Remove)) cursor.Refuse("an item has an unknown action");
    item.Action = static_cast<TPatchAction>(action);
    const uint16_t name_length = cursor.U16();
    if (const uint8_t* name = cursor.Take(name_length))
      item.Name.assign(reinterpret_cast<const char*>(name), name_length);
    item.Old = cursor.Identity();
    item.New = cursor.Identity();
    if (cursor.Fault()) break;
    if (const char* fault = NameFault(item.Name)) cursor.Refuse(fault);
    if ((!HasOld(item.Action) && !IsZero(item.Old)) || (!HasNew(item.Action) && !IsZero(item.New))) {
      cursor.Refuse("an item names an identity its action does not have");
    }
    read.Items.push_back(std::move(item));
  }
  if (!cursor.Fault() && cursor.Left() != 0) cursor.Refuse("bytes follow its last item");
  if (cursor.Fault()) {
    if (error) *error = std::string("the patch manifest is damaged: ") + cursor.Fault();
    return false;
  }
  manifest = std::move(read);
  return true;
}

}  // namespace setup::delta

// TPakSystem: patching a KZP archive in place from the setup package.
//
// One archive is open at a time. Opening reads the ending of the file and only then cuts the
// file at the directory, so a wrong password or a missing entry leaves the archive as it was;
// from the cut until the new directory is written the file has no valid ending, and every way
// out of that window either writes the directory or ends the program with a message that
// says the archive is lost.
#include "engine/kzp_update.h"

#include <cstdlib>

#include "archives/kzp_wav.h"
#include "core/deflate.h"
#include "core/error.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "core/text.h"

namespace setup {

namespace {

constexpr char kAccessCode[] = "vormelt";

TPak& Package() {
  TPak* pak = Globals().Package.get();
  if (!pak) throw ESetupError("No setup package is open for the archive update");
  return *pak;
}

// Method 2: the package's own zlib stream when it keeps the entry compressed, else a new one.
TBytes ZlibPayload(TPak& pak, int index, uint32_t& content_size) {
  const TPakEntry& e = pak.Directory()[index];
  TBytes stream;
  if (e.PackedSize != 0 && e.PackedSize != e.Size) {
    stream = pak.ReadStored(index);
    if (stream.empty()) throw ESetupError("Package entry " + e.Name + " fails its CRC test");
    content_size = e.Size;
  } else {
    const TBytes content = PackageEntryContent(pak, index);
    stream = Deflate(content.data(), content.size());
    content_size = static_cast<uint32_t>(content.size());
  }
  ScrambleKzpStream(stream);
  return stream;
}

std::u16string StatusText(TStringNumber string_number, const std::string& archive_name, int done, int total) {
  std::u16string text = GetString(string_number);
  text = ReplaceText(text, u"<%KZPNAME%>", Utf8ToWide(archive_name));
  text = ReplaceText(text, u"<%FNUM%>", WidenAscii(std::to_string(done)));
  return ReplaceText(text, u"<%FTOTAL%>", WidenAscii(std::to_string(total)));
}

}  // namespace

TPakSystem& PakSystem() {
  static TPakSystem system;
  return system;
}

std::string TPakSystem::ArchivePath(const std::string& archive_name) const {
  return Globals().SetupInfo.InstallDir + "\\" + archive_name;
}

void TPakSystem::FatalStop(const std::string& message) {
  archive_.Close();
  Host().FatalAppExit(message);
  std::abort();  // a host's fatal exit never returns
}

void TPakSystem::OpenAndRead(const std::string& path) {
  archive_.Today = Today;
  archive_.RandomByte = RandomByte;
  TArchiveFileSystem& files = Files ? *Files : NativeArchiveFileSystem();
  for (;;) {
    std::string text;
    switch (archive_.Open(files, path)) {
      case TKzpOpenResult::Opened:
        // A journal that could not be trusted was set aside: the archive is as it was found.
        if (archive_.Recovery().Result == TRecoveryResult::SetAside) {
          Host().ShowMessageBox(archive_.Recovery().Message, "Warning", kMbOk | kMbIconWarning);
        }
        return;
      case TKzpOpenResult::Corrupt:
        FatalStop("File " + path + " has corrupted header.");
      case TKzpOpenResult::AttributesStuck:
        text = "Unable to modify \"" + path + "\" attributes";
        break;
      case TKzpOpenResult::NotFound:
        text = "File not found: \"" + path + "\".";
        break;
      case TKzpOpenResult::Unwritable:
        text = archive_.Recovery().Result == TRecoveryResult::Failed
                   ? archive_.Recovery().Message
                   : "Unable to modify file:\"" + path + "\", file may be in use or drive is write protected...";
        break;
    }
    if (Host().ShowMessageBox(text, "Error", kMbRetryCancel | kMbIconWarning) != kIdRetry) {
      if (CancelExit) CancelExit();
      std::_Exit(0);
    }
  }
}

void TPakSystem::OpenForUpdate(const std::string& path) {
  OpenAndRead(path);
  archive_.CutAtDirectory();
}

void TPakSystem::AddPackageEntry(int index) {
  if (!archive_.IsCut()) throw ESetupError("No archive is open to add package entry " + std::to_string(index) + " to");
  TPak& pak = Package();
  if (index < 0 || static_cast<size_t>(index) >= pak.Directory().size()) {
    throw ESetupError("Package entry " + std::to_string(index) + " does not exist");
  }
  const std::string entry_name = pak.Directory()[index].Name;

  TBytes payload;
  uint8_t method = kKzpMethodZlib;
  uint32_t content_size = 0;
  if (IsKzpWavName(entry_name)) {
    const TBytes content = PackageEntryContent(pak, index);
    if (!BuildKzpWavPayload(entry_name, content.data(), content.size(), payload)) return;  // not plain PCM: skipped
    method = kKzpMethodWav;
    content_size = static_cast<uint32_t>(content.size());
  } else {
    payload = ZlibPayload(pak, index, content_size);
  }
  if (!archive_.AddPayload(entry_name, method, content_size, payload)) {
    FatalStop("Disk full, " + archive_.Path() + " is lost. Restore it from backup and try again. ");
  }
}

void TPakSystem::WriteDirectoryAndClose() {
  // Without its ending the archive cannot be read at all: a short write here loses it as
  // surely as a short payload write does, and is reported the same way.
  const std::string path = archive_.Path();
  if (!archive_.WriteDirectoryAndClose()) FatalStop("Disk full, " + path + " is lost. Restore it from backup and try again. ");
}

void TPakSystem::UpdateFromPackage(uint16_t group, const std::string& archive_name, const std::string& password) {
  TPak& pak = Package();
  const int total = pak.CountInGroup(group);
  if (total == 0) return;

  ArchiveName = archive_name;
  OpenAndRead(ArchivePath(archive_name));
  if (archive_.HasPassword) {
    if (password != archive_.Password) FatalStop("Error Incorrect Password\rFile: " + archive_name);
  } else {
    archive_.Password = password;
    archive_.HasPassword = !password.empty();
  }
  archive_.CutAtDirectory();

  auto finish = [&] {
    Progress.Status(StatusText(kStrSaving, archive_name, total, total));
    WriteDirectoryAndClose();
  };
  Progress.Status(StatusText(kStrProgress, archive_name, 0, total));
  int done = 0;
  int index = 0;
  TPercentGate gauge(total);
  try {
    for (bool found = pak.FirstIndexInGroup(group, index); found; found = pak.NextIndexInGroup(group, index)) {
      const bool refresh = gauge.Refresh(done);
      Progress.Status(StatusText(kStrProgress, archive_name, done, total));
      AddPackageEntry(index);
      Progress.Step(refresh);
      ++done;
    }
  } catch (...) {
    // An error in one entry still leaves the archive whole with the entries done so far;
    // after a fatal stop the archive is closed and nothing more is written.
    if (archive_.IsOpen()) finish();
    throw;
  }
  finish();
}

void TPakSystem::SetOfficial(const std::string& archive_name, const std::string& access_code,
                             const std::string& flag_text) {
  if (LowerAscii(access_code) != kAccessCode) return;
  ArchiveName = archive_name;
  OpenForUpdate(ArchivePath(archive_name));
  const std::string flag = LowerAscii(flag_text);
  archive_.Official = (flag == "t" || flag == "true" || flag_text == "1") ? 1 : 0;
  WriteDirectoryAndClose();
}

void TPakSystem::DuplicateEntry(const std::string& archive_name, const std::string& existing_name,
                                const std::string& new_name) {
  ArchiveName = archive_name;
  OpenAndRead(ArchivePath(archive_name));
  TKzpDirectory& directory = archive_.Directory();
  const TKzpRecord* found = directory.Find(KzpRecordName(existing_name));
  if (!found) {
    archive_.Close();
    return;
  }
  const TKzpRecord source = *found;
  archive_.CutAtDirectory();

  // A new name gets a record of its own; a name already in use is pointed at the payload only
  // when it points there already (it may then take the other fields over).
  const std::string target_name = KzpRecordName(LowerAscii(new_name));
  TKzpRecord* target = directory.Find(target_name);
  const bool fresh = target == nullptr;
  if (fresh) {
    TKzpRecord zero;
    zero.Marker = 0;
    zero.Name = target_name;
    directory.Append(std::move(zero));
    target = directory.Find(target_name);
  }
  if (fresh || (target->Offset == source.Offset && target->ContentSize == source.ContentSize &&
                target->StoredSize == source.StoredSize)) {
    target->Marker = source.Marker;
    target->Method = source.Method;
    target->FileDate = source.FileDate;
    target->StoredSize = source.StoredSize;
    target->ContentSize = source.ContentSize;
    target->Offset = source.Offset;
  }
  WriteDirectoryAndClose();
}

}  // namespace setup

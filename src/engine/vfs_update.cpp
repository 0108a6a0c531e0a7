// "vfsupdate": one setup package group written into a VFS archive of the install folder.
//
// One archive at a time stays open between updates (a script can patch the same archive from
// several groups and close it with the last); the next update saves and closes it first. A
// missing archive is shown to the user and reported to the caller, which ends the script as
// the "failure" command does.
#include "engine/vfs_update.h"

#include "core/error.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "core/text.h"

namespace setup {

namespace {

// The language strings of the archive status texts.

struct TOpenArchive {
  std::unique_ptr<TVFSFile> File;
  std::string Name;
};

TOpenArchive& Current() {
  static TOpenArchive open;
  return open;
}

std::u16string Named(TStringNumber string, const std::string& archive_name) {
  return ReplaceText(GetString(string), u"<%KZPNAME%>", Utf8ToWide(archive_name));
}

void SaveAndClose(TOpenArchive& open, const TArchiveProgress& progress) {
  if (!open.File) return;
  // Closed even when the save fails, so that a later update does not save it again.
  std::unique_ptr<TVFSFile> file = std::move(open.File);
  const std::string name = std::move(open.Name);
  open.Name.clear();
  progress.Status(Named(kStrSaving, name));
  file->Save(false);
  file->Close();
}

}  // namespace

TVFSFile* OpenVfsArchive() { return Current().File.get(); }

const std::string& OpenVfsArchiveName() { return Current().Name; }

void SaveAndCloseVfsArchive(const TArchiveProgress& progress) { SaveAndClose(Current(), progress); }

TVfsUpdateResult VfsUpdateFromPackage(uint16_t group, const std::string& archive_name, bool close_after,
                                      const TArchiveProgress& progress) {
  TPak* package = Globals().Package.get();
  const int total = package ? package->CountInGroup(group) : 0;
  if (total == 0) return TVfsUpdateResult::NothingToDo;

  const std::string path = Globals().SetupInfo.InstallDir + "\\" + archive_name;
  TArchiveFileSystem& files = NativeArchiveFileSystem();
  if (!files.Exists(path)) {
    Host().ShowMessageBox("Error: Unable to find <" + archive_name + ">", "VFS Error", kMbOk);
    return TVfsUpdateResult::ArchiveMissing;
  }

  TOpenArchive& open = Current();
  SaveAndClose(open, progress);

  progress.Status(Named(kStrOpening, archive_name));
  if (files.IsReadOnly(path)) files.ClearAttributes(path);
  auto file = std::make_unique<TVFSFile>();
  if (!file->Open(path, true)) throw ESetupError("VFS archive " + path + ": " + file->ErrorText());
  if (file->Recovery().Result == TRecoveryResult::SetAside) {
    Host().ShowMessageBox(file->Recovery().Message, "Warning", kMbOk | kMbIconWarning);
  }
  open.File = std::move(file);
  open.Name = archive_name;

  const std::u16string adding = ReplaceText(Named(kStrProgress, archive_name), u"<%FTOTAL%>",
                                            WidenAscii(std::to_string(total)));
  progress.Status(ReplaceText(adding, u"<%FNUM%>", u"0"));
  try {
    int done = 0;
    int index = 0;
    TPercentGate gauge(total);
    for (bool found = package->FirstIndexInGroup(group, index); found; found = package->NextIndexInGroup(group, index)) {
      const bool refresh = gauge.Refresh(done);
      progress.Status(ReplaceText(adding, u"<%FNUM%>", WidenAscii(std::to_string(done))));
      // The package walk keeps its own cursor: the entry is read before the walk moves on.
      const std::string name = package->Directory()[index].Name;
      // No flush after each file: the journal holds the archive's original until the save, so
      // writes reach the archive in large batches.
      open.File->Tree().AddFile(name, PackageEntryContent(*package, index));
      progress.Step(refresh);
      ++done;
    }
  } catch (...) {
    if (close_after) {
      try {
        SaveAndClose(open, progress);
      } catch (const std::exception&) {
        // The first error is the one the report names.
      }
    }
    throw;
  }
  if (close_after) SaveAndClose(open, progress);
  return TVfsUpdateResult::Updated;
}

}  // namespace setup

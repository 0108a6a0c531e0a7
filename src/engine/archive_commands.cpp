// The archive commands hand their lines to the archive code with the status channel as its
// progress. Passwords and access codes stay enciphered in the compiled line: they are
// deciphered into a local text each time, so a line that runs again after a jump still works.
#include "engine/archive_commands.h"

#include <cstdlib>

#include "core/digit_cipher.h"
#include "engine/interpreter.h"
#include "engine/kzp_update.h"
#include "engine/status_channel.h"
#include "engine/vfs_update.h"

namespace setup {

namespace {

TArchiveProgress ChannelProgress() {
  TArchiveProgress progress;
  progress.SetStatusText = [](const std::u16string& text) { StatusChannel().SetStatusText(text); };
  progress.StepProgress = [](bool publish) { StatusChannel().StepProgress(publish); };
  return progress;
}

uint16_t GroupOf(const TCompiledLine& line) {
  return static_cast<uint16_t>(std::atoi(line.Params.back().c_str()));
}

}  // namespace

void RunKzpUpdate(TCompiledLine& line) {
  TPakSystem& archives = PakSystem();
  archives.Progress = ChannelProgress();
  archives.UpdateFromPackage(GroupOf(line), line.Params[2], DecipherDigits(kCommandKey, line.Params[1]));
}

void RunKzpOfficial(TCompiledLine& line) {
  TPakSystem& archives = PakSystem();
  archives.Progress = ChannelProgress();
  archives.SetOfficial(line.Params[0], DecipherDigits(kCommandKey, line.Params[1]), line.Params[2]);
}

void RunDuplicateEntry(TCompiledLine& line) {
  TPakSystem& archives = PakSystem();
  archives.Progress = ChannelProgress();
  archives.DuplicateEntry(line.Params[0], line.Params[1], line.Params[2]);
}

void RunVfsUpdate(TCompiledLine& line) {
  // A close flag given in the script closes the archive only when it is "1".
  const bool close = line.Params.size() > 3 ? line.Params[2] == "1" : true;
  if (VfsUpdateFromPackage(GroupOf(line), line.Params[1], close, ChannelProgress()) == TVfsUpdateResult::ArchiveMissing) {
    Interpreter().ScriptStopped = true;
  }
}

void CloseOpenArchives() { SaveAndCloseVfsArchive(ChannelProgress()); }

}  // namespace setup

#include "core/command_list.h"

#include "core/text.h"

namespace setup {

const TCommandInfo kCommandTable[kCommandCount] = {
    {"goto", "TGotoCommand", 1, false, kGroupNone},
    {"name", "TNameCommand", 1, true, kGroupNone},
    {"outfile", "TOutFileCommand", 1, true, kGroupNone},
    {"installdir", "TInstallDirCommand", 1, true, kGroupNone},
    {"installdirregkey", "TInstallDirRegKeyCommand", 3, true, kGroupNone},
    {"iffileexists", "TIfFileExistsCommand", 3, false, kGroupNone},
    {"file", "TFileCommand", 1, false, kGroupFiles},
    {"delete", "TDeleteCommand", 1, false, kGroupNone},
    {"writeregstr", "TWriteRegStrCommand", 4, false, kGroupNone},
    {"changelog", "TChangelogCommand", 1, true, kGroupNone},
    {"kzpupdate", "TKZPUpdateCommand", 3, false, kGroupArchive},
    {"rmdir", "TRMDirCommand", 2, false, kGroupNone},
    {"createdirectory", "TCreateDirectoryCommand", 1, false, kGroupNone},
    {"createshortcut", "TCreateShortCutCommand", 3, false, kGroupNone},
    {"message", "TMessageCommand", 1, false, kGroupNone},
    {"messagebox", "TMessageBoxCommand", 4, false, kGroupNone},
    {"copyfile", "TCopyFileCommand", 2, false, kGroupNone},
    {"language", "TLanguageCommand", 1, false, kGroupNone},
    {"failure", "TFailureCommand", 0, false, kGroupNone},
    {"pages", "TPagesCommand", 1, true, kGroupNone},
    {"shortname", "TShortNameCommand", 1, true, kGroupNone},
    {"uninstallpages", "TUninstallPagesCommand", 1, true, kGroupNone},
    {"uninstalllanguage", "TUninstallLanguageCommand", 1, false, kGroupNone},
    {"prefix", "TUninstallPrefixCommand", 1, true, kGroupNone},
    {"uninstalllogload", "TUninstallLogLoadCommand", 1, false, kGroupNone},
    {"uninstalllogsave", "TUninstallLogSaveCommand", 1, false, kGroupNone},
    {"kzpofficial", "TKZPOfficialCommand", 3, false, kGroupNone},
    {"duplicateentry", "TDuplicateEntryCommand", 3, false, kGroupNone},
    {"writeregstr_url", "TWriteRegStr_URLCommand", 3, false, kGroupNone},
    {"vfsupdate", "TVFSUpdateCommand", 2, false, kGroupArchive},
    {"rename", "TRenameCommand", 2, false, kGroupNone},
    {"execute", "TExecuteCommand", 1, false, kGroupNone},
};

int CommandNumber(const std::string& keyword) {
  for (int i = 0; i < kCommandCount; ++i) {
    if (SameTextAscii(keyword, kCommandTable[i].Keyword)) return i + 1;
  }
  return 0;
}

int TCommandList::Register(std::unique_ptr<TCommandClass> command) {
  commands_.push_back(std::move(command));
  return static_cast<int>(commands_.size() - 1);
}

TCommandClass* TCommandList::ByNumber(int32_t n) const {
  if (n < 1 || static_cast<size_t>(n) > commands_.size()) return nullptr;
  return commands_[static_cast<size_t>(n - 1)].get();
}

}  // namespace setup

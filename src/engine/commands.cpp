// The command classes. Each carries its row of the command table; GroupKind is overridden by
// exactly "file" (plain files) and "kzpupdate" and "vfsupdate" (stored into game archives).
// A run operation hands the compiled line to the function that implements the command; the
// setting commands and the language commands have none.
#include "engine/commands.h"

#include <memory>

#include "core/setup_state.h"
#include "engine/archive_commands.h"
#include "engine/file_commands.h"
#include "engine/flow_commands.h"
#include "engine/shell_commands.h"

namespace setup {

namespace {

using TRunOperation = void (*)(TCompiledLine&);

// A command whose run operation calls run (none when null) on the line it is given.
class TScriptCommand : public TCommandClass {
 public:
  TScriptCommand(int row, TRunOperation run) : TCommandClass(kCommandTable[row]), run_(run) {}
  void SFXProcess(int line_index) override {
    auto& lines = Globals().CompLines.Lines;
    if (run_ && line_index >= 0 && static_cast<size_t>(line_index) < lines.size()) run_(lines[line_index]);
  }

 private:
  TRunOperation run_;
};

// A group-owning command: its line's last parameter is a package group number.
class TGroupCommand : public TScriptCommand {
 public:
  TGroupCommand(int row, TRunOperation run) : TScriptCommand(row, run), kind_(kCommandTable[row].GroupKind) {}
  uint8_t GroupKind() override { return kind_; }

 private:
  uint8_t kind_;
};

#define SETUP_COMMAND(Class, Row, Run)                               \
  class Class : public TScriptCommand {                              \
   public:                                                           \
    Class() : TScriptCommand(Row, Run) {}                            \
  };
#define SETUP_GROUP_COMMAND(Class, Row, Run)                         \
  class Class : public TGroupCommand {                               \
   public:                                                           \
    Class() : TGroupCommand(Row, Run) {}                             \
  };

SETUP_COMMAND(TGotoCommand, 0, RunGoto)
SETUP_COMMAND(TNameCommand, 1, nullptr)
SETUP_COMMAND(TOutFileCommand, 2, nullptr)
SETUP_COMMAND(TInstallDirCommand, 3, nullptr)
SETUP_COMMAND(TInstallDirRegKeyCommand, 4, nullptr)
SETUP_COMMAND(TIfFileExistsCommand, 5, RunIfFileExists)
SETUP_GROUP_COMMAND(TFileCommand, 6, RunFile)
SETUP_COMMAND(TDeleteCommand, 7, RunDelete)
SETUP_COMMAND(TWriteRegStrCommand, 8, RunWriteRegStr)
SETUP_COMMAND(TChangelogCommand, 9, nullptr)
SETUP_GROUP_COMMAND(TKZPUpdateCommand, 10, RunKzpUpdate)
SETUP_COMMAND(TRMDirCommand, 11, RunRmDir)
SETUP_COMMAND(TCreateDirectoryCommand, 12, RunCreateDirectory)
SETUP_COMMAND(TCreateShortCutCommand, 13, RunCreateShortcut)
SETUP_COMMAND(TMessageCommand, 14, RunMessage)
SETUP_COMMAND(TMessageBoxCommand, 15, RunMessageBox)
SETUP_COMMAND(TCopyFileCommand, 16, RunCopyFile)
SETUP_COMMAND(TLanguageCommand, 17, nullptr)
SETUP_COMMAND(TFailureCommand, 18, RunFailure)
SETUP_COMMAND(TPagesCommand, 19, nullptr)
SETUP_COMMAND(TShortNameCommand, 20, nullptr)
SETUP_COMMAND(TUninstallPagesCommand, 21, nullptr)
SETUP_COMMAND(TUninstallLanguageCommand, 22, nullptr)
SETUP_COMMAND(TUninstallPrefixCommand, 23, nullptr)
SETUP_COMMAND(TUninstallLogLoadCommand, 24, RunUninstallLogLoad)
SETUP_COMMAND(TUninstallLogSaveCommand, 25, RunUninstallLogSave)
SETUP_COMMAND(TKZPOfficialCommand, 26, RunKzpOfficial)
SETUP_COMMAND(TDuplicateEntryCommand, 27, RunDuplicateEntry)
SETUP_COMMAND(TWriteRegStr_URLCommand, 28, RunWriteRegStrUrl)
SETUP_GROUP_COMMAND(TVFSUpdateCommand, 29, RunVfsUpdate)
SETUP_COMMAND(TRenameCommand, 30, RunRename)
SETUP_COMMAND(TExecuteCommand, 31, RunExecute)

#undef SETUP_COMMAND
#undef SETUP_GROUP_COMMAND

}  // namespace

void RegisterCommands(TCommandList& list) {
  list.Register(std::make_unique<TGotoCommand>());
  list.Register(std::make_unique<TNameCommand>());
  list.Register(std::make_unique<TOutFileCommand>());
  list.Register(std::make_unique<TInstallDirCommand>());
  list.Register(std::make_unique<TInstallDirRegKeyCommand>());
  list.Register(std::make_unique<TIfFileExistsCommand>());
  list.Register(std::make_unique<TFileCommand>());
  list.Register(std::make_unique<TDeleteCommand>());
  list.Register(std::make_unique<TWriteRegStrCommand>());
  list.Register(std::make_unique<TChangelogCommand>());
  list.Register(std::make_unique<TKZPUpdateCommand>());
  list.Register(std::make_unique<TRMDirCommand>());
  list.Register(std::make_unique<TCreateDirectoryCommand>());
  list.Register(std::make_unique<TCreateShortCutCommand>());
  list.Register(std::make_unique<TMessageCommand>());
  list.Register(std::make_unique<TMessageBoxCommand>());
  list.Register(std::make_unique<TCopyFileCommand>());
  list.Register(std::make_unique<TLanguageCommand>());
  list.Register(std::make_unique<TFailureCommand>());
  list.Register(std::make_unique<TPagesCommand>());
  list.Register(std::make_unique<TShortNameCommand>());
  list.Register(std::make_unique<TUninstallPagesCommand>());
  list.Register(std::make_unique<TUninstallLanguageCommand>());
  list.Register(std::make_unique<TUninstallPrefixCommand>());
  list.Register(std::make_unique<TUninstallLogLoadCommand>());
  list.Register(std::make_unique<TUninstallLogSaveCommand>());
  list.Register(std::make_unique<TKZPOfficialCommand>());
  list.Register(std::make_unique<TDuplicateEntryCommand>());
  list.Register(std::make_unique<TWriteRegStr_URLCommand>());
  list.Register(std::make_unique<TVFSUpdateCommand>());
  list.Register(std::make_unique<TRenameCommand>());
  list.Register(std::make_unique<TExecuteCommand>());
}

}  // namespace setup

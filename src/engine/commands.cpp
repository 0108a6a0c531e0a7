// The command classes. Each carries its row of the command table; GroupKind is overridden by
// exactly "file" (plain files) and "kzpupdate" and "vfsupdate" (stored into game archives).
// Run operations replace the empty base SFXProcess as the engine parts that implement them land.
#include "engine/commands.h"

#include <memory>

namespace setup {

namespace {

// A command with no run operation of its own yet.
#define SETUP_PLAIN_COMMAND(Class, Row)                      \
  class Class : public TCommandClass {                       \
   public:                                                   \
    Class() : TCommandClass(kCommandTable[Row]) {}           \
  };

// A group-owning command: its line's last parameter is a package group number.
#define SETUP_GROUP_COMMAND(Class, Row, Kind)                \
  class Class : public TCommandClass {                       \
   public:                                                   \
    Class() : TCommandClass(kCommandTable[Row]) {}           \
    uint8_t GroupKind() override { return Kind; }            \
  };

SETUP_PLAIN_COMMAND(TGotoCommand, 0)
SETUP_PLAIN_COMMAND(TNameCommand, 1)
SETUP_PLAIN_COMMAND(TOutFileCommand, 2)
SETUP_PLAIN_COMMAND(TInstallDirCommand, 3)
SETUP_PLAIN_COMMAND(TInstallDirRegKeyCommand, 4)
SETUP_PLAIN_COMMAND(TIfFileExistsCommand, 5)
SETUP_GROUP_COMMAND(TFileCommand, 6, kGroupFiles)
SETUP_PLAIN_COMMAND(TDeleteCommand, 7)
SETUP_PLAIN_COMMAND(TWriteRegStrCommand, 8)
SETUP_PLAIN_COMMAND(TChangelogCommand, 9)
SETUP_GROUP_COMMAND(TKZPUpdateCommand, 10, kGroupArchive)
SETUP_PLAIN_COMMAND(TRMDirCommand, 11)
SETUP_PLAIN_COMMAND(TCreateDirectoryCommand, 12)
SETUP_PLAIN_COMMAND(TCreateShortCutCommand, 13)
SETUP_PLAIN_COMMAND(TMessageCommand, 14)
SETUP_PLAIN_COMMAND(TMessageBoxCommand, 15)
SETUP_PLAIN_COMMAND(TCopyFileCommand, 16)
SETUP_PLAIN_COMMAND(TLanguageCommand, 17)
SETUP_PLAIN_COMMAND(TFailureCommand, 18)
SETUP_PLAIN_COMMAND(TPagesCommand, 19)
SETUP_PLAIN_COMMAND(TShortNameCommand, 20)
SETUP_PLAIN_COMMAND(TUninstallPagesCommand, 21)
SETUP_PLAIN_COMMAND(TUninstallLanguageCommand, 22)
SETUP_PLAIN_COMMAND(TUninstallPrefixCommand, 23)
SETUP_PLAIN_COMMAND(TUninstallLogLoadCommand, 24)
SETUP_PLAIN_COMMAND(TUninstallLogSaveCommand, 25)
SETUP_PLAIN_COMMAND(TKZPOfficialCommand, 26)
SETUP_PLAIN_COMMAND(TDuplicateEntryCommand, 27)
SETUP_PLAIN_COMMAND(TWriteRegStr_URLCommand, 28)
SETUP_GROUP_COMMAND(TVFSUpdateCommand, 29, kGroupArchive)
SETUP_PLAIN_COMMAND(TRenameCommand, 30)
SETUP_PLAIN_COMMAND(TExecuteCommand, 31)

#undef SETUP_PLAIN_COMMAND
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

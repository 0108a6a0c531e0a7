// The command classes, one per row of core/commands.def. Each carries its row; its run
// operation hands the compiled line to the function that implements the command. The setting
// commands and the language commands have no run operation: their lines pass like label lines.
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
  TScriptCommand(const TCommandInfo& info, TRunOperation run) : TCommandClass(info), run_(run) {}

  void SFXProcess(int line_index) override {
    auto& lines = Globals().CompLines.Lines;
    if (run_ && line_index >= 0 && static_cast<size_t>(line_index) < lines.size()) run_(lines[line_index]);
  }

 private:
  TRunOperation run_;
};

#define SETUP_COMMAND(Keyword, Class, MinParams, FillsSetupInfo, GroupKind, Run)     \
  class Class final : public TScriptCommand {                                      \
   public:                                                                         \
    explicit Class(const TCommandInfo& info) : TScriptCommand(info, Run) {}        \
  };
#include "core/commands.def"

}  // namespace

void RegisterCommands(TCommandList& list) {
  const TCommandInfo* row = kCommandTable;
#define SETUP_COMMAND(Keyword, Class, MinParams, FillsSetupInfo, GroupKind, Run) \
  list.Register(std::make_unique<Class>(*row++));
#include "core/commands.def"
}

}  // namespace setup

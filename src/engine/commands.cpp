// The command classes, one per row of core/commands.def. Each carries its row; its run
// operation hands the compiled line to the function that implements the command, once the
// line is known to hold the parameters the command reads. The setting commands and the
// language commands have no run operation: their lines pass like label lines.
#include "engine/commands.h"

#include <memory>
#include <string>

#include "core/host.h"
#include "core/setup_state.h"
#include "engine/archive_commands.h"
#include "engine/file_commands.h"
#include "engine/flow_commands.h"
#include "engine/patch_commands.h"
#include "engine/shell_commands.h"

namespace setup {

namespace {

using TRunOperation = void (*)(TCompiledLine&);

// A command whose run operation calls run (none when null) on the line it is given.
class TScriptCommand : public TCommandClass {
 public:
  TScriptCommand(const TCommandInfo& info, TRunOperation run) : TCommandClass(info), run_(run) {}

  // A line with fewer parameters than the command reads (a damaged or altered setup: its CRC
  // only proves the stored bytes) is refused with the box that "file" shows for a count it
  // cannot use, and the script goes on with the next line.
  void SFXProcess(int line_index) override {
    auto& lines = Globals().CompLines.Lines;
    if (!run_ || line_index < 0 || static_cast<size_t>(line_index) >= lines.size()) return;
    TCompiledLine& line = lines[static_cast<size_t>(line_index)];
    if (line.Params.size() < CompiledMinParams(Info)) {
      Host().ShowMessageBox(std::string(Info.ClassName) + ".SFXProcess - Param Count Invalid!!!", "Error", kMbOk);
      return;
    }
    run_(line);
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

// The script command classes and their registration.
//
// Each class carries its row of the command table; the run operations (SFXProcess) of the
// commands live beside the engine parts that implement them.
#pragma once

#include "core/command_list.h"

namespace setup {

// Registers one instance of each command class, in command-number order.
void RegisterCommands(TCommandList& list);

}  // namespace setup

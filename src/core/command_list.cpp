// The registry of command objects; the table of commands itself is in the header.
#include "core/command_list.h"

namespace setup {

int TCommandList::Register(std::unique_ptr<TCommandClass> command) {
  commands_.push_back(std::move(command));
  return static_cast<int>(commands_.size() - 1);
}

TCommandClass* TCommandList::ByNumber(int32_t n) const {
  if (n < 1 || static_cast<size_t>(n) > commands_.size()) return nullptr;
  return commands_[static_cast<size_t>(n - 1)].get();
}

}  // namespace setup

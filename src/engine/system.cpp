#include "engine/system.h"

#include "core/error.h"

namespace setup {

namespace {
TSystem* g_system = nullptr;
}  // namespace

TSystem& System() {
  if (!g_system) throw ESetupError("no system installed for the install engine");
  return *g_system;
}

void SetSystem(TSystem* system) { g_system = system; }

}  // namespace setup

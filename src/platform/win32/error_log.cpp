// Placeholder until the error report lands.
#include "platform/win32/error_log.h"

#include <cstdlib>

namespace setup::win32 {

void ReadSystemFacts() {}
const TOSVersionFacts& SystemFacts() {
  static TOSVersionFacts facts;
  return facts;
}
uint32_t CpuSpeedMHz() { return 0; }
void WriteErrorLog(const std::string&, const std::string&) { std::exit(0); }

}  // namespace setup::win32

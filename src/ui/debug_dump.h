// The text of the wizard's hidden diagnostic dump: the package's trailer and directory and the
// setup information record, one fact per line.
#pragma once

#include <string>
#include <vector>

namespace setup {

class TPak;
class TSetupInfoFile;

std::vector<std::string> DebugDumpLines(const TPak& package, const TSetupInfoFile& info);

}  // namespace setup

// Reading a package entry whole for the archive updates.
#include "engine/archive_update.h"

#include "core/error.h"
#include "engine/file_commands.h"

namespace setup {

TBytes PackageEntryContent(TPak& package, int index) {
  const TPakEntry& e = package.Directory()[index];
  if (e.Size >= kLargeEntryLimit && e.PackedSize == 0 && e.Size <= SIZE_MAX / 2) {
    TBytes content(static_cast<size_t>(e.Size));
    size_t done = 0;
    while (done < content.size()) {
      const size_t n = package.ReadStoredAt(index, done, content.data() + done, content.size() - done);
      if (n == 0) break;
      done += n;
    }
    if (done == content.size()) return content;
  } else {
    TBytes content = package.Extract(index);
    if (content.size() == e.Size) return content;
    ShowExtractFailure(package);  // the DecompSize box, before the error report
  }
  throw ESetupError("Package entry '" + e.Name + "' of " + std::to_string(e.Size) + " bytes could not be read");
}

}  // namespace setup

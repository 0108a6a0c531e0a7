#include "engine/system.h"

#include "core/error.h"
#include "engine/file_commands.h"

namespace setup {

namespace {
TSystem* g_system = nullptr;
}  // namespace

TSystem& System() {
  if (!g_system) throw ESetupError("no system installed for the install engine");
  return *g_system;
}

TSystem::TNewFileResult TSystem::WriteNewFile(const std::string& path, const uint8_t* data, size_t size) {
  auto file = OpenFile(path, TFileMode::CreateNew);
  if (!file) return FileExists(path) || FolderExists(path) ? kExists : kFailed;
  const bool written = (size == 0 || file->Write(data, size) == size) && file->Flush();
  file.reset();
  if (written) return kCreated;
  DeleteFile(path);
  return kFailed;
}

void SetSystem(TSystem* system) {
  g_system = system;
  KnownFolders().Clear();  // what one system had says nothing of another
}

}  // namespace setup

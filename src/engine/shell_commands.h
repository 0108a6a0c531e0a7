// Registry, shell-link, program and status-line commands.
#pragma once

#include <string>

#include "core/setup_info.h"

namespace setup {

// The install log's record of a registry value: four double-quoted fields.
std::string RegistryEntryLine(const std::string& root, const std::string& key, const std::string& name,
                              const std::string& value);

// Writes a string value (root an index of the registry root table, root_name as the script
// spells it, for the run log) and logs the step; false when the key cannot be opened. A write
// the system refuses raises "Failed to set data for '%s'", as TSystem::RegWriteString does.
bool WriteRegistryValue(int root, const std::string& root_name, const std::string& key, const std::string& name,
                        const std::string& value);
// The install log's record of a registry key the install created: two double-quoted fields.
std::string RegistryKeyLine(const std::string& root, const std::string& key);
// Before a write into the key: records in the install log the key and each of its parents that
// does not exist yet (the write creates them), so that the uninstall can remove them once empty.
void NoteCreatedKeys(const std::string& root_name, const std::string& key);

// A shell link whose working folder is the target's folder; its folders are created and logged.
void CreateShellLink(const std::string& link, const std::string& target, const std::string& arguments,
                     const std::string& icon_file);

void RunWriteRegStr(TCompiledLine& line);
void RunWriteRegStrUrl(TCompiledLine& line);
void RunCreateShortcut(TCompiledLine& line);
void RunExecute(TCompiledLine& line);
void RunMessage(TCompiledLine& line);

}  // namespace setup

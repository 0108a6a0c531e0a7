// Text of the building machine (UTF-8) to the code page that setups store (Windows-1252).
#pragma once

#include <string>
#include <string_view>

namespace setup::builder {

// True when every character has a Windows-1252 byte; out receives the bytes. Text that is not
// valid UTF-8 is taken to be Windows-1252 already, as older scripts are.
bool ToWindows1252(std::string_view utf8, std::string& out);
// Windows-1252 back to UTF-8, for messages and paths on the building machine.
std::string FromWindows1252(std::string_view text);

}  // namespace setup::builder

// The one text a setup still stores in a code page: an archive password, whose bytes the game
// compares as they are, in Windows-1252 as every earlier builder wrote it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace setup::builder {

// The Windows-1252 bytes of UTF-8 text; nullopt when a character has none there. The inverse
// of Windows1252ToUtf8 for every byte (its five unassigned bytes stand for U+0081, U+008D,
// U+008F, U+0090 and U+009D).
std::optional<std::string> Utf8ToWindows1252(std::string_view utf8);

}  // namespace setup::builder

#include "builder/codepage.h"

#include <map>

#include "core/text.h"

namespace setup::builder {

std::optional<std::string> Utf8ToWindows1252(std::string_view utf8) {
  // The code page's table is the core's: each byte's character, turned round.
  static const std::map<char16_t, char> bytes = [] {
    std::map<char16_t, char> table;
    for (int b = 0; b < 256; ++b) {
      const std::u16string wide = Utf8ToWide(Windows1252ToUtf8(std::string(1, static_cast<char>(b))));
      table.emplace(wide.at(0), static_cast<char>(b));
    }
    return table;
  }();
  if (!IsValidUtf8(utf8)) return std::nullopt;
  std::string out;
  for (char16_t c : Utf8ToWide(utf8)) {
    const auto found = bytes.find(c);
    if (found == bytes.end()) return std::nullopt;
    out.push_back(found->second);
  }
  return out;
}

}  // namespace setup::builder

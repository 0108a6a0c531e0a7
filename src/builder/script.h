// The setup script: one command per line, parameters separated by blanks or tabs, a parameter
// holding blanks written in double quotes. Blank lines and lines starting with ";" or "#" are
// skipped; a line of one token ending in ":" is a label.
//
// A script is UTF-8 (a byte-order mark is dropped). One that is not valid UTF-8 is an older
// script and is read whole as Windows-1252, the code page older builders took scripts in, so it
// builds as it always did. Every text from here on is UTF-8.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace setup::builder {

// A build error with the script line it belongs to (0 when it belongs to none).
class TBuildError : public std::runtime_error {
 public:
  TBuildError(int line, const std::string& message) : std::runtime_error(message), Line(line) {}
  const int Line;
};

struct TScriptLine {
  int Number = 0;        // 1-based line number in the script file
  bool IsLabel = false;  // Keyword then holds the label's name
  std::string Keyword;
  std::vector<std::string> Params;
};

// The lines of the script file's bytes.
std::vector<TScriptLine> ParseScript(std::string_view bytes);

}  // namespace setup::builder

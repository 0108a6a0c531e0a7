// The setup script: one command per line, parameters separated by blanks or tabs, a parameter
// holding blanks written in double quotes. Blank lines and lines starting with ";" or "#" are
// skipped; a line of one token ending in ":" is a label. Text stays UTF-8 here; the compiler
// turns what it stores into the setup's code page.
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

std::vector<TScriptLine> ParseScript(std::string_view text);

}  // namespace setup::builder

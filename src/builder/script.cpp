#include "builder/script.h"

#include "core/text.h"

namespace setup::builder {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> Tokens(std::string_view line, int number) {
  std::vector<std::string> tokens;
  size_t i = 0;
  while (true) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size()) break;
    std::string token;
    // A token runs to the next blank outside quotes; quotes group and are removed.
    bool quoted = false;
    for (; i < line.size() && (quoted || !IsBlank(line[i])); ++i) {
      if (line[i] == '"') {
        quoted = !quoted;
      } else {
        token.push_back(line[i]);
      }
    }
    if (quoted) throw TBuildError(number, "unterminated quote");
    tokens.push_back(std::move(token));
  }
  return tokens;
}

}  // namespace

std::vector<TScriptLine> ParseScript(std::string_view bytes) {
  const std::string whole = TextFileToUtf8(bytes, Windows1252ToUtf8);
  std::string_view text = whole;
  std::vector<TScriptLine> lines;
  int number = 0;
  while (!text.empty()) {
    ++number;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == ';' || line[first] == '#') continue;
    std::vector<std::string> tokens = Tokens(line, number);
    TScriptLine out;
    out.Number = number;
    const bool label = tokens.size() == 1 && tokens[0].size() > 1 && tokens[0].back() == ':' &&
                       line.find('"') == std::string_view::npos;
    if (label) {
      out.IsLabel = true;
      out.Keyword = tokens[0].substr(0, tokens[0].size() - 1);
    } else {
      out.Keyword = tokens[0];
      out.Params.assign(tokens.begin() + 1, tokens.end());
    }
    lines.push_back(std::move(out));
  }
  return lines;
}

}  // namespace setup::builder

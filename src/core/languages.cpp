// Language files, tables, look-up and the two expansions of page texts.
#include "core/languages.h"

#include "core/error.h"
#include "core/host.h"
#include "core/setup_state.h"
#include "core/text.h"

namespace setup {

namespace {

// A text that keeps finding tokens after this many replacements refers to itself.
constexpr int kMaxTokenExpansions = 10000;
// Expansion also stops once the text has grown to this many characters: a string that names
// itself twice doubles at every turn, and each turn moves the whole text. Far above any page
// text, and it keeps the turns cheap.
constexpr size_t kMaxExpandedChars = 16 * 1024;

[[noreturn]] void NotAnInteger(const std::u16string& text) {
  throw ESetupError("'" + WideToUtf8(text) + "' is not a valid integer value");
}

bool IsTrimmed(char16_t c) { return c <= 32; }

std::u16string Trim(const std::u16string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsTrimmed(s[b])) ++b;
  while (e > b && IsTrimmed(s[e - 1])) --e;
  return s.substr(b, e - b);
}

long ParseInteger(const std::u16string& text, int base) {
  if (text.empty()) NotAnInteger(text);
  size_t i = 0;
  bool negative = false;
  if (base == 10 && (text[0] == u'-' || text[0] == u'+')) {
    negative = text[0] == u'-';
    i = 1;
  }
  if (i == text.size()) NotAnInteger(text);
  long value = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    int digit = (c >= u'0' && c <= u'9') ? c - u'0'
                : (base == 16 && c >= u'a' && c <= u'f') ? c - u'a' + 10
                : (base == 16 && c >= u'A' && c <= u'F') ? c - u'A' + 10
                                                        : -1;
    if (digit < 0) NotAnInteger(text);
    value = value * base + digit;
    if (value > 0x7FFFFFFF) NotAnInteger(text);
  }
  return negative ? -value : value;
}

}  // namespace

void TUnicodeStringList::LoadFromImage(const uint8_t* data, size_t size) {
  lines_.clear();
  std::u16string line;
  for (size_t i = 2; i + 1 < size; i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == u'\r') {
      lines_.push_back(line);
      line.clear();
    } else if (c == u'\n') {
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  if (!line.empty()) lines_.push_back(line);
}

void TLanguage::LoadFromImage(const uint8_t* data, size_t size) {
  if (!data || size == 0) throw ESetupError("Cannot open file");
  TUnicodeStringList lines;
  lines.LoadFromImage(data, size);
  Ids.clear();
  Strings.clear();
  if (lines.Count() > 0) Name = lines[0];
  if (lines.Count() > 1) {
    const std::u16string ids = Trim(lines[1]);
    if (ids.find(u';') == std::u16string::npos) {
      Ids.push_back(static_cast<uint16_t>(ParseInteger(ids, 16)));
    } else {
      // Every identifier ends in ";": one without it at the end does not convert.
      for (size_t from = 0; from < ids.size();) {
        const size_t end = ids.find(u';', from);
        if (end == std::u16string::npos) NotAnInteger(ids.substr(from) + u"?");
        Ids.push_back(static_cast<uint16_t>(ParseInteger(ids.substr(from, end - from), 16)));
        from = end + 1;
      }
    }
  }
  for (size_t i = 2; i < lines.Count(); ++i) {
    const std::u16string line = Trim(lines[i]);
    if (line.empty()) continue;  // a blank line between strings holds no string
    std::u16string number;
    size_t at = 0;
    bool quoted = false;
    for (; at < line.size(); ++at) {
      const char16_t c = line[at];
      if (c == u'"') {
        quoted = !quoted;
      } else if (!quoted && (c == u' ' || c == u'\t')) {
        break;
      } else {
        number.push_back(c);
      }
    }
    while (at < line.size() && (line[at] == u' ' || line[at] == u'\t')) ++at;
    const uint16_t n = static_cast<uint16_t>(ParseInteger(number, 10));
    if (!Find(n)) Strings.emplace_back(n, line.substr(at));
  }
}

const std::u16string* TLanguage::Find(uint16_t n) const {
  for (const auto& [number, text] : Strings) {
    if (number == n) return &text;
  }
  return nullptr;
}

void TLanguages::AddLanguage(const uint8_t* data, size_t size) {
  auto language = std::make_unique<TLanguage>();
  language->LoadFromImage(data, size);
  Tables.push_back(std::move(language));
}

int TLanguages::FindLanguageByName(std::string_view name) const {
  if (name.empty()) return -1;
  for (size_t i = 0; i < Tables.size(); ++i) {
    const TLanguage& t = *Tables[i];
    if (SameTextAscii(t.FileName, name) || SameTextAscii(WideToUtf8(t.Name), name)) return static_cast<int>(i);
  }
  return -1;
}

int TLanguages::FindLanguage(uint16_t id) const {
  for (size_t i = 0; i < Tables.size(); ++i) {
    for (uint16_t listed : Tables[i]->Ids) {
      if (listed == id) return static_cast<int>(i);
    }
  }
  return -1;
}

std::u16string TLanguages::GetString(uint16_t n) const {
  if (CurrentValid()) {
    if (const std::u16string* text = Tables[static_cast<size_t>(Current)]->Find(n)) return *text;
  }
  return u"NOT FOUND " + WidenAscii(std::to_string(n));
}

std::u16string TLanguages::ExpandLanguageTokens(std::u16string_view text) const {
  std::u16string out(text);
  if (!CurrentValid()) return out;
  size_t from = 0;
  for (int round = 0; round < kMaxTokenExpansions && out.size() < kMaxExpandedChars; ++round) {
    const size_t at = out.find(u"<LANG", from);
    if (at == std::u16string::npos) break;
    const size_t close = out.find(u'>', at + 5);
    if (close == std::u16string::npos) NotAnInteger(u"");
    const uint16_t n = static_cast<uint16_t>(ParseInteger(out.substr(at + 5, close - at - 5), 10));
    out.replace(at, close - at + 1, GetString(n));
    // No token starts before the one replaced; one may start in its last four characters and
    // run on into the replacement.
    from = at >= 4 ? at - 4 : 0;
  }
  return out;
}

void TLanguageStrings::Register(const std::string& key, const std::string* value) {
  std::u16string wide;
  for (char c : LowerAscii(key)) wide.push_back(static_cast<unsigned char>(c));
  bindings_.emplace_back(std::move(wide), value);
}

std::u16string TLanguageStrings::ExpandPlaceholders(std::u16string_view text) const {
  std::u16string out(text);
  for (const auto& [key, value] : bindings_) out = ReplaceText(out, key, Utf8ToWide(*value));
  return out;
}

TLanguages& Languages() {
  static TLanguages languages;
  return languages;
}

TLanguageStrings& LanguageStrings() {
  static TLanguageStrings strings;
  return strings;
}

void RegisterPlaceholders() {
  TSetupGlobals& g = Globals();
  TLanguageStrings& s = LanguageStrings();
  s.Clear();
  s.Register("<%SETUPTITLE%>", &g.SetupInfo.SetupName);
  s.Register("<%SETUPSHORTTITLE%>", &g.SetupInfo.ShortName);
  s.Register("<%CHANGELOG%>", &g.SetupInfo.Changelog);
  s.Register("<%SPACEREQ%>", &g.State.RequiredText);
  s.Register("<%SPACEAVA%>", &g.State.AvailableText);
}

std::u16string GetString(uint16_t n) { return Languages().GetString(n); }

void SelectLanguage(uint16_t language_id) {
  const int found = Languages().FindLanguage(language_id);
  Languages().Current = found < 0 ? 0 : found;
}

bool SelectLanguageNamed(const std::string& name) {
  if (name.empty()) return false;
  const std::u16string wanted = Utf8ToWide(name);
  TLanguages& languages = Languages();
  for (size_t i = 0; i < languages.Tables.size(); ++i) {
    if (languages.Tables[i]->Name == wanted) {
      languages.Current = static_cast<int32_t>(i);
      return true;
    }
  }
  return false;
}

std::u16string ExpandTextChain(std::u16string_view text) {
  std::u16string out = Languages().ExpandLanguageTokens(text);
  out = ReplaceText(out, u"<BR>", u"\r");
  return LanguageStrings().ExpandPlaceholders(out);
}

}  // namespace setup

// Language tables: every text the user sees, by number, in each language a setup carries.
//
// A language file is UTF-16 (little-endian, the first two bytes skipped): line 1 the display
// name, line 2 the Windows language identifiers in hexadecimal, each followed by ";", then one
// "NUMBER TEXT" line per string. A carriage return ends a line; a line feed starts the current
// line afresh. Texts refer to other strings with <LANGn> and to setup values with placeholders
// such as "<%SETUPTITLE%>".
//
// The tables live in core because the install engine and the archive code show their strings
// as well as the wizard.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace setup {

// The strings the program shows itself, by number, named for what they say in English; every
// table a setup carries defines them. Page files may use any other number.
enum TStringNumber : uint16_t {
  kStrSpaceAvailable = 7,    // "Space available: <%SPACEAVA%>", on the patch page
  kStrBack = 12,             // the wizard's buttons
  kStrNext = 13,
  kStrCancel = 14,
  kStrInstall = 15,          // Next on the patch page
  kStrFinish = 16,           // Cancel on the finish page
  kStrCopying = 17,          // "Copying <%FILENAME%>"
  kStrExtracting = 18,       // "Extracting <%FILENAME%>"
  kStrProgress = 19,         // "Progress: <%FNUM%> of <%FTOTAL%> <%KZPNAME%>"
  kStrSaving = 20,           // "Saving <%KZPNAME%>..."
  kStrInstallFailed = 23,    // the finish text after the script's "failure"
  kStrRegistryEntries = 24,  // stages of the uninstall page, named in kStrProgress
  kStrFolders = 25,
  kStrUninstall = 26,        // after the short name in the uninstaller's title
  kStrQuitQuestion = 27,     // the quit box: text and caption
  kStrQuit = 28,
  kStrOpening = 29,          // "Opening <%KZPNAME%>..."
};

// Lines of a UTF-16 language file image, split by the rules above.
class TUnicodeStringList {
 public:
  void LoadFromImage(const uint8_t* data, size_t size);
  size_t Count() const { return lines_.size(); }
  const std::u16string& operator[](size_t i) const { return lines_[i]; }
  void Add(std::u16string line) { lines_.push_back(std::move(line)); }
  void Clear() { lines_.clear(); }

 private:
  std::vector<std::u16string> lines_;
};

class TLanguage {
 public:
  // Raises ESetupError for an image without data or with a number that does not convert.
  void LoadFromImage(const uint8_t* data, size_t size);
  // The text of string n, or null.
  const std::u16string* Find(uint16_t n) const;

  std::u16string Name = u"Untitled";
  // The name the setup knows the table by: the language file's base name ("German"), as the
  // script's "language" line gives it; empty when not known.
  std::string FileName;
  std::vector<uint16_t> Ids;
  std::vector<std::pair<uint16_t, std::u16string>> Strings;
};

class TLanguages {
 public:
  void AddLanguage(const uint8_t* data, size_t size);
  // Index of the first table listing the identifier, or -1.
  int FindLanguage(uint16_t id) const;
  // Index of the first table whose file name or display name is name, ASCII letters compared
  // without regard to case ("german", "GERMAN", "Deutsch"), or -1.
  int FindLanguageByName(std::string_view name) const;
  // String n of the current table, or "NOT FOUND " and n.
  std::u16string GetString(uint16_t n) const;
  // <LANGn> tokens (exact case) replaced by their strings, those inside strings too.
  std::u16string ExpandLanguageTokens(std::u16string_view text) const;
  bool CurrentValid() const { return Current >= 0 && static_cast<size_t>(Current) < Tables.size(); }

  std::vector<std::unique_ptr<TLanguage>> Tables;
  int32_t Current = -1;
};

// Page-text placeholders bound to setup values, read at each expansion.
class TLanguageStrings {
 public:
  void Register(const std::string& key, const std::string* value);
  std::u16string ExpandPlaceholders(std::u16string_view text) const;
  void Clear() { bindings_.clear(); }

 private:
  std::vector<std::pair<std::u16string, const std::string*>> bindings_;
};

// The process-wide tables and placeholders; RegisterPlaceholders binds the five setup values.
TLanguages& Languages();
TLanguageStrings& LanguageStrings();
void RegisterPlaceholders();

// String n of the current language.
std::u16string GetString(uint16_t n);
// Makes the table listing the identifier current, or the first table when none does.
void SelectLanguage(uint16_t language_id);
// Makes the first table of that display name (UTF-8) current; false, changing nothing, when no
// table has it.
bool SelectLanguageNamed(const std::string& name);
// The chain page texts go through: <LANGn> tokens, "<BR>" to a carriage return, placeholders.
std::u16string ExpandTextChain(std::u16string_view text);

}  // namespace setup

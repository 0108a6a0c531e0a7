// Fuzz target: the language file reader (TLanguage::LoadFromImage) and what the wizard does
// with a table it loaded: look a language up by identifier, fetch strings by number and put
// every string through the page text chain (<LANGn> tokens, "<BR>", placeholders).
//
// The input is a whole language file image. A number or identifier that does not convert, and
// a <LANG token that does not, raise ESetupError, which is allowed. Checks beyond the
// sanitizers: every listed identifier finds this table, every string number is listed once
// and GetString gives its text.
#include <set>
#include <string>

#include "core/error.h"
#include "core/languages.h"
#include "core/setup_state.h"
#include "fuzz_check.h"

namespace {

using namespace setup;

[[noreturn]] void Fail(const std::string& what) { setup::fuzzing::FailCheck("fuzz_languages", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool placeholders_ready = [] {
    Globals().SetupInfo.SetupName = "Demo Game Patch";
    Globals().SetupInfo.ShortName = "Demo";
    Globals().SetupInfo.Changelog = "Fixed the save menu.\r\nFaster loading.";
    Globals().State.RequiredText = "12.5 MB";
    Globals().State.AvailableText = "3.2 GB";
    RegisterPlaceholders();
    return true;
  }();
  (void)placeholders_ready;

  TLanguages& languages = Languages();
  languages.Tables.clear();
  languages.Current = -1;
  try {
    languages.AddLanguage(data, size);
  } catch (const ESetupError&) {
    return 0;
  }
  languages.Current = 0;
  const TLanguage& table = *languages.Tables[0];
  for (uint16_t id : table.Ids) {
    if (languages.FindLanguage(id) != 0) Fail("identifier " + std::to_string(id) + " does not find its table");
  }
  std::set<uint16_t> numbers;
  for (const auto& [number, text] : table.Strings) {
    if (!numbers.insert(number).second) Fail("string " + std::to_string(number) + " is listed twice");
    if (GetString(number) != text) Fail("string " + std::to_string(number) + " reads back different text");
    try {
      (void)ExpandTextChain(text);
    } catch (const ESetupError&) {
    }
  }
  return 0;
}

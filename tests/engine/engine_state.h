// The engine's state made fresh for a test and put back after it: the setup's globals, the
// language tables, the install log's lists, the interpreter and the status channel. The tests of
// the commands, the run log and patches share it; each keeps its own fake system and package.
#pragma once

#include <string>

#include "core/languages.h"
#include "core/setup_state.h"
#include "engine/commands.h"
#include "engine/interpreter.h"
#include "engine/status_channel.h"
#include "engine/uninstall_list.h"

namespace setup::testing {

// An English language table with the strings the commands show ("Copying", "Extracting" and the
// failure text "It failed").
inline TBytes EnglishImage() {
  TBytes image = {0xFF, 0xFE};
  for (char c : std::string("English\r\n0409;\r\n17 Copying <%FILENAME%>\r\n18 Extracting <%FILENAME%>\r\n23 It failed\r\n")) {
    image.push_back(static_cast<uint8_t>(c));
    image.push_back(0);
  }
  return image;
}

// Fresh globals with the commands registered and the install folder C:\Games\Demo; with
// english, the English table chosen and the status channel showing a label and a gauge. The
// finish page's text goes to finish_text.
inline void ResetEngineState(bool english, std::u16string* finish_text) {
  Globals() = TSetupGlobals();
  Languages() = TLanguages();
  UninstallList().ClearLists();
  Interpreter().CurrentLine = -1;
  Interpreter().ScriptStopped = false;
  if (english) {
    const TBytes image = EnglishImage();
    Languages().AddLanguage(image.data(), image.size());
    SelectLanguage(0x0409);
    StatusChannel().HasStatusLabel = true;
    StatusChannel().HasGauge = true;
  }
  RegisterCommands(Globals().Commands);
  Globals().SetupInfo.InstallDir = "C:\\Games\\Demo";
  StatusChannel().FinishText = [finish_text](const std::u16string& text, bool) {
    if (finish_text) *finish_text = text;
  };
}

// What a test leaves: the globals, tables and lists emptied, the finish page unhooked.
inline void ClearEngineState() {
  Globals() = TSetupGlobals();
  Languages() = TLanguages();
  UninstallList().ClearLists();
  StatusChannel().FinishText = nullptr;
}

}  // namespace setup::testing

// The engine's state made fresh for a test and put back after it: the setup's globals, the
// language tables, the install log's lists, the interpreter and the status channel. The tests of
// the commands, the run log and patches share it; each keeps its own fake system and package.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "engine/commands.h"
#include "engine/interpreter.h"
#include "engine/status_channel.h"
#include "engine/uninstall_list.h"
#include "fake_system.h"
#include "test_files.h"

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

// The package the setup runs from, written to the scratch file file_name: entries (name, group,
// bytes), each packed as the builder packs it.
inline void UsePackage(const std::string& file_name,
                       const std::vector<std::tuple<std::string, uint16_t, std::string>>& entries) {
  const std::string path = ScratchPath(file_name);
  {
    TPak pak(path, pmCreate);
    for (const auto& [name, group, bytes] : entries) {
      const int i = pak.AddEntry(name, "", group);
      pak.StoreFromMemory(i, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    }
    pak.WriteDirectory();
  }
  Globals().Package = std::make_unique<TPak>(path, pmRead);
}

// The compiled script: (command, params) pairs, positions are line indices.
inline void UseScript(const std::vector<std::pair<int, std::vector<std::string>>>& lines) {
  auto& out = Globals().CompLines.Lines;
  out.clear();
  for (const auto& [command, params] : lines) {
    out.push_back({command, params, static_cast<int32_t>(params.size()), static_cast<int32_t>(out.size())});
  }
}

// A file the player already has on the fake system, its folders made as needed.
inline void PutFile(TFakeSystem& system, const std::string& path, const std::string& text) {
  std::filesystem::create_directories(system.Map(path).parent_path());
  WriteFile(system.Map(path).string(), TBytes(text.begin(), text.end()));
}

}  // namespace setup::testing

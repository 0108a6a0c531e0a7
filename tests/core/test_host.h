// A host that records message boxes instead of showing them, installed for one test's scope.
#pragma once

#include <string>
#include <vector>

#include "core/host.h"

namespace setup::testing {

class TRecordingHost : public TPortableHost {
 public:
  struct Box {
    std::string Text;
    std::string Caption;
  };
  TRecordingHost() { SetHost(this); }
  ~TRecordingHost() override { SetHost(nullptr); }

  int ShowMessageBox(const std::string& text, const std::string& caption, unsigned) override {
    Boxes.push_back({text, caption});
    return Answer;
  }
  std::u16string AppDataFolder() override { return AppData; }

  std::vector<Box> Boxes;
  int Answer = kIdOk;
  std::u16string AppData;
};

}  // namespace setup::testing

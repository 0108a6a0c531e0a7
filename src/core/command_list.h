// The command registry: the 32 script commands, numbered by their registration order.
//
// A compiled line names its command only by number, and that number is the command's
// position in TCommandList plus one. The order of kCommandTable is therefore part of the
// compiled-script format and must never change.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace setup {

// What a group-owning line's entries are: none, plain files, or stored bytes for a game archive.
enum : uint8_t { kGroupNone = 0, kGroupFiles = 1, kGroupArchive = 2 };

struct TCommandInfo {
  const char* Keyword;    // lower-case script keyword
  const char* ClassName;  // the class that runs it
  int MinParams;          // smallest number of script parameters (group number not counted)
  bool FillsSetupInfo;    // only fills the setup information record
  uint8_t GroupKind;
};

constexpr int kCommandCount = 32;
extern const TCommandInfo kCommandTable[kCommandCount];

// Command number (1-based) of a keyword compared without regard to ASCII case; 0 when unknown.
int CommandNumber(const std::string& keyword);

class TCommandClass {
 public:
  explicit TCommandClass(const TCommandInfo& info) : Keyword(info.Keyword), FillsSetupInfo(info.FillsSetupInfo) {}
  virtual ~TCommandClass() = default;

  // Build side: checks and completes the line at line_index of the builder's line array.
  virtual void CompilerProcess(int /*line_index*/) {}
  // Run side: runs the compiled line at line_index.
  virtual void SFXProcess(int /*line_index*/) {}
  virtual uint8_t GroupKind() { return kGroupNone; }

  const std::string Keyword;
  const bool FillsSetupInfo;
};

class TCommandList {
 public:
  // Appends a command; returns its 0-based position.
  int Register(std::unique_ptr<TCommandClass> command);
  // The command of number n (1-based), or null when n is outside the registry.
  TCommandClass* ByNumber(int32_t n) const;
  size_t Count() const { return commands_.size(); }

 private:
  std::vector<std::unique_ptr<TCommandClass>> commands_;
};

}  // namespace setup

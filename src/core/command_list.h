// The command registry: the script commands, numbered by their registration order.
//
// A compiled line names its command only by number, and that number is the command's
// position in TCommandList plus one. The commands are listed once, in core/commands.def; the
// order of its rows is part of the compiled-script format and must never change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

namespace setup {

// What a group-owning line's entries are: none, plain files, or stored bytes for a game archive.
enum : uint8_t { kGroupNone = 0, kGroupFiles = 1, kGroupArchive = 2, kGroupPatch = 3 };

// One row of core/commands.def, without its run operation.
struct TCommandInfo {
  const char* Keyword;    // lower-case script keyword
  const char* ClassName;  // the class that runs it
  int MinParams;          // fewest script parameters (group number not counted)
  bool FillsSetupInfo;    // only fills the setup information record
  uint8_t GroupKind;
};

inline constexpr TCommandInfo kCommandTable[] = {
#define SETUP_COMMAND(Keyword, Class, MinParams, FillsSetupInfo, GroupKind, Run) \
  {Keyword, #Class, MinParams, FillsSetupInfo, GroupKind},
#include "core/commands.def"
};
constexpr int kCommandCount = static_cast<int>(std::size(kCommandTable));

// The fewest parameters a compiled line of the command carries: its script minimum, and the
// group number that the build appends to a group-owning line.
constexpr size_t CompiledMinParams(const TCommandInfo& info) {
  return static_cast<size_t>(info.MinParams) + (info.GroupKind != kGroupNone ? 1 : 0);
}

// Command number (1-based) of a keyword compared without regard to ASCII case; 0 when unknown.
constexpr int CommandNumber(std::string_view keyword) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (int n = 1; n <= kCommandCount; ++n) {
    const std::string_view name = kCommandTable[n - 1].Keyword;
    if (name.size() != keyword.size()) continue;
    size_t i = 0;
    while (i < name.size() && lower(keyword[i]) == name[i]) ++i;
    if (i == name.size()) return n;
  }
  return 0;
}

// The number of a keyword named in code: a keyword that is not in the table does not compile.
consteval int CommandNumberOf(std::string_view keyword) {
  const int n = CommandNumber(keyword);
  if (n == 0) throw "not a script command";
  return n;
}

class TCommandClass {
 public:
  explicit TCommandClass(const TCommandInfo& info) : Info(info) {}
  virtual ~TCommandClass() = default;

  // Build side: checks and completes the line at line_index of the builder's line array.
  virtual void CompilerProcess(int /*line_index*/) {}
  // Run side: runs the compiled line at line_index.
  virtual void SFXProcess(int /*line_index*/) {}
  virtual uint8_t GroupKind() { return Info.GroupKind; }

  const TCommandInfo& Info;  // its row of the command table: keyword, class name, counts
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

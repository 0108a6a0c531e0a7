// TCompiler: turns a parsed setup script into the setup information record, the compiled
// lines and the list of package entries.
//
// The rules the runtime relies on: setting commands fill the record and stay in place as inert
// lines; jump targets become line positions; group-owning lines get their group number as last
// parameter; archive passwords are enciphered with the command key, in Windows-1252 (the bytes
// the game compares); languages and layouts come from the builder's folders. Every other text is
// stored as the UTF-8 it is, whatever its characters. Every error names its script line.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "builder/compiler_file_list.h"
#include "builder/patch_tree.h"
#include "builder/script.h"
#include "core/setup_info.h"

namespace setup::builder {

struct TCompilerOptions {
  std::string ScriptFolder;    // sources lie below it
  std::string LanguagesFolder;  // NAME.wri files
  std::string LayoutsFolder;    // one folder per layout
  // The shipped finishing program, for uninstall layouts that lack one (empty: none ships).
  std::string FinaliserFile;
};

// What the builder did on its own that the user should hear of, at a script line.
struct TBuildNote {
  int Line = 0;
  std::string Text;
};

// One package entry to be written: from a file on the building machine or from memory.
struct TPackageItem {
  std::string Name;  // UTF-8, "\" separated
  uint16_t Group = 0;
  std::string SourcePath;  // empty for items built in memory
  std::string Bytes;
  bool RecordNotAscii = false;  // a record ("SetupInfo", "CompiledLines") with text that is not ASCII
  bool StorePlain = false;      // bytes that do not compress (differences): stored as they are
};

struct TPatchPlan;

// Whether a layout folder's file is text (no control byte but tab, line feed, carriage return and
// form feed): page and layout files are, pictures and programs are not.
bool IsLayoutText(std::string_view bytes);
// The text with every line feed that no carriage return precedes made CR LF.
std::string WithCrLfLineEnds(std::string_view text);

class TCompiler {
 public:
  explicit TCompiler(TCompilerOptions options);

  void Compile(const std::vector<TScriptLine>& script);
  // The plan of a "patch" line (of Patches): its group's entries and its manifest. Every patch
  // line needs its plan before PackageItems.
  void TakePatchPlan(const TPatchPlan& plan);
  // SetupInfo, CompiledLines, the group-0 files (languages first, patch manifests last), then
  // groups 1 to N.
  std::vector<TPackageItem> PackageItems() const;

  TSetupInfoFile SetupInfo;
  TCompLines CompLines;
  TCompilerFileList FileList;
  std::string OutFile;  // the "outfile" parameter as written
  std::vector<TPatchSource> Patches;  // the "patch" lines, in script order
  std::vector<TBuildNote> Notes;

 private:
  void CompileLine(const TScriptLine& line, TCompiledLine& out);
  void SetRecordField(const TScriptLine& line, int command, TCompiledLine& out);
  void AddGroupOwner(const TScriptLine& line, TCompiledLine& out, const std::string& group_name);
  void AddPatchOwner(const TScriptLine& line, TCompiledLine& out);
  void AddLayout(const TScriptLine& line, const std::string& name, bool uninstaller);
  void AddFinaliser(const TScriptLine& line, const std::string& layout);
  void AddFileEntry(const TScriptLine& line, const std::string& name, const std::string& path, bool language);
  void ResolveLabels();
  // Sets a setting that takes one of two words: the usual one removes it, another word is an error.
  void SetChoice(const TScriptLine& line, const char* setting, const std::string& value, const char* usual,
                 const char* other);
  void PerUserInstallDir();
  std::string Stored(const TScriptLine& line, const std::string& text) const;
  std::string Password(const TScriptLine& line, const std::string& text) const;

  TCompilerOptions options_;
  std::vector<TPackageItem> languages_;  // group-0 language tables, first in the package
  std::vector<TPackageItem> group0_;     // other group-0 files
  std::map<uint16_t, std::string> manifests_;  // group: the manifest of a patch line planned
  int reg_key_slots_used_ = 0;
  int uninstall_pages_line_ = 0;  // the last "uninstallpages", 0 when there is none
  int install_mode_line_ = 0;     // the last "installmode"
  // Jump parameters to resolve once every label is known: line index, parameter index, script line.
  struct TJump {
    size_t Line;
    size_t Param;
    int ScriptLine;
    bool ZeroMeansNone;
  };
  std::vector<TJump> jumps_;
  std::map<std::string, size_t> labels_;  // lower-cased name: position of its last label line
};

}  // namespace setup::builder

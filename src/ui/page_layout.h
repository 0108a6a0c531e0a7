// The wizard's pages, built at run time from the layout script "Pages.txt" and its page files.
//
// Layout script: blocks opened by "[name]" lines: [Pages] lists page files, [PageTypes] gives
// each page its kind, [Settings] the content area's colours. Page file: one block per control,
// "[Name]", then "Type=TLabel" (the type line), then Key=Value lines. Texts go through the text
// chain (<LANGn> tokens, "<BR>", placeholders) and are kept raw so that a language switch can
// expand them again.
//
// The pages and controls here are a model: kinds, names, positions, texts and flags. A view
// (the Windows controls) can follow it; the wizard's flow works on the model alone.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace setup {

enum class TControlKind { Label, Edit, ShellTreeView, Button, Image, Panel, Bevel, Memo, RichEdit, ProgressBar, Radio };

enum TPageType : uint8_t {
  ptWelcome = 0,
  ptChangelog = 1,
  ptInstallDir = 2,
  ptPatch = 3,
  ptPatching = 4,
  ptFinish = 5,
  ptMainLayout = 6,
  ptUninstall = 7,
  ptLanguageSelection = 8,
};

struct TControl {
  TControlKind Kind = TControlKind::Label;
  std::string Name;
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool Enabled = true;
  bool Visible = true;
  bool Checked = false;       // radio buttons
  std::u16string Caption;     // labels, radio buttons, panels, buttons
  std::u16string Text;        // edit fields, memos, rich-text boxes
  std::u16string RawText;     // the unexpanded caption or text, for a language switch
  std::string PictureEntry;   // pictures: the package entry loaded
  bool Tiled = false;         // pictures: tiled over TileWidth x TileHeight, the size when "tile" came
  int TileWidth = 0, TileHeight = 0;
  std::string ContentEntry;   // rich-text boxes: the package entry whose bytes they show
  int Progress = 0, Max = 100;             // gauges
  std::map<std::string, std::string> Style;  // font, colour and other look keys, lower-case key
};

// One of the wizard's buttons as the page set drives it: Back, Next and Cancel follow each
// page; the language button is only hidden, on the pages that patch or uninstall.
struct TButtonModel {
  bool Visible = true;
  bool Enabled = true;
  std::u16string Caption;
};

class TControlParser {
 public:
  explicit TControlParser(std::set<std::string>* names) : names_(names) {}
  void LoadPage(const std::string& entry_name);
  void HideAll();
  void ShowAll();
  void RefreshLanguage();

  std::vector<TControl> Controls;
  TPageType Type = ptWelcome;
  bool SentToBack = false;

 private:
  void CreateControl(const std::vector<std::string>& block);
  void SetProperty(TControl& control, const std::string& key, const std::string& value);
  std::set<std::string>* names_;  // every control name of the page set, lower-cased
};

class TSEPageControl {
 public:
  TSEPageControl(TButtonModel* back, TButtonModel* next, TButtonModel* cancel, TButtonModel* language)
      : back_(back), next_(next), cancel_(cancel), language_(language) {}

  void LoadPages(const std::string& entry_name);
  void ShowPage(int index);
  void RefreshLanguage();
  TControlParser* CurrentPage() { return Valid(Current) ? Pages[static_cast<size_t>(Current)].get() : nullptr; }

  std::vector<std::unique_ptr<TControlParser>> Pages;
  int32_t Current = 0;
  uint32_t PanelColour = 0xFFFFFF;
  uint32_t FontColour = 0x000000;

 private:
  bool Valid(int index) const { return index >= 0 && static_cast<size_t>(index) < Pages.size(); }
  void AddPage(const std::string& entry_name);
  TButtonModel *back_, *next_, *cancel_, *language_;
  std::set<std::string> names_;
};

// The lines of a text entry: cut at carriage returns, each trimmed; empty lines dropped.
std::vector<std::string> EntryLines(const std::string& text);
// Blocks of lines, each opened by a line starting with "[".
std::vector<std::vector<std::string>> SplitBlocks(const std::vector<std::string>& lines);
// A colour written in decimal or as "$" and hexadecimal digits; raises for anything else.
uint32_t ParseColour(const std::string& text);
// A decimal integer; raises "'%s' is not a valid integer value" for anything else.
int ParseInteger(const std::string& text);

}  // namespace setup

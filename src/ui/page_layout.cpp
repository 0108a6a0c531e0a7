// Building the page model from the layout script and the page files.
#include "ui/page_layout.h"

#include <cerrno>
#include <cstdlib>

#include "core/error.h"
#include "core/host.h"
#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "core/text.h"
#include "engine/file_commands.h"

namespace setup {

namespace {

// The text of a group-0 entry up to its first zero byte, as UTF-8: a layout written in UTF-8
// (with or without a byte-order mark) is read so, an older one in the system's code page.
// False when there is no such entry.
bool ReadEntryText(const std::string& name, std::string& text) {
  TPak* pak = Globals().Package.get();
  if (!pak) return false;
  uint64_t size = 0;
  const TBytes bytes = pak->FindByName(name, 0, &size);
  ShowExtractFailure(*pak);
  if (bytes.empty()) return false;
  text.assign(bytes.begin(), bytes.end());
  const size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  text = TextFileToUtf8(text, LegacyTextToUtf8);
  return true;
}

bool Boolean(const std::string& value) { return LowerAscii(value) == "true"; }

bool ValidIdentifier(const std::string& name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::u16string Wide(const std::string& text) { return Utf8ToWide(text); }

std::u16string BreaksOnly(const std::string& value) { return ReplaceText(Wide(value), u"<BR>", u"\r"); }

struct TKindName {
  const char* Keyword;
  TControlKind Kind;
};
constexpr TKindName kKinds[] = {
    {"tlabel", TControlKind::Label},          {"tedit", TControlKind::Edit},
    {"tshelltreeview", TControlKind::ShellTreeView}, {"tbutton", TControlKind::Button},
    {"timage", TControlKind::Image},          {"tpanel", TControlKind::Panel},
    {"tbevel", TControlKind::Bevel},          {"tmemo", TControlKind::Memo},
    {"trichedit", TControlKind::RichEdit},    {"tprogressbar", TControlKind::ProgressBar},
    {"tradio", TControlKind::Radio},
};

struct TPageTypeName {
  const char* Keyword;
  TPageType Type;
};
constexpr TPageTypeName kPageTypes[] = {
    {"welcome", ptWelcome},   {"changelog", ptChangelog},   {"installdir", ptInstallDir},
    {"patch", ptPatch},       {"patching", ptPatching},     {"languageselection", ptLanguageSelection},
    {"uninstall", ptUninstall}, {"finish", ptFinish},       {"mainlayout", ptMainLayout},
};

}  // namespace

std::vector<std::string> EntryLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from <= text.size()) {
    size_t end = text.find('\r', from);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(from, end - from);
    size_t b = 0, e = line.size();
    while (b < e && static_cast<unsigned char>(line[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(line[e - 1]) <= 32) --e;
    if (e > b) lines.push_back(line.substr(b, e - b));
    from = end + 1;
  }
  return lines;
}

std::vector<std::vector<std::string>> SplitBlocks(const std::vector<std::string>& lines) {
  std::vector<std::vector<std::string>> blocks;
  std::vector<std::string> current;
  for (const std::string& line : lines) {
    if (line[0] == '[' && !current.empty()) {
      blocks.push_back(std::move(current));
      current.clear();
    }
    current.push_back(line);
  }
  if (!current.empty()) blocks.push_back(std::move(current));
  return blocks;
}

int ParseInteger(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const bool hex = !text.empty() && text[0] == '$';
  const long value = std::strtol(text.c_str() + (hex ? 1 : 0), &end, hex ? 16 : 10);
  if (text.size() <= (hex ? 1u : 0u) || *end != '\0' || errno == ERANGE || text.find_first_of(" \t") != std::string::npos) {
    throw ESetupError("'" + text + "' is not a valid integer value");
  }
  return static_cast<int>(value);
}

uint32_t ParseColour(const std::string& text) { return static_cast<uint32_t>(ParseInteger(text)); }

// ---------------------------------------------------------------- one page

void TControlParser::LoadPage(const std::string& entry_name) {
  std::string text;
  if (!ReadEntryText(entry_name, text)) {
    Host().ShowMessageBox("Error File Missing: |" + entry_name + "|", "Missing File", kMbOk);
    return;
  }
  for (const auto& block : SplitBlocks(EntryLines(text))) CreateControl(block);
}

void TControlParser::CreateControl(const std::vector<std::string>& block) {
  if (block.size() < 2) return;
  const std::string& head = block[0];
  const std::string name = head.size() >= 2 ? head.substr(1, head.size() - 2) : std::string();
  const std::string keyword = LowerAscii(SplitAtEquals(block[1]).second);
  const TKindName* kind = nullptr;
  for (const TKindName& k : kKinds) {
    if (keyword == k.Keyword) kind = &k;
  }
  if (!kind) return;
  if (!ValidIdentifier(name)) throw ESetupError("'" + name + "' is not a valid component name");
  if (!names_->insert(LowerAscii(name)).second) throw ESetupError("A component named " + name + " already exists");
  TControl control;
  control.Kind = kind->Kind;
  control.Name = name;
  if (control.Kind == TControlKind::Label || control.Kind == TControlKind::Button ||
      control.Kind == TControlKind::Radio || control.Kind == TControlKind::Panel) {
    control.Caption = Wide(name);
  }
  for (size_t i = 2; i < block.size(); ++i) {
    const auto [key, value] = SplitAtEquals(block[i]);
    SetProperty(control, LowerAscii(key), value);
  }
  Controls.push_back(std::move(control));
}

void TControlParser::SetProperty(TControl& c, const std::string& key, const std::string& value) {
  if (key == "left") c.Left = ParseInteger(value);
  else if (key == "top") c.Top = ParseInteger(value);
  else if (key == "width") c.Width = ParseInteger(value);
  else if (key == "height") c.Height = ParseInteger(value);
  else if (key == "enabled") c.Enabled = Boolean(value);
  if (key == "left" || key == "top" || key == "width" || key == "height" || key == "enabled") return;

  using K = TControlKind;
  const bool font = c.Kind == K::Label || c.Kind == K::Radio || c.Kind == K::Edit || c.Kind == K::Panel ||
                    c.Kind == K::Memo || c.Kind == K::RichEdit;
  if (font && key == "fontcolour") {
    c.Style[key] = std::to_string(ParseColour(value));
    return;
  }
  if (font && (key == "fontface" || key == "fontbold")) {
    c.Style[key] = value;
    return;
  }
  if (font && key == "fontsize") {
    c.Style[key] = std::to_string(ParseInteger(value));
    return;
  }
  switch (c.Kind) {
    case K::Label:
    case K::Radio:
    case K::Panel:
      if (key == "caption") {
        c.RawText = Wide(value);
        c.Caption = ExpandTextChain(c.RawText);
      } else if (c.Kind == K::Radio && key == "checked") {
        c.Checked = Boolean(value);
      } else if (c.Kind == K::Label && (key == "autosize" || key == "wordwrap" || key == "transparent")) {
        c.Style[key] = value;
      }
      break;
    case K::Edit:
      if (key == "text") {
        c.RawText = Wide(value);
        c.Text = ExpandTextChain(c.RawText);
      } else if (key == "colour") {
        c.Style[key] = std::to_string(ParseColour(value));
      } else if (key == "border" || key == "autosize") {
        c.Style[key] = value;
      }
      break;
    case K::Memo:
    case K::RichEdit:
      if (key == "text") {
        c.Text = BreaksOnly(value);
      } else if (key == "border") {
        c.Style[key] = value;
      } else if (c.Kind == K::RichEdit && key == "colour") {
        c.Style[key] = std::to_string(ParseColour(value));
      } else if (c.Kind == K::RichEdit && key == "file") {
        const std::string entry = WideToUtf8(LanguageStrings().ExpandPlaceholders(Wide(value)));
        std::string content;
        if (entry.empty()) {
          // A setup without a change log leaves "<%CHANGELOG%>" empty: nothing to load.
        } else if (ReadEntryText(entry, content)) {
          c.Text = Wide(content);
          c.ContentEntry = entry;
        } else {
          Host().ShowMessageBox("Error: File \"" + entry + "\" Missing", "Rich Edit Error", kMbOk);
        }
      }
      break;
    case K::ShellTreeView:
      if (key == "colour" || key == "fontcolour" || key == "fontselcolour" || key == "selcolour") {
        c.Style[key] = std::to_string(ParseColour(value));
      } else if (key == "border") {
        c.Style[key] = value;
      }
      break;
    case K::ProgressBar:
      if (key == "forecolour" || key == "backcolour") c.Style[key] = std::to_string(ParseColour(value));
      break;
    case K::Image:
      if (key == "file") {
        // A missing entry is passed over; the view decodes what the entry holds.
        if (Globals().Package && Globals().Package->IndexOfName(value, 0) >= 0) c.PictureEntry = value;
      } else if (key == "tile") {
        // Only a picture already loaded can be tiled: "tile" before "file" does nothing.
        if (Boolean(value) && !c.PictureEntry.empty()) {
          c.Tiled = true;
          c.TileWidth = c.Width;
          c.TileHeight = c.Height;
        }
      } else if (key == "stretch" || key == "center" || key == "transparent") {
        c.Style[key] = value;
      }
      break;
    case K::Button:
    case K::Bevel:
      break;
  }
}

void TControlParser::HideAll() {
  for (TControl& c : Controls) c.Visible = false;
}

void TControlParser::ShowAll() {
  for (TControl& c : Controls) c.Visible = true;
}

void TControlParser::RefreshLanguage() {
  for (TControl& c : Controls) {
    if (c.Kind == TControlKind::Label || c.Kind == TControlKind::Radio || c.Kind == TControlKind::Panel) {
      c.Caption = ExpandTextChain(c.RawText);
    }
  }
}

// ---------------------------------------------------------------- the page set

void TSEPageControl::LoadPages(const std::string& entry_name) {
  std::string text;
  if (!ReadEntryText(entry_name, text)) {
    Host().ShowMessageBox("Error File Missing: " + entry_name, "Missing File", kMbOk);
    return;
  }
  for (const auto& block : SplitBlocks(EntryLines(text))) {
    const std::string& head = block[0];
    const std::string name = LowerAscii(head.size() >= 2 ? head.substr(1, head.size() - 2) : std::string());
    if (name == "pages") {
      for (size_t i = 1; i < block.size(); ++i) AddPage(block[i]);
    } else if (name == "settings") {
      for (size_t i = 1; i < block.size(); ++i) {
        const std::string& line = block[i];
        if (SameTextAscii(line.substr(0, 6), "colour")) {
          PanelColour = ParseColour(line.size() > 7 ? line.substr(7) : std::string());
        } else if (SameTextAscii(line.substr(0, 10), "fontcolour")) {
          FontColour = ParseColour(line.size() > 11 ? line.substr(11) : std::string());
        }
      }
    } else if (name == "pagetypes") {
      // Lines beyond the pages address no page and are passed over.
      for (size_t i = 1; i < block.size() && i - 1 < Pages.size(); ++i) {
        TControlParser& page = *Pages[i - 1];
        for (const TPageTypeName& t : kPageTypes) {
          if (SameTextAscii(block[i], t.Keyword)) page.Type = t.Type;
        }
        if (page.Type == ptMainLayout) {
          page.ShowAll();
          page.SentToBack = true;
        }
      }
    }
  }
}

void TSEPageControl::AddPage(const std::string& entry_name) {
  auto page = std::make_unique<TControlParser>(&names_);
  page->LoadPage(entry_name);
  page->HideAll();
  Pages.push_back(std::move(page));
  if (Pages.size() == 1) ShowPage(0);
}

void TSEPageControl::ShowPage(int index) {
  if (!Valid(index)) return;
  Current = index;
  const TPageType type = Pages[static_cast<size_t>(index)]->Type;
  back_->Visible = index != 0;
  next_->Enabled = true;
  next_->Caption = GetString(kStrNext);
  cancel_->Enabled = true;
  if (type == ptPatch) next_->Caption = GetString(kStrInstall);
  if (type == ptPatching || type == ptUninstall) {
    back_->Visible = false;
    next_->Enabled = false;
    cancel_->Enabled = false;
    language_->Visible = false;
  }
  if (type == ptFinish) {
    back_->Visible = false;
    next_->Visible = false;
    cancel_->Caption = GetString(kStrFinish);
  }
  for (size_t i = 0; i < Pages.size(); ++i) {
    if (static_cast<int>(i) == index || Pages[i]->Type == ptMainLayout) Pages[i]->ShowAll();
    else Pages[i]->HideAll();
  }
}

void TSEPageControl::RefreshLanguage() {
  for (auto& page : Pages) page->RefreshLanguage();
}

}  // namespace setup

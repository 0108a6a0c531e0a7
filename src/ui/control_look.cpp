// Typed look of a page control and the window's geometry.
#include "ui/control_look.h"

#include <cstdlib>

#include "core/text.h"

namespace setup {

namespace {

const std::string* Key(const TControl& control, const char* key) {
  auto found = control.Style.find(key);
  return found == control.Style.end() ? nullptr : &found->second;
}

bool Flag(const TControl& control, const char* key, bool otherwise) {
  const std::string* value = Key(control, key);
  return value ? LowerAscii(*value) == "true" : otherwise;
}

// Colours are checked when the page is read; a value that is not a number there never
// arrives here, so a bad one here is treated as unset rather than raised twice.
std::optional<uint32_t> Colour(const TControl& control, const char* key) {
  const std::string* value = Key(control, key);
  if (!value) return std::nullopt;
  try {
    return ParseColour(*value);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

TControlLook ControlLook(const TControl& c) {
  TControlLook look;
  if (const std::string* face = Key(c, "fontface")) look.Font.Face = *face;
  if (const std::string* size = Key(c, "fontsize")) look.Font.Size = std::atoi(size->c_str());
  look.Font.Bold = Flag(c, "fontbold", false);
  look.Font.Colour = Colour(c, "fontcolour");
  look.AutoSize = Flag(c, "autosize", c.Kind == TControlKind::Label);
  look.WordWrap = Flag(c, "wordwrap", false);
  look.Transparent = Flag(c, "transparent", false);
  // Fields, text boxes and trees have a single border unless the page says otherwise.
  const bool boxed = c.Kind == TControlKind::Edit || c.Kind == TControlKind::Memo ||
                     c.Kind == TControlKind::RichEdit || c.Kind == TControlKind::ShellTreeView;
  look.Border = Flag(c, "border", boxed);
  look.Background = Colour(c, "colour");
  look.Stretch = Flag(c, "stretch", false);
  look.Center = Flag(c, "center", false);
  look.ForeColour = Colour(c, "forecolour");
  look.BackColour = Colour(c, "backcolour");
  look.SelFontColour = Colour(c, "fontselcolour");
  look.SelColour = Colour(c, "selcolour");
  return look;
}

int ScaleLength(int value, int dpi) {
  const int64_t scaled = static_cast<int64_t>(value) * dpi;
  // Half away from zero, as MulDiv rounds.
  return static_cast<int>(scaled >= 0 ? (scaled + 48) / 96 : -((-scaled + 48) / 96));
}

TPoint LanguagePopupPosition(int window_left, int window_top, int window_width, int window_height,
                             int client_width, int client_height, int button_left, int button_top,
                             int button_height) {
  return {window_left + (window_width - client_width) + button_left - 4,
          window_top + (window_height - client_height) + button_top + button_height - 4};
}

}  // namespace setup

// What a view needs to draw a page control, read once from the page model: the look keys of
// the page file parsed into typed values, and the window's geometry at a given DPI.
//
// The page model keeps each control's look keys as the page file wrote them (lower-cased key,
// value as it stands). A view must not parse strings; ControlLook gives it fonts, colours and
// flags with the toolkit's defaults filled in (labels size themselves to their text unless
// told otherwise; a label paints the page's colour behind its text unless transparent).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ui/page_layout.h"

namespace setup {

struct TFontLook {
  std::string Face;              // empty: the window's font ("MS Shell Dlg 2")
  int Size = 0;                  // points; 0: the window's size
  bool Bold = false;
  std::optional<uint32_t> Colour;  // unset: the parent's font colour
};

struct TControlLook {
  TFontLook Font;
  bool AutoSize = false;     // labels: the size follows the text
  bool WordWrap = false;     // labels: the text wraps at the width
  bool Transparent = false;  // labels: no background; pictures: see TPictureModes
  bool Border = false;       // edit fields, memos, rich-text boxes, folder trees
  std::optional<uint32_t> Background;  // edit fields, rich-text boxes, folder trees
  // Pictures.
  bool Stretch = false, Center = false;
  // Gauges: both gradient colours and the unfilled part.
  std::optional<uint32_t> ForeColour, BackColour;
  // Folder trees: the custom item colours.
  std::optional<uint32_t> SelFontColour, SelColour;
};

TControlLook ControlLook(const TControl& control);

// The wizard window's fixed geometry in 96-DPI pixels.
constexpr int kClientWidth = 578;
constexpr int kClientHeight = 413;
constexpr int kPanelHeight = 375;

// A layout length at a DPI (96 gives the length itself), rounded to nearest like MulDiv.
int ScaleLength(int value, int dpi);

struct TPoint {
  int X = 0, Y = 0;
};

// Where the language menu pops up: level with the language button's left edge (less 4) and
// just under it, in screen coordinates, from the window's outer rectangle and client size.
TPoint LanguagePopupPosition(int window_left, int window_top, int window_width, int window_height,
                             int client_width, int client_height, int button_left, int button_top,
                             int button_height);

}  // namespace setup

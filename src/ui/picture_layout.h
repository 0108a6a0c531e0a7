// Where a page's picture lands in its control, and how its pixels are rescaled for the screen.
//
// A picture is laid out in 96-DPI pixels: at another DPI its natural size is scaled by dpi/96
// before it is placed. Plain pictures sit at the control's top-left corner at that size, centred
// ones in the middle (sticking out on every side when larger), stretched ones fill the control;
// whatever falls outside the control is clipped. A tiled picture is a control-sized bitmap made
// of copies of the loaded one laid edge to edge from the top-left corner.
//
// Pixels are 32-bit premultiplied BGRA (blue in the low byte, alpha in the high byte), the form
// in which they are decoded and blended. Rescaling is done here once per size, smoothly (a
// triangle filter that widens when shrinking), so that a repaint only copies.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace setup {

// Pictures and their scaled copies larger than this are refused: decoding and drawing them
// would take more memory than a 32-bit setup can spare (64 MiB of pixels at most).
constexpr int kMaxPictureSide = 16384;
constexpr int64_t kMaxPicturePixels = int64_t{16} * 1024 * 1024;

// The DPI at which layout coordinates are given.
constexpr int kLayoutDpi = 96;

struct TPictureModes {
  bool Stretch = false;      // scale the picture to fill the control
  bool Center = false;       // centre the picture (stretching wins when both are set)
  bool Transparent = false;  // a picture without alpha leaves its bottom-left colour unpainted
};

// A rectangle relative to the control's top-left corner.
struct TPictureRect {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
  bool Empty() const { return Width <= 0 || Height <= 0; }
  bool operator==(const TPictureRect&) const = default;
};

struct TTileOrigin {
  int X = 0;
  int Y = 0;
  bool operator==(const TTileOrigin&) const = default;
};

// True when a picture of this size may be held in memory.
bool PictureSizeAllowed(int64_t width, int64_t height);

// A layout length at the given DPI, rounded to nearest (as the window's own scaling rounds).
int ScaleToDpi(int length, int dpi);

// Where the copies of a tile_width x tile_height picture go in a width x height tiled picture:
// (a * tile_width, b * tile_height) for every a = 0 .. width div tile_width and
// b = 0 .. height div tile_height, row by row. The last row and column are partly clipped, or,
// at exact multiples, wholly outside. None when a size is not positive.
std::vector<TTileOrigin> TileOrigins(int width, int height, int tile_width, int tile_height);

// The rectangle a picture_width x picture_height picture is drawn to in a control of
// control_width x control_height device pixels at the given DPI. Not clipped: a centred picture
// larger than its control has negative offsets.
TPictureRect PictureDestination(int control_width, int control_height, int picture_width, int picture_height,
                                const TPictureModes& modes, int dpi);

// The part of a destination rectangle that lies inside the control.
TPictureRect VisiblePart(const TPictureRect& destination, int control_width, int control_height);

// The window part of the picture rescaled to scaled_width x scaled_height, as window.Width x
// window.Height pixels, row by row. The window is given in scaled coordinates and must lie
// inside the scaled picture; empty when it does not or when a size is not positive.
std::vector<uint32_t> ResamplePixels(std::span<const uint32_t> pixels, int width, int height, int scaled_width,
                                     int scaled_height, const TPictureRect& window);

}  // namespace setup

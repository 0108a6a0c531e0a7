// A small drawing surface for the controls the wizard paints itself. The Windows view draws
// with GDI; the tests draw into memory. Coordinates are device pixels of the control, origin
// at its top-left corner; drawing outside the surface is clipped.
//
// Every operation follows GDI's rules, so that a control draws the same pixels on both: a
// rectangle (X0, Y0) - (X1, Y1) covers columns X0 … X1 - 1 and rows Y0 … Y1 - 1, and a line
// covers its start point but not its end point. Colours are Windows colour values (red in the
// low byte, no flags in the high byte).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace setup {

struct TCanvasPoint {
  int X = 0, Y = 0;
};

struct TCanvasRect {
  int X0 = 0, Y0 = 0, X1 = 0, Y1 = 0;
  int Width() const { return X1 - X0; }
  int Height() const { return Y1 - Y0; }
  bool Empty() const { return X1 <= X0 || Y1 <= Y0; }
};

class TCanvas {
 public:
  virtual ~TCanvas() = default;

  // Fills the rectangle with a colour.
  virtual void FillRect(const TCanvasRect& rect, uint32_t colour) = 0;
  // A 1-pixel solid line through the points; each segment is horizontal or vertical.
  virtual void Polyline(std::span<const TCanvasPoint> points, uint32_t colour) = 0;
  // The 1-pixel outline of the rectangle (its last column and row are X1 - 1 and Y1 - 1);
  // the inside is left as it is.
  virtual void FrameRect(const TCanvasRect& rect, uint32_t colour) = 0;
  // Stretches a bitmap of one colour per row (each row one colour across its whole width)
  // into the rectangle; see StretchSourceRow for which row lands where.
  virtual void StretchRows(const TCanvasRect& rect, std::span<const uint32_t> rows) = 0;
  // Writes the text on one line in the surface's font and text colour, centred horizontally
  // and vertically in the rectangle, leaving the background as it is.
  virtual void DrawCentredText(const std::u16string& text, const TCanvasRect& rect) = 0;
};

// The source row a stretch shows in row `row` (0-based) of a rectangle `height` rows high, for
// a bitmap of `source_height` rows: the nearest-neighbour mapping of a plain stretch.
inline int StretchSourceRow(int row, int height, int source_height) {
  return static_cast<int>(static_cast<int64_t>(row) * source_height / height);
}

}  // namespace setup

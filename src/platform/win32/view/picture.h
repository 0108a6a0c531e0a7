// A picture on a wizard page: decoded once from a package entry's bytes by the system's imaging
// component (bitmap, JPEG, PNG, GIF and whatever else it knows), kept as premultiplied 32-bit
// pixels and drawn windowless into the content panel's memory DC.
//
// Drawing places the picture in its control's rectangle (plain, stretched or centred, scaled by
// dpi/96) and copies only the part that shows. That part is rescaled once and kept as a ready
// bitmap, so repainting at the same size is a single blend.
#pragma once

#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "ui/picture_layout.h"

namespace setup::win32 {

class TPicture {
 public:
  TPicture() = default;
  TPicture(const TPicture&) = delete;
  TPicture& operator=(const TPicture&) = delete;
  TPicture(TPicture&&) noexcept = default;
  TPicture& operator=(TPicture&&) noexcept = default;

  // Decodes the first frame of an encoded picture held in memory. False, leaving the picture
  // empty, for bytes the imaging component cannot decode, a damaged or cut-off picture, or one
  // larger than the pixel limits. COM must be initialised on the calling thread.
  bool Load(const uint8_t* data, size_t size);

  bool Empty() const { return width_ == 0 || height_ == 0; }
  int Width() const { return width_; }    // natural size in pixels
  int Height() const { return height_; }
  bool HasAlpha() const { return has_alpha_; }  // some pixel is not fully opaque

  // Becomes a width x height picture (the control's size in layout pixels) covered with copies
  // of the current one from the top-left corner on. Ignored when the picture is empty or the
  // size is not positive or beyond the pixel limits. A tiled picture drawn transparent keys the
  // colour of its own bottom-left pixel, which is the copy's pixel that lands there.
  void Tile(int width, int height);

  // Draws into the control's rectangle (device pixels), clipped to it. A picture without alpha
  // drawn with modes.Transparent leaves its bottom-left pixel's colour unpainted.
  void Draw(HDC dc, int x, int y, int width, int height, const TPictureModes& modes, int dpi);

 private:
  struct TBitmapDeleter {
    void operator()(std::remove_pointer_t<HBITMAP>* bitmap) const { DeleteObject(bitmap); }
  };
  using TBitmapOwner = std::unique_ptr<std::remove_pointer_t<HBITMAP>, TBitmapDeleter>;

  // The visible part of the picture as last drawn, scaled and ready to copy.
  struct TDrawCache {
    TBitmapOwner Bitmap;
    int ScaledWidth = 0;   // the whole picture's drawn size
    int ScaledHeight = 0;
    TPictureRect Part;     // the visible part, in the scaled picture's coordinates
    bool Keyed = false;    // the bottom-left colour was made transparent
  };

  bool UpdateCache(int scaled_width, int scaled_height, const TPictureRect& part, bool keyed);
  void Clear();

  std::vector<uint32_t> pixels_;  // premultiplied BGRA, row by row from the top
  int width_ = 0;
  int height_ = 0;
  bool has_alpha_ = false;
  TDrawCache cache_;
};

}  // namespace setup::win32

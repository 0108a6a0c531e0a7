// Pictures of the wizard's pages: decoding through the system's imaging component, tiling, and
// drawing the visible part of the picture from a cached, already scaled bitmap.
//
// Every picture is converted to premultiplied BGRA when it is decoded, whatever its format, so
// that one drawing path serves them all: pictures with transparent pixels are blended
// (AlphaBlend wants premultiplied pixels), opaque ones are copied. The bottom-left colour of a
// "transparent" picture without alpha is keyed out on the cached copy, before scaling, so its
// edges blend softly at high DPI instead of leaving a fringe of the key colour.
#include "platform/win32/view/picture.h"

#include <wincodec.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <utility>

namespace setup::win32 {

namespace {

// Owns one COM interface pointer.
template <class T>
class TComPtr {
 public:
  TComPtr() = default;
  ~TComPtr() {
    if (p_) p_->Release();
  }
  TComPtr(const TComPtr&) = delete;
  TComPtr& operator=(const TComPtr&) = delete;
  T* operator->() const { return p_; }
  T* Get() const { return p_; }
  T** Receive() { return &p_; }  // for a call that hands out a new reference; the holder is empty
  void** ReceiveVoid() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

// A memory DC with a bitmap selected into it for the length of one copy.
class TSourceDc {
 public:
  TSourceDc(HDC like, HBITMAP bitmap) : dc_(CreateCompatibleDC(like)) {
    if (dc_) old_ = SelectObject(dc_, bitmap);
  }
  ~TSourceDc() {
    if (!dc_) return;
    SelectObject(dc_, old_);
    DeleteDC(dc_);
  }
  TSourceDc(const TSourceDc&) = delete;
  TSourceDc& operator=(const TSourceDc&) = delete;
  HDC Get() const { return old_ ? dc_ : nullptr; }

 private:
  HDC dc_ = nullptr;
  HGDIOBJ old_ = nullptr;
};

// Decodes the first frame into premultiplied BGRA; false on any failure of the imaging
// component and for pictures beyond the limits.
bool Decode(const uint8_t* data, size_t size, std::vector<uint32_t>& pixels, int& width, int& height) {
  if (!data || size == 0 || size > MAXDWORD) return false;
  TComPtr<IWICImagingFactory> factory;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                              factory.ReceiveVoid()))) {
    return false;
  }
  // The stream reads the caller's bytes in place; they outlive every object made here.
  TComPtr<IWICStream> stream;
  if (FAILED(factory->CreateStream(stream.Receive()))) return false;
  if (FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size)))) return false;
  TComPtr<IWICBitmapDecoder> decoder;
  if (FAILED(factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                              decoder.Receive()))) {
    return false;
  }
  TComPtr<IWICBitmapFrameDecode> frame;
  if (FAILED(decoder->GetFrame(0, frame.Receive()))) return false;
  UINT frame_width = 0, frame_height = 0;
  if (FAILED(frame->GetSize(&frame_width, &frame_height))) return false;
  if (!PictureSizeAllowed(frame_width, frame_height)) return false;
  TComPtr<IWICFormatConverter> converter;
  if (FAILED(factory->CreateFormatConverter(converter.Receive()))) return false;
  if (FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr,
                                   0.0, WICBitmapPaletteTypeCustom))) {
    return false;
  }
  // Within the limits these products stay far below 2^32.
  const UINT stride = frame_width * 4;
  std::vector<uint32_t> decoded(static_cast<size_t>(frame_width) * frame_height);
  if (FAILED(converter->CopyPixels(nullptr, stride, stride * frame_height, reinterpret_cast<BYTE*>(decoded.data())))) {
    return false;
  }
  pixels = std::move(decoded);
  width = static_cast<int>(frame_width);
  height = static_cast<int>(frame_height);
  return true;
}

}  // namespace

bool TPicture::Load(const uint8_t* data, size_t size) {
  Clear();
  try {
    std::vector<uint32_t> pixels;
    int width = 0, height = 0;
    if (!Decode(data, size, pixels, width, height)) return false;
    has_alpha_ = std::any_of(pixels.begin(), pixels.end(), [](uint32_t p) { return (p >> 24) != 0xFF; });
    pixels_ = std::move(pixels);
    width_ = width;
    height_ = height;
    return true;
  } catch (const std::bad_alloc&) {
    Clear();
    return false;
  }
}

void TPicture::Tile(int width, int height) {
  if (Empty() || !PictureSizeAllowed(width, height)) return;
  try {
    std::vector<uint32_t> tiled(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (const TTileOrigin& origin : TileOrigins(width, height, width_, height_)) {
      // At exact multiples the last copies start on the edge and draw nothing.
      if (origin.X >= width || origin.Y >= height) continue;
      const int columns = std::min(width_, width - origin.X);
      const int rows = std::min(height_, height - origin.Y);
      for (int y = 0; y < rows; ++y) {
        std::memcpy(&tiled[static_cast<size_t>(origin.Y + y) * width + origin.X],
                    &pixels_[static_cast<size_t>(y) * width_], static_cast<size_t>(columns) * sizeof(uint32_t));
      }
    }
    pixels_ = std::move(tiled);
    width_ = width;
    height_ = height;
    cache_ = {};
  } catch (const std::bad_alloc&) {
    // The picture stays as it was.
  }
}

void TPicture::Draw(HDC dc, int x, int y, int width, int height, const TPictureModes& modes, int dpi) {
  if (!dc || Empty() || width <= 0 || height <= 0 || dpi <= 0) return;
  const TPictureRect destination = PictureDestination(width, height, width_, height_, modes, dpi);
  const TPictureRect visible = VisiblePart(destination, width, height);
  if (visible.Empty() || !PictureSizeAllowed(visible.Width, visible.Height)) return;
  const TPictureRect part{visible.Left - destination.Left, visible.Top - destination.Top, visible.Width,
                          visible.Height};
  const bool keyed = modes.Transparent && !has_alpha_;
  if (!UpdateCache(destination.Width, destination.Height, part, keyed)) return;

  TSourceDc source(dc, cache_.Bitmap.get());
  if (!source.Get()) return;
  const int left = x + visible.Left;
  const int top = y + visible.Top;
  if (has_alpha_ || keyed) {
    const BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(dc, left, top, part.Width, part.Height, source.Get(), 0, 0, part.Width, part.Height, blend);
  } else {
    BitBlt(dc, left, top, part.Width, part.Height, source.Get(), 0, 0, SRCCOPY);
  }
}

bool TPicture::UpdateCache(int scaled_width, int scaled_height, const TPictureRect& part, bool keyed) {
  if (cache_.Bitmap && cache_.ScaledWidth == scaled_width && cache_.ScaledHeight == scaled_height &&
      cache_.Part == part && cache_.Keyed == keyed) {
    return true;
  }
  cache_ = {};
  try {
    std::vector<uint32_t> keyed_pixels;
    std::span<const uint32_t> source = pixels_;
    if (keyed) {
      // Every pixel of the bottom-left pixel's colour becomes fully transparent.
      keyed_pixels = pixels_;
      const uint32_t key = pixels_[static_cast<size_t>(height_ - 1) * width_];
      for (uint32_t& p : keyed_pixels) {
        if (p == key) p = 0;
      }
      source = keyed_pixels;
    }
    std::vector<uint32_t> drawn;
    if (scaled_width == width_ && scaled_height == height_) {
      drawn.resize(static_cast<size_t>(part.Width) * part.Height);
      for (int row = 0; row < part.Height; ++row) {
        std::memcpy(&drawn[static_cast<size_t>(row) * part.Width],
                    &source[static_cast<size_t>(part.Top + row) * width_ + part.Left],
                    static_cast<size_t>(part.Width) * sizeof(uint32_t));
      }
    } else {
      drawn = ResamplePixels(source, width_, height_, scaled_width, scaled_height, part);
      if (drawn.empty()) return false;
    }

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = part.Width;
    info.bmiHeader.biHeight = -part.Height;  // top-down, like the pixel rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    TBitmapOwner bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || !bits) return false;
    std::memcpy(bits, drawn.data(), drawn.size() * sizeof(uint32_t));
    cache_.Bitmap = std::move(bitmap);
    cache_.ScaledWidth = scaled_width;
    cache_.ScaledHeight = scaled_height;
    cache_.Part = part;
    cache_.Keyed = keyed;
    return true;
  } catch (const std::bad_alloc&) {
    cache_ = {};
    return false;
  }
}

void TPicture::Clear() {
  pixels_ = {};
  width_ = 0;
  height_ = 0;
  has_alpha_ = false;
  cache_ = {};
}

}  // namespace setup::win32

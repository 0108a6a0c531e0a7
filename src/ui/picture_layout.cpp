// Placement of pictures in their controls, the tiling grid and the smooth rescaling of
// premultiplied pixels.
//
// Rescaling is separable: each output column (then row) is a weighted sum of the source samples
// whose centres lie within one filter radius of the output sample's centre, mapped back into the
// source. The weights fall off linearly (a triangle); the radius is one source pixel when
// enlarging (plain bilinear) and one output pixel's width in the source when shrinking, so every
// source pixel contributes and fine detail averages out instead of flickering. Samples beyond
// the edge are left out and the weights renormalised, so the edges keep their colour. Working on
// premultiplied values keeps transparent pixels from bleeding their (meaningless) colour.
#include "ui/picture_layout.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace setup {

namespace {

// The source samples that make up one output sample.
struct TTap {
  int First = 0;    // first source index
  int Count = 0;    // number of consecutive source indices
  size_t Offset = 0;  // where their weights start in the weight list
};

struct TTaps {
  std::vector<TTap> Taps;
  std::vector<float> Weights;
};

// The taps for output samples from .. from + count - 1 of a source axis of `source` samples
// scaled to `scaled`.
TTaps MakeTaps(int source, int scaled, int from, int count) {
  TTaps result;
  result.Taps.reserve(static_cast<size_t>(count));
  const double ratio = static_cast<double>(source) / scaled;
  const double radius = std::max(1.0, ratio);
  for (int i = from; i < from + count; ++i) {
    const double centre = (i + 0.5) * ratio - 0.5;
    // Samples strictly closer than the radius have a positive weight.
    const int first = std::max(0, static_cast<int>(std::floor(centre - radius)) + 1);
    const int last = std::min(source - 1, static_cast<int>(std::ceil(centre + radius)) - 1);
    TTap tap;
    tap.First = first;
    tap.Count = std::max(last - first + 1, 0);
    tap.Offset = result.Weights.size();
    double sum = 0;
    for (int j = first; j <= last; ++j) {
      const double weight = std::max(1.0 - std::fabs(j - centre) / radius, 0.0);
      result.Weights.push_back(static_cast<float>(weight));
      sum += weight;
    }
    if (sum <= 0) {
      // Only rounding at the very edge could get here: fall back to the nearest sample.
      result.Weights.resize(tap.Offset);
      result.Weights.push_back(1.0f);
      tap.First = std::clamp(static_cast<int>(std::lround(centre)), 0, source - 1);
      tap.Count = 1;
      sum = 1;
    }
    for (int k = 0; k < tap.Count; ++k) {
      float& weight = result.Weights[tap.Offset + static_cast<size_t>(k)];
      weight = static_cast<float>(weight / sum);
    }
    result.Taps.push_back(tap);
  }
  return result;
}

// Weighted sum of `count` pixels `stride` apart, each channel rounded to a byte.
uint32_t Blend(const uint32_t* first, size_t stride, const float* weights, int count) {
  float b = 0, g = 0, r = 0, a = 0;
  for (int k = 0; k < count; ++k) {
    const uint32_t p = first[k * stride];
    const float w = weights[k];
    b += w * static_cast<float>(p & 0xFF);
    g += w * static_cast<float>((p >> 8) & 0xFF);
    r += w * static_cast<float>((p >> 16) & 0xFF);
    a += w * static_cast<float>(p >> 24);
  }
  auto channel = [](float v) { return static_cast<uint32_t>(std::clamp(v + 0.5f, 0.0f, 255.0f)); };
  return channel(b) | channel(g) << 8 | channel(r) << 16 | channel(a) << 24;
}

}  // namespace

bool PictureSizeAllowed(int64_t width, int64_t height) {
  return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
         width * height <= kMaxPicturePixels;
}

int ScaleToDpi(int length, int dpi) {
  const int64_t product = int64_t{length} * dpi;
  const int64_t half = kLayoutDpi / 2;
  const int64_t scaled = product >= 0 ? (product + half) / kLayoutDpi : -((-product + half) / kLayoutDpi);
  return static_cast<int>(std::clamp<int64_t>(scaled, INT_MIN, INT_MAX));
}

std::vector<TTileOrigin> TileOrigins(int width, int height, int tile_width, int tile_height) {
  std::vector<TTileOrigin> origins;
  if (width <= 0 || height <= 0 || tile_width <= 0 || tile_height <= 0) return origins;
  const int columns = width / tile_width + 1;
  const int rows = height / tile_height + 1;
  origins.reserve(static_cast<size_t>(columns) * static_cast<size_t>(rows));
  for (int b = 0; b < rows; ++b) {
    for (int a = 0; a < columns; ++a) origins.push_back({a * tile_width, b * tile_height});
  }
  return origins;
}

TPictureRect PictureDestination(int control_width, int control_height, int picture_width, int picture_height,
                                const TPictureModes& modes, int dpi) {
  control_width = std::max(control_width, 0);
  control_height = std::max(control_height, 0);
  if (modes.Stretch) return {0, 0, control_width, control_height};
  const int width = std::max(ScaleToDpi(picture_width, dpi), 0);
  const int height = std::max(ScaleToDpi(picture_height, dpi), 0);
  if (modes.Center) {
    // An odd remainder leaves the extra pixel on the right and below, inside or outside.
    const int left = static_cast<int>((int64_t{control_width} - width) / 2);
    const int top = static_cast<int>((int64_t{control_height} - height) / 2);
    return {left, top, width, height};
  }
  return {0, 0, width, height};
}

TPictureRect VisiblePart(const TPictureRect& destination, int control_width, int control_height) {
  const int64_t left = std::max<int64_t>(destination.Left, 0);
  const int64_t top = std::max<int64_t>(destination.Top, 0);
  const int64_t right = std::min<int64_t>(int64_t{destination.Left} + destination.Width, control_width);
  const int64_t bottom = std::min<int64_t>(int64_t{destination.Top} + destination.Height, control_height);
  if (right <= left || bottom <= top) return {};
  return {static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
          static_cast<int>(bottom - top)};
}

std::vector<uint32_t> ResamplePixels(std::span<const uint32_t> pixels, int width, int height, int scaled_width,
                                     int scaled_height, const TPictureRect& window) {
  if (width <= 0 || height <= 0 || scaled_width <= 0 || scaled_height <= 0 || window.Empty()) return {};
  if (pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(height)) return {};
  if (window.Left < 0 || window.Top < 0 || window.Width > scaled_width - window.Left ||
      window.Height > scaled_height - window.Top) {
    return {};
  }
  const TTaps columns = MakeTaps(width, scaled_width, window.Left, window.Width);
  const TTaps rows = MakeTaps(height, scaled_height, window.Top, window.Height);

  // Only the source rows that some output row reads are scaled across.
  const int first_row = rows.Taps.front().First;
  const int last_row = rows.Taps.back().First + rows.Taps.back().Count - 1;
  const size_t out_width = static_cast<size_t>(window.Width);
  std::vector<uint32_t> across(static_cast<size_t>(last_row - first_row + 1) * out_width);
  for (int y = first_row; y <= last_row; ++y) {
    const uint32_t* source_row = pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
    uint32_t* target = across.data() + static_cast<size_t>(y - first_row) * out_width;
    for (size_t x = 0; x < out_width; ++x) {
      const TTap& tap = columns.Taps[x];
      target[x] = Blend(source_row + tap.First, 1, columns.Weights.data() + tap.Offset, tap.Count);
    }
  }

  std::vector<uint32_t> result(out_width * static_cast<size_t>(window.Height));
  for (int y = 0; y < window.Height; ++y) {
    const TTap& tap = rows.Taps[static_cast<size_t>(y)];
    const uint32_t* column_start = across.data() + static_cast<size_t>(tap.First - first_row) * out_width;
    uint32_t* target = result.data() + static_cast<size_t>(y) * out_width;
    for (size_t x = 0; x < out_width; ++x) {
      target[x] = Blend(column_start + x, out_width, rows.Weights.data() + tap.Offset, tap.Count);
    }
  }
  return result;
}

}  // namespace setup

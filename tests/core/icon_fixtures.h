// Icon files for tests, built byte by byte: the native tests of the icon reader, the fuzz seeds
// and the Windows tests that put an icon into an executable share them.
#pragma once

#include <cstdint>
#include <string>

#include "core/byte_order.h"
#include "core/icon_file.h"

namespace setup::testing {

// A 16x16 true-colour icon image: BITMAPINFOHEADER (height doubled for the mask), pixels, mask.
inline std::string IconImage(uint8_t shade) {
  std::string image;
  AppendLE32(image, 40);
  AppendLE32(image, 16);
  AppendLE32(image, 32);
  AppendLE16(image, 1);
  AppendLE16(image, 32);
  for (int i = 0; i < 6; ++i) AppendLE32(image, 0);
  for (int pixel = 0; pixel < 16 * 16; ++pixel) {
    image += static_cast<char>(shade);
    image += static_cast<char>(pixel);
    image += static_cast<char>(255 - pixel);
    image += '\xff';
  }
  image.append(16 * 4, '\0');  // AND mask, rows padded to 32 bits
  return image;
}

// A 16x16 32-bit directory entry for an image of size bytes at offset.
inline void AppendIconEntry(std::string& file, uint32_t size, uint32_t offset) {
  file += '\x10';  // width
  file += '\x10';  // height
  file += '\0';    // colours
  file += '\0';    // reserved
  AppendLE16(file, 1);
  AppendLE16(file, 32);
  AppendLE32(file, size);
  AppendLE32(file, offset);
}

// The header of an icon file: reserved 0, type 1 (icon), count images.
inline std::string IconHeader(uint16_t count) {
  std::string file;
  AppendLE16(file, 0);
  AppendLE16(file, 1);
  AppendLE16(file, count);
  return file;
}

// An icon file of one image.
inline std::string IconFile(const std::string& image) {
  std::string file = IconHeader(1);
  AppendIconEntry(file, static_cast<uint32_t>(image.size()), static_cast<uint32_t>(kIconHeadBytes));
  return file + image;
}

}  // namespace setup::testing

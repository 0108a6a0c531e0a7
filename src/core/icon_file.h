// The head of an icon file (.ico), read to find its first image: the uninstaller's icon is the
// first image of the "UNINSTALL_ICON.ICO" entry the setup author ships, so the file is outside
// data.
//
// Layout, little-endian:
//
//   0  u16 reserved (0)          6  u8  width        10  u16 planes
//   2  u16 type (1 = icon)       7  u8  height       12  u16 bits per pixel
//   4  u16 image count           8  u8  colours      14  u32 image size
//                                9  u8  reserved     18  u32 image offset
//
// followed by the other directory entries (16 bytes each) and the images.
#pragma once

#include <cstddef>
#include <cstdint>

namespace setup {

// The first image of an icon file, as its directory places it.
struct TIconImagePlace {
  uint32_t Offset = 0;
  uint32_t Size = 0;
};

// Bytes of an icon file's header and first directory entry.
constexpr size_t kIconHeadBytes = 22;
// Largest icon image taken over: a 256x256 true-colour image with its mask is about 270 KiB.
constexpr uint32_t kMaxIconImageBytes = 4u << 20;

// Reads the header and first directory entry of an icon file (head holds the first
// kIconHeadBytes bytes, or fewer when the file is shorter) and checks that the first image lies
// inside a file of file_size bytes, after the whole directory. False for a malformed icon file.
bool FindFirstIconImage(const uint8_t* head, size_t head_size, uint64_t file_size, TIconImagePlace& place);

}  // namespace setup

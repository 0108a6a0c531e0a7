// The KZP game archive's on-disk pieces: trailer, footer, directory records, the scrambled
// stream of method 2, and the reader that takes an archive's ending apart.
//
// Layout, first byte to last (integers little-endian, offsets absolute):
//
//   payloads ... | directory | footer (20 bytes) | trailer (0 to 56 bytes)
//
//   directory  one zlib stream whose inflated bytes are 152-byte records, back to back
//   record     0 marker u16 (bytes 0D 0A)   2 method u8 (1 WAV, 2 scrambled zlib)   3 reserved u8
//              4 file date u32 (DOS: date high, time low)   8 stored size u32
//              12 content size u32   16 offset u32   20 reserved u32 (0)
//              24 name: length u8 (0 to 127), the bytes, zeros to the end of its 128 bytes
//   footer     0 compressed directory size   4 inflated size (count x 152)   8 version (5)
//              12 entry count   16 reserved (0)
//   trailer    new   "KZP3" version u16 (1) "EIH2" seed A u8, seed B u8, length L u16,
//                    the password enciphered under the seeds (L bytes), official flag u8
//              EIH1  the same without the official flag
//              old   the last 13 bytes: "KZP2" and nine bytes of plain password
//              none  the footer ends the file
//
// A reader finds the new trailer by its "KZP3" block ending 1 to 50 bytes before the end of
// the file, which is why a password may take at most 41 bytes. Payloads (method 2): the zlib
// stream of the content with its first four bytes XORed with the CRC-32 of the rest; method 1
// holds sound (kzp_wav.h).
//
// Reading functions return false with a message naming offsets and sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archives/archive_file.h"
#include "core/buffer_manager.h"

namespace setup {

constexpr size_t kKzpRecordSize = 152;
constexpr size_t kKzpNameFieldSize = 128;  // length byte and name bytes
constexpr size_t kKzpMaxNameBytes = 127;
constexpr size_t kKzpFooterSize = 20;
constexpr uint32_t kKzpFormatVersion = 5;
constexpr uint16_t kKzpRecordMarker = 0x0A0D;
constexpr uint16_t kKzpTrailerVersion = 1;
constexpr size_t kKzpOldTrailerSize = 13;      // "KZP2" and nine password bytes
constexpr size_t kKzpTrailerSearchLimit = 50;  // the "KZP3" block ends at most this far from the end
constexpr size_t kKzpTrailerFixedSize = 15;    // new form without the password
// The longest password a new trailer holds with its "KZP3" block still in a reader's reach;
// the builder refuses longer ones.
constexpr size_t kKzpMaxPasswordBytes = kKzpTrailerSearchLimit + 6 - kKzpTrailerFixedSize;  // 41
constexpr size_t kKzpTailBytes = kKzpTrailerSearchLimit + 6;  // what a reader looks at for the trailer
constexpr uint8_t kKzpMethodWav = 1;
constexpr uint8_t kKzpMethodZlib = 2;
constexpr uint32_t kKzpMaxDirectoryBytes = 64u << 20;  // inflated directory: 441,505 records

enum class TKzpTrailerForm {
  None,     // the footer ends the file
  Old,      // "KZP2" and a plain password
  Eih1,     // new form without the official flag
  Eih2,     // new form, what the writer makes
  Unknown,  // a "KZP3" block without a section this reader knows: its length only
};

struct TKzpTrailer {
  TKzpTrailerForm Form = TKzpTrailerForm::None;
  uint32_t Length = 0;   // bytes between the footer and the end of the file
  uint16_t Version = 0;  // of a "KZP3" block; not checked
  uint8_t SeedA = 0;
  uint8_t SeedB = 0;
  std::string Password;  // deciphered; empty when the form carries none
  uint8_t Official = 0;  // only Eih2 carries it
};

struct TKzpFooter {
  uint32_t CompressedSize = 0;
  uint32_t InflatedSize = 0;
  uint32_t Version = 0;
  uint32_t Count = 0;
  uint32_t Reserved = 0;
};

struct TKzpRecord {
  uint16_t Marker = kKzpRecordMarker;
  uint8_t Method = 0;
  uint8_t Reserved = 0;  // carried over as read
  uint32_t FileDate = 0;
  uint32_t StoredSize = 0;
  uint32_t ContentSize = 0;
  uint32_t Offset = 0;
  std::string Name;  // at most 127 bytes
};

// What reading an archive's ending gives.
struct TKzpIndex {
  uint64_t FileSize = 0;
  TKzpTrailer Trailer;
  TKzpFooter Footer;
  uint64_t DirectoryStart = 0;  // also the end of the data region
  std::vector<TKzpRecord> Records;
};

// The trailer from the last bytes of a file (all of them when the file is shorter than
// kKzpTailBytes). False when a "KZP3" section does not fit in the bytes behind its block.
bool ParseKzpTrailer(const uint8_t* tail, size_t size, TKzpTrailer& trailer, std::string& error);

// The new-form trailer with the password enciphered under the two seeds.
TBytes EncodeKzpTrailer(std::string_view password, uint8_t official, uint8_t seed_a, uint8_t seed_b);
TBytes EncodeKzpFooter(const TKzpFooter& footer);
void EncodeKzpRecord(const TKzpRecord& record, uint8_t* out);  // kKzpRecordSize bytes
// The records' zlib stream at level 9.
TBytes EncodeKzpDirectory(const std::vector<TKzpRecord>& records);
// What follows the data region up to the trailer: the records' directory stream and the
// footer that describes it.
TBytes EncodeKzpDirectoryAndFooter(const std::vector<TKzpRecord>& records);

// A payload of method 2 from a zlib stream and back: the first four bytes XORed with the
// CRC-32 of the rest (streams of four bytes or fewer stay as they are). The operation is its
// own inverse.
void ScrambleKzpStream(TBytes& stream);

// The content a record's payload stands for: the inflated stream (method 2, exactly the
// content size), or a .wav file of the stored header and the PCM data, ADPCM blocks decoded
// (method 1; sound coding is lossy and chunks after the data are not stored). False with a
// message when the payload does not decode.
bool DecodeKzpPayload(const TKzpRecord& record, const TBytes& payload, TBytes& content, std::string& error);

// DOS date of a day with time 00:00:00: the date in the high 16 bits.
uint32_t KzpDosDate(int year, int month, int day);

// Reads trailer, footer and directory of an open archive. False with a message naming
// offsets and sizes when they are not sound: a footer of another version or a reserved value
// other than 0, a directory that does not lie before the footer, does not inflate to the
// footer's size, holds fewer records than the entry count asks for, or a name longer than
// 127 bytes. Nothing larger than the file or kKzpMaxDirectoryBytes is allocated.
bool ReadKzpIndex(TArchiveFile& file, TKzpIndex& index, std::string& error);

}  // namespace setup

// The KZP archive's on-disk pieces: trailer, footer, directory records, the scrambled stream
// of method 2, and the reader that takes an archive's ending apart.
//
// The reader trusts nothing it reads. The trailer is looked for only in the last 56 bytes; a
// section that does not fit behind its "KZP3" block is refused rather than read past the end.
// The footer's sizes are checked against the file, the deflate ratio and a named cap before
// anything is allocated, and the entry count against the bytes that actually inflated.
#include "archives/kzp_format.h"

#include <cstring>

#include "archives/kzp_adpcm.h"
#include "archives/kzp_wav.h"
#include "core/byte_order.h"
#include "core/crc.h"
#include "core/deflate.h"
#include "core/error.h"
#include "core/seeded_cipher.h"

namespace setup {

namespace {

bool IsAsciiAlnum(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool Begins(const uint8_t* p, const char* magic) { return std::memcmp(p, magic, 4) == 0; }

std::string Decipher(std::string_view enciphered, uint8_t seed_a, uint8_t seed_b) {
  TMerinEncryptionType cipher;
  cipher.FirstSeed = seed_a;
  cipher.SecondSeed = seed_b;
  return cipher.Decrypt(enciphered);
}

bool DecodeRecord(const uint8_t* bytes, TKzpRecord& record, std::string& error) {
  TBufferManager cursor(bytes, kKzpRecordSize);
  record.Marker = cursor.ReadUInt16();
  record.Method = cursor.ReadUInt8();
  record.Reserved = cursor.ReadUInt8();
  record.FileDate = static_cast<uint32_t>(cursor.ReadInt32());
  record.StoredSize = static_cast<uint32_t>(cursor.ReadInt32());
  record.ContentSize = static_cast<uint32_t>(cursor.ReadInt32());
  record.Offset = static_cast<uint32_t>(cursor.ReadInt32());
  cursor.ReadInt32();  // reserved: cleared on reading
  const uint8_t length = cursor.ReadUInt8();
  if (length > kKzpMaxNameBytes) {
    error = "name length " + std::to_string(length) + " exceeds " + std::to_string(kKzpMaxNameBytes);
    return false;
  }
  const TBytes name = cursor.ReadChunk(length);
  record.Name.assign(name.begin(), name.end());
  return true;
}

}  // namespace

// ---------------------------------------------------------------- trailer

bool ParseKzpTrailer(const uint8_t* tail, size_t size, TKzpTrailer& trailer, std::string& error) {
  trailer = TKzpTrailer{};
  if (size >= kKzpOldTrailerSize && Begins(tail + size - kKzpOldTrailerSize, "KZP2")) {
    trailer.Form = TKzpTrailerForm::Old;
    trailer.Length = kKzpOldTrailerSize;
    for (const uint8_t* p = tail + size - 9; p < tail + size && IsAsciiAlnum(*p); ++p) {
      trailer.Password.push_back(static_cast<char>(*p));
    }
    return true;
  }
  // The first "KZP3" block, nearest the end, decides; one that ends the file is no trailer.
  for (size_t i = 0; i <= kKzpTrailerSearchLimit && i + 6 <= size; ++i) {
    const uint8_t* block = tail + size - i - 6;
    if (!Begins(block, "KZP3")) continue;
    if (i == 0) return true;
    trailer.Length = static_cast<uint32_t>(i + 6);
    trailer.Version = LoadLE16(block + 4);
    const uint8_t* section = tail + size - i;
    if (i < 4 || !(Begins(section, "EIH1") || Begins(section, "EIH2"))) {
      trailer.Form = TKzpTrailerForm::Unknown;
      return true;
    }
    const bool with_flag = section[3] == '2';
    try {
      TBufferManager cursor(section, i);
      cursor.Seek(4);
      trailer.SeedA = cursor.ReadUInt8();
      trailer.SeedB = cursor.ReadUInt8();
      const uint16_t length = cursor.ReadUInt16();
      if (cursor.Remaining() < length + (with_flag ? 1u : 0u)) {
        error = "trailer section " + std::to_string(i) + " bytes before the end holds a password of " +
                std::to_string(length) + " bytes" + (with_flag ? " and a flag" : "") + " in " +
                std::to_string(cursor.Remaining()) + " bytes";
        return false;
      }
      const TBytes enciphered = cursor.ReadChunk(length);
      trailer.Password = Decipher(std::string(enciphered.begin(), enciphered.end()), trailer.SeedA, trailer.SeedB);
      if (with_flag) trailer.Official = cursor.ReadUInt8();
    } catch (const ESetupError& e) {
      error = "trailer section " + std::to_string(i) + " bytes before the end: " + e.what();
      return false;
    }
    trailer.Form = with_flag ? TKzpTrailerForm::Eih2 : TKzpTrailerForm::Eih1;
    return true;
  }
  return true;
}

TBytes EncodeKzpTrailer(std::string_view password, uint8_t official, uint8_t seed_a, uint8_t seed_b) {
  TMerinEncryptionType cipher;
  cipher.FirstSeed = seed_a;
  cipher.SecondSeed = seed_b;
  const std::string enciphered = cipher.Encrypt(password);
  TBytes out(kKzpTrailerFixedSize + enciphered.size());
  std::memcpy(out.data(), "KZP3", 4);
  StoreLE16(out.data() + 4, kKzpTrailerVersion);
  std::memcpy(out.data() + 6, "EIH2", 4);
  out[10] = seed_a;
  out[11] = seed_b;
  StoreLE16(out.data() + 12, static_cast<uint16_t>(enciphered.size()));
  std::memcpy(out.data() + 14, enciphered.data(), enciphered.size());
  out.back() = official;
  return out;
}

// ---------------------------------------------------------------- footer and directory

TBytes EncodeKzpFooter(const TKzpFooter& footer) {
  TBytes out(kKzpFooterSize);
  StoreLE32(out.data(), footer.CompressedSize);
  StoreLE32(out.data() + 4, footer.InflatedSize);
  StoreLE32(out.data() + 8, footer.Version);
  StoreLE32(out.data() + 12, footer.Count);
  StoreLE32(out.data() + 16, footer.Reserved);
  return out;
}

void EncodeKzpRecord(const TKzpRecord& record, uint8_t* out) {
  std::memset(out, 0, kKzpRecordSize);
  StoreLE16(out, record.Marker);
  out[2] = record.Method;
  out[3] = record.Reserved;
  StoreLE32(out + 4, record.FileDate);
  StoreLE32(out + 8, record.StoredSize);
  StoreLE32(out + 12, record.ContentSize);
  StoreLE32(out + 16, record.Offset);
  const size_t length = record.Name.size() < kKzpMaxNameBytes ? record.Name.size() : kKzpMaxNameBytes;
  out[24] = static_cast<uint8_t>(length);
  std::memcpy(out + 25, record.Name.data(), length);
}

TBytes EncodeKzpDirectory(const std::vector<TKzpRecord>& records) {
  TBytes raw(records.size() * kKzpRecordSize);
  for (size_t i = 0; i < records.size(); ++i) EncodeKzpRecord(records[i], raw.data() + i * kKzpRecordSize);
  return Deflate(raw.data(), raw.size());
}

TBytes EncodeKzpDirectoryAndFooter(const std::vector<TKzpRecord>& records) {
  TBytes out = EncodeKzpDirectory(records);
  TKzpFooter footer;
  footer.CompressedSize = static_cast<uint32_t>(out.size());
  footer.InflatedSize = static_cast<uint32_t>(records.size() * kKzpRecordSize);
  footer.Version = kKzpFormatVersion;
  footer.Count = static_cast<uint32_t>(records.size());
  const TBytes footer_bytes = EncodeKzpFooter(footer);
  out.insert(out.end(), footer_bytes.begin(), footer_bytes.end());
  return out;
}

bool ReadKzpIndex(TArchiveFile& file, TKzpIndex& index, std::string& error) {
  index = TKzpIndex{};
  const uint64_t size = file.Size();
  index.FileSize = size;

  uint8_t tail[kKzpTailBytes];
  const size_t tail_size = size < kKzpTailBytes ? static_cast<size_t>(size) : kKzpTailBytes;
  if (file.ReadAt(size - tail_size, tail, tail_size) != tail_size) {
    error = "cannot read the last " + std::to_string(tail_size) + " bytes";
    return false;
  }
  if (!ParseKzpTrailer(tail, tail_size, index.Trailer, error)) return false;

  const uint64_t trailer_size = index.Trailer.Length;
  if (size < trailer_size + kKzpFooterSize) {
    error = "file of " + std::to_string(size) + " bytes has no room for the footer before a trailer of " +
            std::to_string(trailer_size) + " bytes";
    return false;
  }
  const uint64_t footer_at = size - trailer_size - kKzpFooterSize;
  uint8_t raw_footer[kKzpFooterSize];
  if (file.ReadAt(footer_at, raw_footer, sizeof raw_footer) != sizeof raw_footer) {
    error = "cannot read the footer at offset " + std::to_string(footer_at);
    return false;
  }
  TKzpFooter& footer = index.Footer;
  TBufferManager cursor(raw_footer, sizeof raw_footer);
  footer.CompressedSize = static_cast<uint32_t>(cursor.ReadInt32());
  footer.InflatedSize = static_cast<uint32_t>(cursor.ReadInt32());
  footer.Version = static_cast<uint32_t>(cursor.ReadInt32());
  footer.Count = static_cast<uint32_t>(cursor.ReadInt32());
  footer.Reserved = static_cast<uint32_t>(cursor.ReadInt32());
  const std::string at = " (footer at offset " + std::to_string(footer_at) + ")";
  if (footer.Version != kKzpFormatVersion) {
    error = "format version " + std::to_string(footer.Version) + ", " + std::to_string(kKzpFormatVersion) + " expected" + at;
    return false;
  }
  if (footer.Reserved != 0) {
    error = "reserved footer value " + std::to_string(footer.Reserved) + ", 0 expected" + at;
    return false;
  }
  if (footer.CompressedSize > footer_at) {
    error = "directory of " + std::to_string(footer.CompressedSize) + " bytes does not fit before the footer" + at;
    return false;
  }
  if (footer.InflatedSize > kKzpMaxDirectoryBytes) {
    error = "directory of " + std::to_string(footer.InflatedSize) + " inflated bytes exceeds the limit of " +
            std::to_string(kKzpMaxDirectoryBytes) + at;
    return false;
  }
  if (static_cast<uint64_t>(footer.Count) * kKzpRecordSize > footer.InflatedSize) {
    error = "entry count " + std::to_string(footer.Count) + " needs " +
            std::to_string(static_cast<uint64_t>(footer.Count) * kKzpRecordSize) + " directory bytes, the footer gives " +
            std::to_string(footer.InflatedSize) + at;
    return false;
  }
  index.DirectoryStart = footer_at - footer.CompressedSize;

  TBytes compressed(footer.CompressedSize);
  if (file.ReadAt(index.DirectoryStart, compressed.data(), compressed.size()) != compressed.size()) {
    error = "cannot read the directory at offset " + std::to_string(index.DirectoryStart);
    return false;
  }
  TBytes inflated;
  std::string why;
  if (!InflateExactly(compressed.data(), compressed.size(), footer.InflatedSize, inflated, why)) {
    error = "directory at offset " + std::to_string(index.DirectoryStart) + ": " + why;
    return false;
  }
  index.Records.resize(footer.Count);
  for (size_t i = 0; i < footer.Count; ++i) {
    if (!DecodeRecord(inflated.data() + i * kKzpRecordSize, index.Records[i], why)) {
      error = "directory record " + std::to_string(i) + ": " + why;
      index.Records.clear();
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------- payloads

void ScrambleKzpStream(TBytes& stream) {
  if (stream.size() <= 4) return;
  const uint32_t head = LoadLE32(stream.data()) ^ Crc32(stream.data() + 4, stream.size() - 4);
  StoreLE32(stream.data(), head);
}

uint32_t KzpDosDate(int year, int month, int day) {
  const uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
  return (date & 0xFFFF) << 16;
}

bool DecodeKzpPayload(const TKzpRecord& record, const TBytes& payload, TBytes& content, std::string& error) {
  content.clear();
  if (payload.size() != record.StoredSize) {
    error = "payload of " + std::to_string(payload.size()) + " bytes, the record gives " + std::to_string(record.StoredSize);
    return false;
  }
  if (record.Method == kKzpMethodZlib) {
    TBytes stream = payload;
    ScrambleKzpStream(stream);
    return InflateExactly(stream.data(), stream.size(), record.ContentSize, content, error);
  }
  if (record.Method != kKzpMethodWav) {
    error = "unknown method " + std::to_string(record.Method);
    return false;
  }
  if (payload.size() < kKzpWavPayloadHeaderSize) {
    error = "sound payload of " + std::to_string(payload.size()) + " bytes is shorter than its 58-byte header";
    return false;
  }
  const uint16_t channels = LoadLE16(payload.data() + 22);
  const uint32_t data_size = LoadLE32(payload.data() + 40);
  const uint8_t adpcm = payload[44];
  const uint32_t stored = LoadLE32(payload.data() + 54);
  if (stored != payload.size() - kKzpWavPayloadHeaderSize) {
    error = "sound payload says " + std::to_string(stored) + " data bytes, holds " +
            std::to_string(payload.size() - kKzpWavPayloadHeaderSize);
    return false;
  }
  const uint8_t* data = payload.data() + kKzpWavPayloadHeaderSize;
  content.assign(payload.begin(), payload.begin() + kKzpWavHeaderSize);
  if (adpcm == 0) {
    if (stored != data_size) {
      error = "PCM payload holds " + std::to_string(stored) + " bytes, its header gives " + std::to_string(data_size);
      content.clear();
      return false;
    }
    content.insert(content.end(), data, data + stored);
    return true;
  }
  if (adpcm != 1) {
    error = "sound payload flag " + std::to_string(adpcm) + " is neither PCM (0) nor ADPCM (1)";
    content.clear();
    return false;
  }
  TBytes pcm;
  if (!KzpAdpcmDecode(data, stored, data_size, channels, pcm, error)) {
    content.clear();
    return false;
  }
  content.insert(content.end(), pcm.begin(), pcm.end());
  return true;
}

}  // namespace setup

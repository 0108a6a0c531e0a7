// The sound payload of the KZP archive (method 1).
//
// A .wav entry must open with the canonical 44-byte header (RIFF, WAVE, a 16-byte "fmt "
// chunk, then "data"). The game reads loop points from the payload header rather than from
// the file, so the chunks behind the sample data are scanned for a "cue " chunk and its first
// two cue points turned into byte offsets. Sound with cue points, sound of other than 16 bits
// and everything under an Effects folder keeps its PCM samples; the rest is IMA ADPCM-coded
// at a quarter of the size.
//
// The chunk scan reads only inside the content: identifier bytes beyond the end count as "x"
// (so "xxxx" ends the scan), a chunk size beyond the end as 0, and a cue point counts only
// when its 24 bytes are there. Chunk positions are 64-bit, so a chunk size near 4 GiB ends the
// scan instead of wrapping round.
#include "archives/kzp_wav.h"

#include <cstring>

#include "archives/kzp_adpcm.h"
#include "core/byte_order.h"

namespace setup {

namespace {

// Header fields of the canonical WAV file.
constexpr size_t kChannelsAt = 22;
constexpr size_t kSampleRateAt = 24;
constexpr size_t kByteRateAt = 28;
constexpr size_t kBitsAt = 34;
constexpr size_t kDataSizeAt = 40;
constexpr size_t kCuePointSize = 24;
constexpr size_t kCuePointsUsed = 2;

bool Has(const uint8_t* content, size_t at, const char* magic) { return std::memcmp(content + at, magic, 4) == 0; }

struct TCueOffsets {
  int32_t First = -1;
  int32_t Second = -1;
  uint8_t SecondIsDataSize = 0;
};

// False when a cue chunk turns up in sound without a sample rate (its offsets cannot be
// worked out).
bool ScanCues(const uint8_t* content, size_t size, uint32_t data_size, TCueOffsets& cues) {
  const uint32_t sample_rate = LoadLE32(content + kSampleRateAt);
  const uint32_t byte_rate = LoadLE32(content + kByteRateAt);
  bool first_set = false;
  bool second_set = false;
  for (uint64_t at = kKzpWavHeaderSize + static_cast<uint64_t>(data_size); at < size;) {
    char id[4];
    for (size_t k = 0; k < 4; ++k) id[k] = at + k < size ? static_cast<char>(content[at + k]) : 'x';
    if (std::memcmp(id, "xxxx", 4) == 0) break;
    const uint32_t chunk_size = at + 8 <= size ? LoadLE32(content + at + 4) : 0;
    if (std::memcmp(id, "cue ", 4) == 0) {
      if (sample_rate == 0) return false;
      const uint32_t count = at + 12 <= size ? LoadLE32(content + at + 8) : 0;
      const uint32_t bytes_per_sample = byte_rate / sample_rate;
      for (uint32_t j = 0; j < count && j < kCuePointsUsed; ++j) {
        const uint64_t point = at + 12 + j * kCuePointSize;
        if (point + kCuePointSize > size) break;
        // 32-bit arithmetic, as the game works the offsets out.
        const int32_t offset = static_cast<int32_t>(bytes_per_sample * LoadLE32(content + point + 4));
        if (j == 0) {
          cues.First = offset;
          first_set = true;
        } else {
          cues.Second = offset;
          second_set = true;
        }
      }
    }
    at += 8 + static_cast<uint64_t>(chunk_size);
  }
  if (first_set && second_set) {
    if (cues.First > cues.Second) std::swap(cues.First, cues.Second);
  } else if (first_set) {
    cues.Second = static_cast<int32_t>(data_size);
    cues.SecondIsDataSize = 1;
  } else {
    cues.First = cues.Second = -1;
  }
  return true;
}

}  // namespace

bool IsKzpWavName(std::string_view name) {
  const size_t dot = name.find_last_of(".\\:");
  if (dot == std::string_view::npos || name[dot] != '.') return false;
  const std::string_view extension = name.substr(dot);
  return extension.size() == 4 && (extension[1] | 0x20) == 'w' && (extension[2] | 0x20) == 'a' &&
         (extension[3] | 0x20) == 'v';
}

bool BuildKzpWavPayload(std::string_view name, const uint8_t* content, size_t size, TBytes& payload) {
  payload.clear();
  if (size < kKzpWavHeaderSize) return false;
  if (!Has(content, 0, "RIFF") || !Has(content, 8, "WAVE") || !Has(content, 12, "fmt ") ||
      LoadLE32(content + 16) != 16 || !Has(content, 36, "data")) {
    return false;
  }
  const uint32_t data_size = LoadLE32(content + kDataSizeAt);
  // Sample data that claims more bytes than the file holds cannot be stored.
  if (data_size == 0 || data_size > size - kKzpWavHeaderSize) return false;

  TCueOffsets cues;
  if (!ScanCues(content, size, data_size, cues)) return false;

  const uint16_t channels = LoadLE16(content + kChannelsAt);
  const uint16_t bits = LoadLE16(content + kBitsAt);
  // Sound effects are short and sharp; ADPCM smears their attacks.
  const bool adpcm = bits == 16 && cues.First == -1 && cues.Second == -1 && name.find("\\Effects\\") == std::string_view::npos;

  const uint8_t* samples = content + kKzpWavHeaderSize;
  TBytes data;
  uint32_t header_data_size = data_size;
  if (adpcm) {
    header_data_size = KzpAdpcmCodedPcmBytes(data_size, channels);
    data = KzpAdpcmEncode(samples, header_data_size, channels);
  } else {
    data.assign(samples, samples + data_size);
  }

  payload.resize(kKzpWavPayloadHeaderSize + data.size());
  std::memcpy(payload.data(), content, kKzpWavHeaderSize);
  StoreLE32(payload.data() + kDataSizeAt, header_data_size);
  payload[44] = adpcm ? 1 : 0;
  StoreLE32(payload.data() + 45, static_cast<uint32_t>(cues.First));
  StoreLE32(payload.data() + 49, static_cast<uint32_t>(cues.Second));
  payload[53] = cues.SecondIsDataSize;
  StoreLE32(payload.data() + 54, static_cast<uint32_t>(data.size()));
  if (!data.empty()) std::memcpy(payload.data() + kKzpWavPayloadHeaderSize, data.data(), data.size());
  return true;
}

}  // namespace setup

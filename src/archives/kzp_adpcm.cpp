// The IMA ADPCM coder and decoder of the KZP archive's sound payloads.
//
// The quantiser is the common IMA one: the step size comes from an 89-entry table indexed by
// the step index, each code bit adds a halved step to the difference, and the index moves by
// the index table after every sample. The decoder rebuilds the predictor with the same
// integer steps (step / 8, step, step / 2, step / 4), so encoder and decoder states agree
// bit for bit and the state records behind the blocks can be checked on reading.
#include "archives/kzp_adpcm.h"

#include "core/byte_order.h"

namespace setup {

namespace {

constexpr int kStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int kIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

int16_t ClampSample(int value) {
  if (value > 32767) return 32767;
  if (value < -32768) return -32768;
  return static_cast<int16_t>(value);
}

uint8_t NextIndex(uint8_t index, uint8_t code) {
  int next = index + kIndexTable[code & 15];
  if (next < 0) next = 0;
  if (next > 88) next = 88;
  return static_cast<uint8_t>(next);
}

int16_t SampleAt(const uint8_t* pcm, size_t sample) { return static_cast<int16_t>(LoadLE16(pcm + 2 * sample)); }

// Packs codes two to a byte, first in the high nibble; a lone last code gets a zero low nibble.
void PackCodes(const std::vector<uint8_t>& codes, uint8_t* out) {
  for (size_t i = 0; i < codes.size(); i += 2) {
    const uint8_t low = i + 1 < codes.size() ? codes[i + 1] : 0;
    out[i / 2] = static_cast<uint8_t>((codes[i] << 4) | low);
  }
}

uint8_t CodeAt(const uint8_t* bytes, size_t i) { return (i % 2 == 0) ? bytes[i / 2] >> 4 : bytes[i / 2] & 15; }

void StoreState(uint8_t* out, const TImaChannelState& left, const TImaChannelState* right) {
  StoreLE16(out, static_cast<uint16_t>(left.Predictor));
  out[2] = left.Index;
  StoreLE16(out + 3, right ? static_cast<uint16_t>(right->Predictor) : 0);
  out[5] = right ? right->Index : 0;
}

}  // namespace

uint8_t ImaEncodeSample(TImaChannelState& state, int16_t sample) {
  int step = kStepTable[state.Index];
  int diff = sample - state.Predictor;
  uint8_t sign = 0;
  if (diff < 0) {
    sign = 8;
    diff = -diff;
  }
  uint8_t code = 0;
  int delta = step / 8;
  if (diff >= step) {
    code |= 4;
    diff -= step;
    delta += step;
  }
  step /= 2;
  if (diff >= step) {
    code |= 2;
    diff -= step;
    delta += step;
  }
  step /= 2;
  if (diff >= step) {
    code |= 1;
    delta += step;
  }
  state.Predictor = ClampSample(sign ? state.Predictor - delta : state.Predictor + delta);
  code |= sign;
  state.Index = NextIndex(state.Index, code);
  return code;
}

int16_t ImaDecodeSample(TImaChannelState& state, uint8_t code) {
  const int step = kStepTable[state.Index];
  int delta = step / 8;
  if (code & 4) delta += step;
  if (code & 2) delta += step / 2;
  if (code & 1) delta += step / 4;
  state.Predictor = ClampSample((code & 8) ? state.Predictor - delta : state.Predictor + delta);
  state.Index = NextIndex(state.Index, code);
  return state.Predictor;
}

uint32_t KzpAdpcmCodedPcmBytes(uint32_t data_size, uint16_t channels) {
  return channels == 1 ? data_size & ~3u : data_size & ~7u;
}

uint32_t KzpAdpcmStoredBytes(uint32_t pcm_bytes) {
  const uint32_t blocks = pcm_bytes / kKzpAdpcmBlockPcmBytes + (pcm_bytes % kKzpAdpcmBlockPcmBytes != 0);
  return pcm_bytes / 4 + blocks * static_cast<uint32_t>(kKzpAdpcmStateBytes);
}

std::vector<uint8_t> KzpAdpcmEncode(const uint8_t* pcm, uint32_t pcm_bytes, uint16_t channels) {
  // Blocks are laid out for whole sample frames only.
  pcm_bytes = KzpAdpcmCodedPcmBytes(pcm_bytes, channels);
  std::vector<uint8_t> out(KzpAdpcmStoredBytes(pcm_bytes));
  TImaChannelState left, right;
  std::vector<uint8_t> codes;
  size_t at = 0;
  for (uint32_t done = 0; done < pcm_bytes; done += kKzpAdpcmBlockPcmBytes) {
    const uint32_t n = pcm_bytes - done < kKzpAdpcmBlockPcmBytes ? pcm_bytes - done : kKzpAdpcmBlockPcmBytes;
    const uint8_t* block = pcm + done;
    const size_t samples = n / 2;
    if (channels == 2) {
      codes.clear();
      for (size_t s = 0; s < samples; s += 2) codes.push_back(ImaEncodeSample(left, SampleAt(block, s)));
      PackCodes(codes, &out[at]);
      codes.clear();
      for (size_t s = 1; s < samples; s += 2) codes.push_back(ImaEncodeSample(right, SampleAt(block, s)));
      PackCodes(codes, &out[at + n / 8]);
      StoreState(&out[at + n / 4], left, &right);
    } else {
      codes.clear();
      for (size_t s = 0; s < samples; ++s) codes.push_back(ImaEncodeSample(left, SampleAt(block, s)));
      PackCodes(codes, &out[at]);
      StoreState(&out[at + n / 4], left, nullptr);
    }
    at += n / 4 + kKzpAdpcmStateBytes;
  }
  return out;
}

bool KzpAdpcmDecode(const uint8_t* stored, size_t stored_size, uint32_t pcm_bytes, uint16_t channels,
                    std::vector<uint8_t>& pcm, std::string& error) {
  if (pcm_bytes != KzpAdpcmCodedPcmBytes(pcm_bytes, channels)) {
    error = "ADPCM data size " + std::to_string(pcm_bytes) + " is not a multiple of " + (channels == 1 ? "4" : "8");
    return false;
  }
  if (stored_size != KzpAdpcmStoredBytes(pcm_bytes)) {
    error = "ADPCM blocks take " + std::to_string(stored_size) + " bytes, " +
            std::to_string(KzpAdpcmStoredBytes(pcm_bytes)) + " expected for " + std::to_string(pcm_bytes) +
            " PCM bytes";
    return false;
  }
  pcm.assign(pcm_bytes, 0);
  TImaChannelState left, right;
  size_t at = 0;
  for (uint32_t done = 0; done < pcm_bytes; done += kKzpAdpcmBlockPcmBytes) {
    const uint32_t n = pcm_bytes - done < kKzpAdpcmBlockPcmBytes ? pcm_bytes - done : kKzpAdpcmBlockPcmBytes;
    uint8_t* block = &pcm[done];
    const size_t samples = n / 2;
    const uint8_t* codes = stored + at;
    if (channels == 2) {
      const size_t per_channel = samples / 2;
      for (size_t i = 0; i < per_channel; ++i) {
        StoreLE16(block + 4 * i, static_cast<uint16_t>(ImaDecodeSample(left, CodeAt(codes, i))));
        StoreLE16(block + 4 * i + 2, static_cast<uint16_t>(ImaDecodeSample(right, CodeAt(codes + n / 8, i))));
      }
    } else {
      for (size_t i = 0; i < samples; ++i) {
        StoreLE16(block + 2 * i, static_cast<uint16_t>(ImaDecodeSample(left, CodeAt(codes, i))));
      }
    }
    uint8_t expected[kKzpAdpcmStateBytes];
    StoreState(expected, left, channels == 2 ? &right : nullptr);
    const uint8_t* record = stored + at + n / 4;
    for (size_t i = 0; i < kKzpAdpcmStateBytes; ++i) {
      if (record[i] != expected[i]) {
        error = "ADPCM block " + std::to_string(done / kKzpAdpcmBlockPcmBytes) + ": state record at byte " +
                std::to_string(at + n / 4) + " differs from the decoder's state";
        return false;
      }
    }
    at += n / 4 + kKzpAdpcmStateBytes;
  }
  return true;
}

}  // namespace setup

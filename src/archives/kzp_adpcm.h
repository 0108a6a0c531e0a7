// IMA ADPCM as the KZP archive stores 16-bit sound: four bits per sample, blocks of 2048 PCM
// bytes, and a state record behind every block.
//
// Block k of the PCM data (n = min(2048, bytes left), n a multiple of 4) becomes
//
//   n / 4 code bytes | state record (6 bytes)            at payload data offset 518 k
//
//   mono:    the n / 2 samples coded in order, two codes a byte, the first in the high nibble
//   stereo:  left samples (even positions) in the first n / 8 code bytes, right samples (odd
//            positions) in the next n / 8
//   state:   0 predictor (16-bit) of the left or only channel, 2 its step index, 3 predictor
//            of the right channel, 5 its step index; zero for mono
//
// Each channel's predictor and step index start at 0 before the first block and carry on
// from block to block; the state record holds them after the block, so a reader can check
// that it decoded in step with the writer. Channel counts other than 2 are coded as one
// channel of interleaved samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace setup {

constexpr size_t kKzpAdpcmBlockPcmBytes = 2048;  // PCM bytes a full block codes
constexpr size_t kKzpAdpcmStateBytes = 6;        // state record behind each block

struct TImaChannelState {
  int16_t Predictor = 0;
  uint8_t Index = 0;  // 0 to 88
};

// One sample through the quantiser; returns its 4-bit code and advances the state.
uint8_t ImaEncodeSample(TImaChannelState& state, int16_t sample);
// One code back to a sample, advancing the state exactly as the encoder did.
int16_t ImaDecodeSample(TImaChannelState& state, uint8_t code);

// PCM bytes that are coded: data_size cut down to a multiple of 4 (one channel) or 8 (any
// other channel count).
uint32_t KzpAdpcmCodedPcmBytes(uint32_t data_size, uint16_t channels);
// Bytes the blocks of pcm_bytes (already cut down) take: pcm_bytes / 4 + 6 per block.
uint32_t KzpAdpcmStoredBytes(uint32_t pcm_bytes);

// Codes pcm_bytes (cut down first when they are not) of little-endian 16-bit PCM into the block layout above.
std::vector<uint8_t> KzpAdpcmEncode(const uint8_t* pcm, uint32_t pcm_bytes, uint16_t channels);

// Decodes the blocks of stored (stored_size bytes) back into pcm_bytes of PCM. False with a
// message naming the block when the sizes do not agree or a state record differs from the
// decoder's state.
bool KzpAdpcmDecode(const uint8_t* stored, size_t stored_size, uint32_t pcm_bytes, uint16_t channels,
                    std::vector<uint8_t>& pcm, std::string& error);

}  // namespace setup

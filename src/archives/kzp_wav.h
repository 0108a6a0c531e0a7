// The sound payload of the KZP archive (method 1): which entries are sound, and the payload
// made from a .wav file's content.
//
// Payload, a 58-byte header then the stored sample data:
//   0 the content's first 44 bytes (the data size cut down when ADPCM-coded)   44 ADPCM flag
//   45 first cue offset (-1 none)   49 second cue offset   53 1 when the second offset was set
//   to the data size for a single cue point   54 stored data size
// 16-bit sound without cue points is ADPCM-coded (kzp_adpcm.h) unless the name holds
// "\Effects\" (sound effects keep their exact samples).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/buffer_manager.h"

namespace setup {

constexpr size_t kKzpWavHeaderSize = 44;
constexpr size_t kKzpWavPayloadHeaderSize = 58;

// True for a name whose extension is ".wav" in any letter case.
bool IsKzpWavName(std::string_view name);

// The method-1 payload of a .wav file's content. False when the content is not a canonical
// 16-byte-format PCM WAV (the entry is then skipped), when its data reaches past the content,
// or when a cue chunk is present with a sample rate of 0.
bool BuildKzpWavPayload(std::string_view name, const uint8_t* content, size_t size, TBytes& payload);

}  // namespace setup

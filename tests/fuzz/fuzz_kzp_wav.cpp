// Fuzz target: the sound payload builder of the KZP archive (header checks, cue chunk scan,
// IMA ADPCM coding) and the decoder that reads its payloads back.
//
// The input is the content of a .wav entry; its first byte chooses the entry name (a plain
// name or one under an Effects folder) and is not part of the content. Beyond the sanitizers,
// a fault is a built payload that breaks its own layout:
//   - the stored data size differs from the bytes behind the 58-byte header;
//   - ADPCM blocks whose size is not data / 4 + 6 per block, or that do not decode with every
//     state record matching the decoder's state;
//   - PCM data that is not the content's sample data, or a decoded file of the wrong length;
//   - cue offsets that are not both -1 for coded sound, or a single-cue flag without the data
//     size as second offset.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archives/kzp_adpcm.h"
#include "archives/kzp_format.h"
#include "archives/kzp_wav.h"
#include "core/byte_order.h"
#include "fuzz_check.h"

namespace {

using namespace setup;

[[noreturn]] void Fail(const std::string& what) { setup::fuzzing::FailCheck("fuzz_kzp_wav", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* name = (data[0] & 1) ? "Sound\\Effects\\Hit.wav" : "Music\\Theme.wav";
  const uint8_t* content = data + 1;
  const size_t content_size = size - 1;

  TBytes payload;
  if (!BuildKzpWavPayload(name, content, content_size, payload)) return 0;
  if (payload.size() < kKzpWavPayloadHeaderSize) Fail("payload shorter than its header");
  if (std::memcmp(payload.data(), content, 40) != 0) Fail("header not copied");
  const uint32_t original_size = LoadLE32(content + 40);
  const uint32_t data_size = LoadLE32(payload.data() + 40);
  const uint16_t channels = LoadLE16(payload.data() + 22);
  const uint8_t adpcm = payload[44];
  const int32_t first = static_cast<int32_t>(LoadLE32(payload.data() + 45));
  const int32_t second = static_cast<int32_t>(LoadLE32(payload.data() + 49));
  const uint32_t stored = LoadLE32(payload.data() + 54);
  if (stored != payload.size() - kKzpWavPayloadHeaderSize) Fail("stored size does not match the payload");
  if (payload[53] == 1 && second != static_cast<int32_t>(original_size)) Fail("single cue without the data size");
  if (adpcm == 1) {
    if (first != -1 || second != -1) Fail("coded sound with cue points");
    if (data_size != KzpAdpcmCodedPcmBytes(original_size, channels)) Fail("coded size not cut down as it should be");
    if (stored != KzpAdpcmStoredBytes(data_size)) Fail("ADPCM blocks of the wrong size");
  } else if (adpcm == 0) {
    if (data_size != original_size || stored != original_size) Fail("PCM sizes changed");
    if (std::memcmp(payload.data() + kKzpWavPayloadHeaderSize, content + kKzpWavHeaderSize, stored) != 0) {
      Fail("PCM data changed");
    }
  } else {
    Fail("ADPCM flag neither 0 nor 1");
  }

  TKzpRecord record;
  record.Method = kKzpMethodWav;
  record.StoredSize = static_cast<uint32_t>(payload.size());
  TBytes decoded;
  std::string error;
  if (!DecodeKzpPayload(record, payload, decoded, error)) Fail("payload does not decode: " + error);
  if (decoded.size() != kKzpWavHeaderSize + data_size) Fail("decoded file of the wrong length");
  return 0;
}

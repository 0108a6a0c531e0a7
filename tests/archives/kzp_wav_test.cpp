// The sound payload of the KZP archive and its IMA ADPCM coder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "archives/kzp_adpcm.h"
#include "archives/kzp_format.h"
#include "archives/kzp_wav.h"
#include "core/byte_order.h"
#include "kzp_fixtures.h"

namespace setup {
namespace {

using namespace setup::testing;

struct TWavPayload {
  bool Built = false;
  TBytes Bytes;
  uint32_t DataSize() const { return LoadLE32(&Bytes[40]); }
  uint8_t Adpcm() const { return Bytes[44]; }
  int32_t FirstCue() const { return static_cast<int32_t>(LoadLE32(&Bytes[45])); }
  int32_t SecondCue() const { return static_cast<int32_t>(LoadLE32(&Bytes[49])); }
  uint8_t SecondIsDataSize() const { return Bytes[53]; }
  uint32_t Stored() const { return LoadLE32(&Bytes[54]); }
};

TWavPayload Build(const std::string& name, const TBytes& wav) {
  TWavPayload p;
  p.Built = BuildKzpWavPayload(name, wav.data(), wav.size(), p.Bytes);
  return p;
}

TBytes Decode(const TBytes& payload) {
  TKzpRecord record;
  record.Method = kKzpMethodWav;
  record.StoredSize = static_cast<uint32_t>(payload.size());
  TBytes content;
  std::string error;
  EXPECT_TRUE(DecodeKzpPayload(record, payload, content, error)) << error;
  return content;
}

TEST(KzpWav, MonoBlocksOf4100And4102DataBytes) {
  const std::vector<int16_t> samples = Signal(2051);
  const TBytes data = Samples(samples);
  for (size_t size : {size_t{4100}, size_t{4102}}) {
    const TBytes wav = WavFile(1, 16, 22050, TBytes(data.begin(), data.begin() + static_cast<long>(size)));
    const TWavPayload p = Build("Music\\Theme.wav", wav);
    ASSERT_TRUE(p.Built);
    EXPECT_EQ(p.Adpcm(), 1);
    EXPECT_EQ(p.DataSize(), 4100u) << size;  // 4,102 loses its last two bytes
    EXPECT_EQ(p.Stored(), 1025u + 18u);
    EXPECT_EQ(p.Bytes.size(), kKzpWavPayloadHeaderSize + 1043);
    EXPECT_EQ(p.FirstCue(), -1);
    EXPECT_EQ(p.SecondCue(), -1);
    EXPECT_EQ(p.SecondIsDataSize(), 0);
    EXPECT_TRUE(std::equal(wav.begin(), wav.begin() + 40, p.Bytes.begin()));

    // Blocks of 2048, 2048 and 4 PCM bytes: 512 code bytes and a state record, twice, then one
    // code byte and its state record. The state carries on from block to block.
    TImaChannelState state;
    size_t sample = 0;
    const size_t block_starts[] = {58, 58 + 518, 58 + 1036};
    const size_t block_samples[] = {1024, 1024, 2};
    for (int k = 0; k < 3; ++k) {
      std::vector<uint8_t> codes;
      for (size_t s = 0; s < block_samples[k]; ++s) codes.push_back(ImaEncodeSample(state, samples[sample++]));
      const size_t at = block_starts[k];
      for (size_t c = 0; c < codes.size(); c += 2) {
        ASSERT_EQ(p.Bytes[at + c / 2], (codes[c] << 4) | codes[c + 1]) << "block " << k << " code " << c;
      }
      const size_t record = at + codes.size() / 2;
      EXPECT_EQ(LoadLE16(&p.Bytes[record]), static_cast<uint16_t>(state.Predictor)) << k;
      EXPECT_EQ(p.Bytes[record + 2], state.Index) << k;
      EXPECT_EQ(p.Bytes[record + 3], 0) << k;
      EXPECT_EQ(p.Bytes[record + 4], 0) << k;
      EXPECT_EQ(p.Bytes[record + 5], 0) << k;
    }
    EXPECT_EQ(block_starts[2] + 1 + 6, p.Bytes.size());
  }
}

TEST(KzpWav, StereoBlocksHoldTheLeftCodesThenTheRight) {
  // 2,070 bytes: cut to 2,064 (a multiple of 8); blocks of 2,048 and 16 PCM bytes.
  std::vector<int16_t> samples(1035);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(i % 2 == 0 ? 0 : 8000 * std::sin(static_cast<double>(i) / 9));
  }
  const TWavPayload p = Build("Music\\Stereo.wav", WavFile(2, 16, 22050, Samples(samples)));
  ASSERT_TRUE(p.Built);
  EXPECT_EQ(p.DataSize(), 2064u);
  EXPECT_EQ(p.Stored(), 2064u / 4 + 2 * 6);

  TImaChannelState left, right;
  const size_t frames_per_block[] = {512, 4};
  size_t frame = 0;
  size_t at = kKzpWavPayloadHeaderSize;
  for (int k = 0; k < 2; ++k) {
    const size_t frames = frames_per_block[k];
    std::vector<uint8_t> left_codes, right_codes;
    for (size_t f = 0; f < frames; ++f, ++frame) {
      left_codes.push_back(ImaEncodeSample(left, samples[2 * frame]));
      right_codes.push_back(ImaEncodeSample(right, samples[2 * frame + 1]));
    }
    for (size_t c = 0; c < frames; c += 2) {
      EXPECT_EQ(p.Bytes[at + c / 2], (left_codes[c] << 4) | left_codes[c + 1]) << k;
      EXPECT_EQ(p.Bytes[at + frames / 2 + c / 2], (right_codes[c] << 4) | right_codes[c + 1]) << k;
    }
    const size_t record = at + frames;
    EXPECT_EQ(LoadLE16(&p.Bytes[record]), static_cast<uint16_t>(left.Predictor));
    EXPECT_EQ(p.Bytes[record + 2], left.Index);
    EXPECT_EQ(LoadLE16(&p.Bytes[record + 3]), static_cast<uint16_t>(right.Predictor));
    EXPECT_EQ(p.Bytes[record + 5], right.Index);
    at = record + 6;
  }
  EXPECT_EQ(at, p.Bytes.size());
  // Silence on the left stays silence: every left code is 0 while the predictor stays at 0.
  EXPECT_EQ(p.Bytes[kKzpWavPayloadHeaderSize], 0);
  EXPECT_NE(LoadLE16(&p.Bytes[kKzpWavPayloadHeaderSize + 512 + 3]), 0);
}

double SignalToNoise(const TBytes& original, const TBytes& decoded) {
  double signal = 0, noise = 0;
  for (size_t i = 0; i + 1 < original.size() && i + 1 < decoded.size(); i += 2) {
    const double x = static_cast<int16_t>(LoadLE16(&original[i]));
    const double y = static_cast<int16_t>(LoadLE16(&decoded[i]));
    signal += x * x;
    noise += (x - y) * (x - y);
  }
  return 10 * std::log10(signal / noise);
}

TEST(KzpWav, AdpcmRoundTripKeepsTheSignalAbove25Decibels) {
  // One second of two tones with noise, mono and stereo.
  for (uint16_t channels : {uint16_t{1}, uint16_t{2}}) {
    const TBytes data = Samples(Signal(22050 * channels));
    const TBytes wav = WavFile(channels, 16, 22050, data);
    const TWavPayload p = Build("Music\\Tones.wav", wav);
    ASSERT_TRUE(p.Built);
    ASSERT_EQ(p.Adpcm(), 1);
    const TBytes decoded = Decode(p.Bytes);
    ASSERT_EQ(decoded.size(), kKzpWavHeaderSize + p.DataSize());
    const TBytes pcm(decoded.begin() + kKzpWavHeaderSize, decoded.end());
    const double snr = SignalToNoise(data, pcm);
    std::printf("ADPCM round trip, %u channel(s): SNR %.1f dB\n", channels, snr);
    ::testing::Test::RecordProperty(channels == 1 ? "snr_mono_db" : "snr_stereo_db", std::to_string(snr));
    EXPECT_GT(snr, 25.0);
  }
}

TEST(KzpWav, DecoderNoticesADamagedStateRecord) {
  TWavPayload p = Build("x.wav", WavFile(1, 16, 22050, Samples(Signal(3000))));
  ASSERT_TRUE(p.Built);
  p.Bytes[kKzpWavPayloadHeaderSize + 512 + 2] ^= 1;  // the step index after block 0
  TKzpRecord record;
  record.Method = kKzpMethodWav;
  record.StoredSize = static_cast<uint32_t>(p.Bytes.size());
  TBytes content;
  std::string error;
  EXPECT_FALSE(DecodeKzpPayload(record, p.Bytes, content, error));
  EXPECT_NE(error.find("block 0"), std::string::npos) << error;
}

TEST(KzpWav, CuePointsKeepPcmAndBecomeByteOffsets) {
  const TBytes data = Samples(Signal(1000));
  // 16-bit mono at 22,050 Hz: 2 bytes a sample.
  TWavPayload p = Build("Music\\Loop.wav", WavFile(1, 16, 22050, data, CueChunk({100})));
  ASSERT_TRUE(p.Built);
  EXPECT_EQ(p.Adpcm(), 0);
  EXPECT_EQ(p.FirstCue(), 200);
  EXPECT_EQ(p.SecondCue(), 2000);
  EXPECT_EQ(p.SecondIsDataSize(), 1);
  EXPECT_EQ(p.Stored(), 2000u);
  EXPECT_EQ(p.DataSize(), 2000u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), p.Bytes.begin() + kKzpWavPayloadHeaderSize));
  EXPECT_EQ(p.Bytes.size(), kKzpWavPayloadHeaderSize + 2000);

  p = Build("Music\\Loop.wav", WavFile(1, 16, 22050, data, CueChunk({300, 100})));
  EXPECT_EQ(p.FirstCue(), 200);
  EXPECT_EQ(p.SecondCue(), 600);
  EXPECT_EQ(p.SecondIsDataSize(), 0);
  p = Build("Music\\Loop.wav", WavFile(1, 16, 22050, data, CueChunk({100, 300, 50})));
  EXPECT_EQ(p.FirstCue(), 200);
  EXPECT_EQ(p.SecondCue(), 600);

  // Behind another chunk of odd size (chunks are not aligned), stereo: 4 bytes a frame.
  TBytes list = Ascii("LIST");
  list.insert(list.end(), {3, 0, 0, 0, 'a', 'b', 'c'});
  p = Build("Music\\Loop.wav", WavFile(2, 16, 11025, Samples(Signal(2000)), Concat(list, CueChunk({10}))));
  EXPECT_EQ(p.Adpcm(), 0);
  EXPECT_EQ(p.FirstCue(), 40);
  EXPECT_EQ(p.SecondCue(), 4000);

  // A cue chunk without points changes nothing: coded as ADPCM.
  p = Build("Music\\Loop.wav", WavFile(1, 16, 22050, data, CueChunk({})));
  EXPECT_EQ(p.Adpcm(), 1);
  EXPECT_EQ(p.FirstCue(), -1);
  EXPECT_EQ(p.SecondCue(), -1);
}

TEST(KzpWav, EffectsBelowTheRootStayPcm) {
  const TBytes wav = WavFile(1, 16, 22050, Samples(Signal(500)));
  EXPECT_EQ(Build("Sound\\Effects\\Hit.wav", wav).Adpcm(), 0);
  EXPECT_EQ(Build("Effects\\Hit.wav", wav).Adpcm(), 1);
  EXPECT_EQ(Build("Sound\\effects\\Hit.wav", wav).Adpcm(), 1);  // compared with case
  EXPECT_EQ(Build("Sound\\Effects\\Hit.wav", wav).Stored(), 1000u);
  // Sound of other than 16 bits is never coded.
  EXPECT_EQ(Build("Music\\Low.wav", WavFile(1, 8, 22050, TBytes(300, 128))).Adpcm(), 0);
}

TEST(KzpWav, OnlyCanonicalPcmFilesBuild) {
  const TBytes good = WavFile(1, 16, 22050, Samples(Signal(100)));
  ASSERT_TRUE(Build("a.wav", good).Built);
  auto broken = [&](size_t at, const char* bytes, size_t n) {
    TBytes wav = good;
    std::memcpy(&wav[at], bytes, n);
    return Build("a.wav", wav).Built;
  };
  EXPECT_FALSE(broken(0, "RIFX", 4));
  EXPECT_FALSE(broken(8, "WAVX", 4));
  EXPECT_FALSE(broken(12, "fmtX", 4));
  EXPECT_FALSE(broken(16, "\x12\0\0\0", 4));
  EXPECT_FALSE(broken(36, "LIST", 4));
  EXPECT_FALSE(broken(40, "\0\0\0\0", 4));
  EXPECT_FALSE(Build("a.wav", TBytes(good.begin(), good.begin() + 43)).Built);
  // Data that claims more bytes than the file holds, and cue points without a sample rate,
  // are refused rather than read past the end or divided by zero.
  EXPECT_FALSE(broken(40, "\xC9\0\0\0", 4));
  EXPECT_FALSE(Build("a.wav", WavFile(1, 16, 0, Samples(Signal(100)), CueChunk({5}))).Built);
  EXPECT_TRUE(Build("a.wav", WavFile(1, 16, 0, Samples(Signal(100)))).Built);
}

TEST(KzpWav, ChunkScanStaysInsideTheFile) {
  const TBytes data = Samples(Signal(64));
  TBytes huge = Ascii("junk");
  huge.insert(huge.end(), {0xF0, 0xFF, 0xFF, 0xFF});
  const TBytes wav = WavFile(1, 16, 22050, data, Concat(CueChunk({3, 1}), huge));
  for (size_t n = kKzpWavHeaderSize + data.size(); n <= wav.size(); ++n) {
    const TBytes cut(wav.begin(), wav.begin() + static_cast<long>(n));
    const TWavPayload p = Build("a.wav", cut);
    ASSERT_TRUE(p.Built) << n;
    // Both cue points count only once all 24 bytes of each are there.
    const size_t second_point_end = kKzpWavHeaderSize + data.size() + 12 + 48;
    EXPECT_EQ(p.SecondIsDataSize(), n >= kKzpWavHeaderSize + data.size() + 36 && n < second_point_end) << n;
    if (p.Adpcm() == 0) {
      EXPECT_EQ(Decode(p.Bytes).size(), kKzpWavHeaderSize + data.size());
    }
  }
}

TEST(KzpWav, NameTellsWhichEntriesAreSound) {
  EXPECT_TRUE(IsKzpWavName("a.wav"));
  EXPECT_TRUE(IsKzpWavName("Sound\\A.WAV"));
  EXPECT_TRUE(IsKzpWavName("x.y.Wav"));
  EXPECT_FALSE(IsKzpWavName("a.wave"));
  EXPECT_FALSE(IsKzpWavName("wav"));
  EXPECT_FALSE(IsKzpWavName("a.wav\\b"));
  EXPECT_FALSE(IsKzpWavName("a.wav.txt"));
}

}  // namespace
}  // namespace setup

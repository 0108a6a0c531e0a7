// Fixtures for the KZP archive tests, made with the project's own writers: archives with any
// trailer form, WAV files with cue chunks, and an in-memory file system that can refuse to
// open or run out of room.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archives/archive_file.h"
#include "archives/kzp_format.h"
#include "archives/kzp_wav.h"
#include "core/byte_order.h"
#include "core/deflate.h"
#include "test_files.h"

namespace setup::testing {

// One entry of a hand-made archive: its record fields and payload bytes.
struct TArchiveEntry {
  std::string Name;
  TBytes Content;
  uint32_t Date = KzpDosDate(2001, 2, 3);
};

// A method-2 payload of content.
inline TBytes ZlibPayloadOf(const TBytes& content) {
  TBytes stream = Deflate(content.data(), content.size());
  ScrambleKzpStream(stream);
  return stream;
}

// Payloads, directory and footer of the entries; the trailer bytes are the caller's.
inline TBytes ArchiveBody(const std::vector<TArchiveEntry>& entries, std::vector<TKzpRecord>* records_out = nullptr) {
  TBytes out;
  std::vector<TKzpRecord> records;
  for (const TArchiveEntry& e : entries) {
    const TBytes payload = ZlibPayloadOf(e.Content);
    TKzpRecord r;
    r.Method = kKzpMethodZlib;
    r.FileDate = e.Date;
    r.StoredSize = static_cast<uint32_t>(payload.size());
    r.ContentSize = static_cast<uint32_t>(e.Content.size());
    r.Offset = static_cast<uint32_t>(out.size());
    r.Name = e.Name;
    records.push_back(r);
    out.insert(out.end(), payload.begin(), payload.end());
  }
  const TBytes ending = EncodeKzpDirectoryAndFooter(records);
  out.insert(out.end(), ending.begin(), ending.end());
  if (records_out) *records_out = records;
  return out;
}

inline TBytes Concat(TBytes a, const TBytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline TBytes Ascii(const std::string& text) { return TBytes(text.begin(), text.end()); }

// Trailer forms.
inline TBytes OldTrailer(const std::string& nine_bytes) { return Concat(Ascii("KZP2"), Ascii(nine_bytes)); }

inline TBytes Eih1Trailer(const std::string& password, uint8_t seed_a, uint8_t seed_b) {
  TBytes t = EncodeKzpTrailer(password, 0, seed_a, seed_b);
  t[9] = '1';
  t.pop_back();  // no official flag
  return t;
}

// A 16-byte-format WAV file: header, data, then any further chunks.
inline TBytes WavFile(uint16_t channels, uint16_t bits, uint32_t sample_rate, const TBytes& data,
                      const TBytes& after = {}) {
  TBytes out(kKzpWavHeaderSize);
  std::memcpy(out.data(), "RIFF", 4);
  StoreLE32(out.data() + 4, static_cast<uint32_t>(36 + data.size() + after.size()));
  std::memcpy(out.data() + 8, "WAVEfmt ", 8);
  StoreLE32(out.data() + 16, 16);
  StoreLE16(out.data() + 20, 1);
  StoreLE16(out.data() + 22, channels);
  StoreLE32(out.data() + 24, sample_rate);
  const uint16_t block_align = static_cast<uint16_t>(channels * bits / 8);
  StoreLE32(out.data() + 28, sample_rate * block_align);
  StoreLE16(out.data() + 32, block_align);
  StoreLE16(out.data() + 34, bits);
  std::memcpy(out.data() + 36, "data", 4);
  StoreLE32(out.data() + 40, static_cast<uint32_t>(data.size()));
  out = Concat(out, data);
  return Concat(out, after);
}

// A "cue " chunk with one cue point per sample position.
inline TBytes CueChunk(const std::vector<uint32_t>& positions) {
  TBytes out(12 + 24 * positions.size());
  std::memcpy(out.data(), "cue ", 4);
  StoreLE32(out.data() + 4, static_cast<uint32_t>(4 + 24 * positions.size()));
  StoreLE32(out.data() + 8, static_cast<uint32_t>(positions.size()));
  for (size_t i = 0; i < positions.size(); ++i) {
    uint8_t* p = out.data() + 12 + 24 * i;
    StoreLE32(p, static_cast<uint32_t>(i + 1));  // identifier
    StoreLE32(p + 4, positions[i]);              // sample position
    std::memcpy(p + 8, "data", 4);
    StoreLE32(p + 20, positions[i]);
  }
  return out;
}

// 16-bit little-endian samples.
inline TBytes Samples(const std::vector<int16_t>& samples) {
  TBytes out(2 * samples.size());
  for (size_t i = 0; i < samples.size(); ++i) StoreLE16(out.data() + 2 * i, static_cast<uint16_t>(samples[i]));
  return out;
}

// Archives in memory by path. A path can be made to fail opening, to look read-only with
// attributes that cannot be cleared, or to run out of room after a number of bytes.
class TMemoryFileSystem : public TArchiveFileSystem {
 public:
  struct TEntry {
    std::shared_ptr<TBytes> Bytes = std::make_shared<TBytes>();
    bool ReadOnly = false;
    bool AttributesStuck = false;
    bool InUse = false;
    uint64_t WriteLimit = UINT64_MAX;
  };

  TEntry& Put(const std::string& path, const TBytes& bytes) {
    TEntry& e = files[path];
    *e.Bytes = bytes;
    return e;
  }
  const TBytes& Bytes(const std::string& path) { return *files.at(path).Bytes; }

  bool Exists(const std::string& path) override { return files.count(path) != 0; }
  bool IsReadOnly(const std::string& path) override { return Exists(path) && files[path].ReadOnly; }
  bool ClearAttributes(const std::string& path) override {
    if (!Exists(path) || files[path].AttributesStuck) return false;
    files[path].ReadOnly = false;
    return true;
  }
  std::unique_ptr<TArchiveFile> OpenForUpdate(const std::string& path) override {
    ++opens;
    if (!Exists(path)) return nullptr;
    TEntry& e = files[path];
    if (e.ReadOnly || e.InUse) return nullptr;
    auto file = std::make_unique<TMemoryArchiveFile>(e.Bytes);
    file->WriteLimit = e.WriteLimit;
    return file;
  }
  std::unique_ptr<TArchiveFile> OpenForReading(const std::string& path) override {
    if (!Exists(path)) return nullptr;
    return std::make_unique<TMemoryArchiveFile>(files[path].Bytes);
  }
  std::unique_ptr<TArchiveFile> Create(const std::string& path) override {
    TEntry& e = files[path];
    e.Bytes = std::make_shared<TBytes>();
    return std::make_unique<TMemoryArchiveFile>(e.Bytes);
  }
  bool Remove(const std::string& path) override { return files.erase(path) != 0; }
  bool Rename(const std::string& from, const std::string& to) override {
    if (!Exists(from) || Exists(to)) return false;
    files[to] = files[from];
    files.erase(from);
    return true;
  }

  std::map<std::string, TEntry> files;
  int opens = 0;
};

// Reads an archive's ending from bytes; fails the test when it does not read.
inline TKzpIndex IndexOf(const TBytes& bytes) {
  TMemoryArchiveFile file(std::make_shared<TBytes>(bytes));
  TKzpIndex index;
  std::string error;
  if (!ReadKzpIndex(file, index, error)) ADD_FAILURE() << "archive does not read: " << error;
  return index;
}

// The content a record stands for in an archive's bytes.
inline TBytes ContentOf(const TBytes& archive, const TKzpRecord& record) {
  TBytes payload(archive.begin() + record.Offset, archive.begin() + record.Offset + record.StoredSize);
  TBytes content;
  std::string error;
  if (!DecodeKzpPayload(record, payload, content, error)) ADD_FAILURE() << record.Name << ": " << error;
  return content;
}

inline TBytes Tail(const TBytes& bytes) {
  const size_t n = bytes.size() < kKzpTailBytes ? bytes.size() : kKzpTailBytes;
  return TBytes(bytes.end() - static_cast<long>(n), bytes.end());
}

// The trailer of an archive's bytes; fails the test when it does not parse.
inline TKzpTrailer TrailerOf(const TBytes& bytes) {
  const TBytes tail = Tail(bytes);
  TKzpTrailer trailer;
  std::string error;
  EXPECT_TRUE(ParseKzpTrailer(tail.data(), tail.size(), trailer, error)) << error;
  return trailer;
}

inline std::vector<TArchiveEntry> TwoEntries() {
  return {{"Data\\A.txt", TextBytes(3000)}, {"b.bin", NoiseBytes(500, 3)}};
}

inline std::vector<std::string> Names(const TKzpIndex& index) {
  std::vector<std::string> names;
  for (const TKzpRecord& r : index.Records) names.push_back(r.Name);
  return names;
}

// A body whose footer says something else.
inline TBytes WithFooter(std::vector<TArchiveEntry> entries, void (*change)(TKzpFooter&)) {
  std::vector<TKzpRecord> records;
  TBytes bytes = ArchiveBody(entries, &records);
  TKzpFooter footer;
  const size_t at = bytes.size() - kKzpFooterSize;
  footer.CompressedSize = LoadLE32(&bytes[at]);
  footer.InflatedSize = LoadLE32(&bytes[at + 4]);
  footer.Version = LoadLE32(&bytes[at + 8]);
  footer.Count = LoadLE32(&bytes[at + 12]);
  footer.Reserved = LoadLE32(&bytes[at + 16]);
  change(footer);
  const TBytes encoded = EncodeKzpFooter(footer);
  std::copy(encoded.begin(), encoded.end(), bytes.begin() + static_cast<long>(at));
  return bytes;
}

// A deterministic 16-bit signal: two tones and a little noise.
inline std::vector<int16_t> Signal(size_t samples, double phase = 0) {
  std::vector<int16_t> out(samples);
  uint32_t x = 12345;
  for (size_t i = 0; i < samples; ++i) {
    x = x * 1103515245u + 12345u;
    const double t = static_cast<double>(i) / 22050.0;
    const double v = 9000 * std::sin(2 * M_PI * 440 * t + phase) + 4000 * std::sin(2 * M_PI * 1250 * t) +
                     static_cast<double>(static_cast<int>((x >> 16) % 601) - 300);
    out[i] = static_cast<int16_t>(std::lround(v));
  }
  return out;
}

}  // namespace setup::testing

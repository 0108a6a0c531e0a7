// Fixtures for the KZP archive tests, made with the project's own writers: setup packages,
// archives with any trailer form, WAV files with cue chunks, a host whose fatal exit throws,
// and an in-memory file system that can refuse to open or run out of room.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archives/kzp_archive.h"
#include "core/byte_order.h"
#include "core/deflate.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "test_files.h"
#include "test_host.h"

namespace setup::testing {

// What a fatal application exit throws in tests, so the test can see the message.
struct TFatalStop {
  std::string Message;
};

class TFatalHost : public TRecordingHost {
 public:
  [[noreturn]] void FatalAppExit(const std::string& message) override { throw TFatalStop{message}; }
};

// A package entry for WritePackage.
struct TPackageEntry {
  std::string Name;
  uint16_t Group;
  TBytes Data;
};

// Writes a setup package and installs it as the process's package.
inline void InstallPackage(const std::string& file, const std::vector<TPackageEntry>& entries) {
  const std::string path = ScratchPath(file);
  {
    TPak pak(path, pmCreate);
    for (const TPackageEntry& e : entries) {
      const int i = pak.AddEntry(e.Name, "", e.Group);
      if (e.Data.empty()) {
        pak.Directory()[i].Size = 0;
        pak.Directory()[i].Offset = 0;
      } else {
        pak.StoreFromMemory(i, e.Data.data(), static_cast<uint32_t>(e.Data.size()));
      }
    }
    pak.WriteDirectory();
    pak.Close();
  }
  Globals().Package = std::make_unique<TPak>(path, pmRead);
}

// One entry of a hand-made archive: its record fields and payload bytes.
struct TArchiveEntry {
  std::string Name;
  TBytes Content;
  uint32_t Date = KzpDosDate(2001, 2, 3);
};

// A method-2 payload of content.
inline TBytes ZlibPayloadOf(const TBytes& content) {
  TBytes stream = DeflateBest(content.data(), content.size());
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
  const TBytes directory = EncodeKzpDirectory(records);
  TKzpFooter footer;
  footer.CompressedSize = static_cast<uint32_t>(directory.size());
  footer.InflatedSize = static_cast<uint32_t>(records.size() * kKzpRecordSize);
  footer.Version = kKzpFormatVersion;
  footer.Count = static_cast<uint32_t>(records.size());
  const TBytes footer_bytes = EncodeKzpFooter(footer);
  out.insert(out.end(), directory.begin(), directory.end());
  out.insert(out.end(), footer_bytes.begin(), footer_bytes.end());
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
class TMemoryFileSystem : public TKzpFileSystem {
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
  std::unique_ptr<TKzpFile> OpenForUpdate(const std::string& path) override {
    ++opens;
    if (!Exists(path)) return nullptr;
    TEntry& e = files[path];
    if (e.ReadOnly || e.InUse) return nullptr;
    auto file = std::make_unique<TKzpMemoryFile>(e.Bytes);
    file->WriteLimit = e.WriteLimit;
    return file;
  }
  std::unique_ptr<TKzpFile> OpenForReading(const std::string& path) override {
    if (!Exists(path)) return nullptr;
    return std::make_unique<TKzpMemoryFile>(files[path].Bytes);
  }

  std::map<std::string, TEntry> files;
  int opens = 0;
};

// Reads an archive's ending from bytes; fails the test when it does not read.
inline TKzpIndex IndexOf(const TBytes& bytes) {
  TKzpMemoryFile file(std::make_shared<TBytes>(bytes));
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

}  // namespace setup::testing

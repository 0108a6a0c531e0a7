// TBufferManager: a bounds-checked read cursor over a buffer it does not own.
//
// Field readers (ReadUInt8, ReadUInt16, ReadInt32, ReadString) raise ESetupError when the
// buffer holds fewer bytes than the field needs: a record that runs past its buffer is
// corrupt, and its fields are never filled from missing bytes. The chunk readers return
// what is left instead, as their callers expect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace setup {

using TBytes = std::vector<uint8_t>;

class TBufferManager {
 public:
  TBufferManager(const uint8_t* data, size_t length) : data_(data), length_(length) {}

  // A copy of the next n bytes (fewer at the end); empty when nothing is left.
  TBytes ReadChunk(size_t n);
  // Copies up to n bytes to destination and advances; returns the number copied.
  size_t ReadInto(size_t n, void* destination);
  void Seek(size_t position) { position_ = position < length_ ? position : length_; }

  uint8_t ReadUInt8();
  uint16_t ReadUInt16();
  int32_t ReadInt32();
  // 16-bit byte count, then that many bytes.
  std::string ReadString();

  size_t Position() const { return position_; }
  size_t Remaining() const { return length_ - position_; }

 private:
  const uint8_t* Need(size_t n, const char* field);

  const uint8_t* data_;
  size_t position_ = 0;
  size_t length_;
};

}  // namespace setup

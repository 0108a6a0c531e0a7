// The read cursor behind every record parser of the setup package.
#include "core/buffer_manager.h"

#include <cstring>

#include "core/byte_order.h"
#include "core/error.h"

namespace setup {

TBytes TBufferManager::ReadChunk(size_t n) {
  size_t take = n < Remaining() ? n : Remaining();
  TBytes out(data_ + position_, data_ + position_ + take);
  position_ += take;
  return out;
}

size_t TBufferManager::ReadInto(size_t n, void* destination) {
  size_t take = n < Remaining() ? n : Remaining();
  if (take > 0) std::memcpy(destination, data_ + position_, take);
  position_ += take;
  return take;
}

const uint8_t* TBufferManager::Need(size_t n, const char* field) {
  if (Remaining() < n) {
    throw ESetupError(std::string("Record truncated: ") + field + " needs " + std::to_string(n) +
                      " bytes at offset " + std::to_string(position_) + ", " +
                      std::to_string(Remaining()) + " left");
  }
  const uint8_t* p = data_ + position_;
  position_ += n;
  return p;
}

uint8_t TBufferManager::ReadUInt8() { return *Need(1, "byte"); }

uint16_t TBufferManager::ReadUInt16() { return LoadLE16(Need(2, "16-bit integer")); }

int32_t TBufferManager::ReadInt32() {
  return static_cast<int32_t>(LoadLE32(Need(4, "32-bit integer")));
}

std::string TBufferManager::ReadString() {
  uint16_t count = ReadUInt16();
  const uint8_t* p = Need(count, "string");
  return std::string(reinterpret_cast<const char*>(p), count);
}

}  // namespace setup

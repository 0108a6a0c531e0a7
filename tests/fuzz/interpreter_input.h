// The input of fuzz_interpreter: compiled lines in a compact form that mutations keep valid,
// read by the target and written by make_fuzz_seeds.
//
//   byte 0     answers of the message boxes: bit i (mod 8) answers box i, set OK, clear Cancel
//   then lines, each:
//     int8     command number (so numbers below, inside and beyond the registry)
//     uint8    0: the line runs itself; n: its LineIndex is n - 1 (another line, or none)
//     uint8    parameter count (low 4 bits)
//     then per parameter: uint8 length (low 5 bits) and that many bytes
//
// An input that ends inside a line ends the line there, with what it has read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/setup_info.h"

namespace setup::fuzz {

struct TInterpreterInput {
  uint8_t Answers = 0;
  std::vector<TCompiledLine> Lines;
};

constexpr size_t kMaxInputLines = 64;

inline TInterpreterInput DecodeInterpreterInput(const uint8_t* data, size_t size) {
  TInterpreterInput input;
  size_t at = 0;
  const auto next = [&](uint8_t& byte) {
    if (at == size) return false;
    byte = data[at++];
    return true;
  };
  uint8_t byte = 0;
  if (!next(input.Answers)) return input;
  while (at < size && input.Lines.size() < kMaxInputLines) {
    TCompiledLine line;
    const int32_t position = static_cast<int32_t>(input.Lines.size());
    line.Command = static_cast<int8_t>(data[at++]);
    line.LineIndex = next(byte) && byte != 0 ? byte - 1 : position;
    const int count = next(byte) ? byte & 0x0F : 0;
    for (int i = 0; i < count && next(byte); ++i) {
      const size_t length = byte & 0x1F;
      const size_t take = length < size - at ? length : size - at;
      line.Params.emplace_back(reinterpret_cast<const char*>(data + at), take);
      at += take;
    }
    line.ParamCount = static_cast<int32_t>(line.Params.size());
    input.Lines.push_back(std::move(line));
  }
  return input;
}

// The bytes that decode to the input; parameters are cut to 31 bytes, counts to 15, and a
// LineIndex that cannot be written is written as the line's own.
inline std::string EncodeInterpreterInput(const TInterpreterInput& input) {
  std::string out(1, static_cast<char>(input.Answers));
  for (size_t i = 0; i < input.Lines.size() && i < kMaxInputLines; ++i) {
    const TCompiledLine& line = input.Lines[i];
    out += static_cast<char>(static_cast<int8_t>(line.Command));
    const bool other = line.LineIndex != static_cast<int32_t>(i) && line.LineIndex >= 0 && line.LineIndex < 255;
    out += static_cast<char>(other ? line.LineIndex + 1 : 0);
    const size_t count = line.Params.size() < 16 ? line.Params.size() : 15;
    out += static_cast<char>(count);
    for (size_t p = 0; p < count; ++p) {
      const std::string text = line.Params[p].substr(0, 31);
      out += static_cast<char>(text.size());
      out += text;
    }
  }
  return out;
}

}  // namespace setup::fuzz

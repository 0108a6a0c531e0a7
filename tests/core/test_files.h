// Scratch files for tests: a folder of its own per test process, removed at exit.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace setup::testing {

inline std::filesystem::path ScratchFolder() {
  static const std::filesystem::path folder = [] {
    auto p = std::filesystem::temp_directory_path() / ("setup-tests-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p);
    static struct Remover {
      std::filesystem::path p;
      ~Remover() {
        std::error_code ec;
        std::filesystem::remove_all(p, ec);
      }
    } remover{p};
    return p;
  }();
  return folder;
}

inline std::string ScratchPath(const std::string& name) { return (ScratchFolder() / name).string(); }

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Deterministic bytes: compressible text-like runs or noise that deflate cannot shrink.
inline std::vector<uint8_t> TextBytes(size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>("setup package entry\n"[i % 20]);
  return out;
}

inline std::vector<uint8_t> NoiseBytes(size_t n, uint32_t seed = 1) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return out;
}

}  // namespace setup::testing

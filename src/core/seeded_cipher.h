// The two-pass seeded cipher of the game-archive password block.
//
// Two digit keys are derived from two seed bytes: the digits 1 to 9 of the sine (first key)
// and cosine (second key) of the seed in radians, written with fifteen significant digits.
// Encrypt adds the first key's digits front to back, then adds the second key's digits while
// walking the result from its end; Decrypt undoes both passes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace setup {

class TEncryptionType {
 public:
  virtual ~TEncryptionType() = default;
  virtual std::string Encrypt(std::string_view text) = 0;
  virtual std::string Decrypt(std::string_view text) = 0;
};

class TMerinEncryptionType : public TEncryptionType {
 public:
  std::string Encrypt(std::string_view text) override;
  std::string Decrypt(std::string_view text) override;
  // The digits 1 to 9 of the seed's sine (first) or cosine (second). A key without any digit
  // (the sine of 0) shifts nothing.
  std::string SeedKey(bool first) const;

  uint8_t FirstSeed = 1;
  uint8_t SecondSeed = 2;
};

}  // namespace setup

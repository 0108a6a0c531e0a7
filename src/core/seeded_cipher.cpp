#include "core/seeded_cipher.h"

#include <cmath>
#include <cstdio>

namespace setup {

namespace {

// Digit of a key at a cycling position; an empty key shifts by 0.
int KeyDigit(const std::string& key, size_t position) {
  return key.empty() ? 0 : key[position % key.size()] - '0';
}

}  // namespace

std::string TMerinEncryptionType::SeedKey(bool first) const {
  const long double seed = first ? FirstSeed : SecondSeed;
  const long double value = first ? std::sin(seed) : std::cos(seed);
  // Fifteen significant digits from the extended value, as FloatText writes them.
  char text[64];
  std::snprintf(text, sizeof text, "%.15Lg", value);
  std::string key;
  for (const char* p = text; *p; ++p) {
    if (*p >= '1' && *p <= '9') key.push_back(*p);
  }
  return key;
}

std::string TMerinEncryptionType::Encrypt(std::string_view text) {
  const std::string a = SeedKey(true);
  const std::string b = SeedKey(false);
  std::string pass1(text);
  for (size_t i = 0; i < pass1.size(); ++i) {
    pass1[i] = static_cast<char>(static_cast<unsigned char>(pass1[i]) + KeyDigit(a, i));
  }
  std::string out(pass1.size(), '\0');
  for (size_t p = 0; p < pass1.size(); ++p) {
    out[p] = static_cast<char>(static_cast<unsigned char>(pass1[pass1.size() - 1 - p]) + KeyDigit(b, p));
  }
  return out;
}

std::string TMerinEncryptionType::Decrypt(std::string_view text) {
  const std::string a = SeedKey(true);
  const std::string b = SeedKey(false);
  const size_t n = text.size();
  std::string pass1(n, '\0');
  for (size_t p = 0; p < n; ++p) {
    pass1[n - 1 - p] = static_cast<char>(static_cast<unsigned char>(text[p]) - KeyDigit(b, p));
  }
  for (size_t i = 0; i < n; ++i) {
    pass1[i] = static_cast<char>(static_cast<unsigned char>(pass1[i]) - KeyDigit(a, i));
  }
  return pass1;
}

}  // namespace setup

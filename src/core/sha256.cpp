// The digest factory behind NewSha256, and the digest's text form.
#include "core/sha256.h"

namespace setup {

namespace {

TSha256Factory& InstalledSha256Factory() {
#ifdef _WIN32
  static TSha256Factory factory;
#else
  static TSha256Factory factory = [] { return NewLibcryptoSha256(); };
#endif
  return factory;
}

}  // namespace

void SetSha256Factory(TSha256Factory factory) { InstalledSha256Factory() = std::move(factory); }

std::unique_ptr<TSha256> NewSha256() {
  const TSha256Factory& factory = InstalledSha256Factory();
  return factory ? factory() : nullptr;
}

std::string Sha256Hex(const TSha256Digest& digest) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * kSha256Size);
  for (uint8_t byte : digest) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

}  // namespace setup

// SHA-256 on Windows from the platform's cryptographic service, in a verify-only context of
// the RSA/AES provider type: the plain RSA type has no SHA-256, and a verify-only context
// touches no key container. A system that cannot make the hash offers no digest (null); a
// hash that fails later fails its update or finish, and so does any call after the finish.
#include "platform/win32/sha256_win32.h"

#include "platform/win32/windows_support.h"  // before <wincrypt.h>, which needs it

#include <wincrypt.h>

namespace setup {

namespace {

// CryptHashData takes a DWORD length: larger data goes in pieces of at most this size.
constexpr size_t kLargestHashPiece = 0x40000000;  // 1 GiB

class TCryptoApiSha256 : public TSha256 {
 public:
  TCryptoApiSha256(HCRYPTPROV provider, HCRYPTHASH hash) : provider_(provider), hash_(hash) {}
  ~TCryptoApiSha256() override {
    CryptDestroyHash(hash_);
    CryptReleaseContext(provider_, 0);
  }
  TCryptoApiSha256(const TCryptoApiSha256&) = delete;
  TCryptoApiSha256& operator=(const TCryptoApiSha256&) = delete;

  bool Update(const uint8_t* data, size_t size) override {
    while (ok_ && size > 0) {
      const DWORD n = static_cast<DWORD>(size < kLargestHashPiece ? size : kLargestHashPiece);
      ok_ = CryptHashData(hash_, data, n, 0) != FALSE;
      data += n;
      size -= n;
    }
    return ok_;
  }

  bool Final(TSha256Digest& digest) override {
    DWORD length = kSha256Size;
    const bool done = ok_ && CryptGetHashParam(hash_, HP_HASHVAL, digest.data(), &length, 0) && length == kSha256Size;
    ok_ = false;
    return done;
  }

 private:
  HCRYPTPROV provider_;
  HCRYPTHASH hash_;
  bool ok_ = true;  // false after a failure or the finish
};

}  // namespace

std::unique_ptr<TSha256> NewCryptoApiSha256() {
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return nullptr;
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
    CryptReleaseContext(provider, 0);
    return nullptr;
  }
  return std::make_unique<TCryptoApiSha256>(provider, hash);
}

}  // namespace setup

// SHA-256 on Windows from the platform's cryptographic service, in a verify-only context of
// the RSA/AES provider type: the plain RSA type has no SHA-256, and a verify-only context
// touches no key container. A system that cannot make the hash offers no digest (null); a
// hash that fails later fails its update or finish, and so does any call after the finish.
// The context is acquired once for the process and kept: acquiring one costs milliseconds
// (5 ms under Wine), which a patch of a few hundred files would pay twice per file.
#include "platform/win32/sha256_win32.h"

#include "platform/win32/windows_support.h"  // before <wincrypt.h>, which needs it

#include <wincrypt.h>

namespace setup {

namespace {

// CryptHashData takes a DWORD length: larger data goes in pieces of at most this size.
constexpr size_t kLargestHashPiece = 0x40000000;  // 1 GiB

class TCryptoApiSha256 : public TSha256 {
 public:
  explicit TCryptoApiSha256(HCRYPTHASH hash) : hash_(hash) {}
  ~TCryptoApiSha256() override { CryptDestroyHash(hash_); }
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
  HCRYPTHASH hash_;
  bool ok_ = true;  // false after a failure or the finish
};

// The process's context, or 0 when the system has none (asked once). Hash objects of one
// context may be made and used on several threads.
HCRYPTPROV SharedProvider() {
  static const HCRYPTPROV provider = [] {
    HCRYPTPROV acquired = 0;
    return CryptAcquireContextW(&acquired, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ? acquired : 0;
  }();
  return provider;
}

}  // namespace

std::unique_ptr<TSha256> NewCryptoApiSha256() {
  const HCRYPTPROV provider = SharedProvider();
  HCRYPTHASH hash = 0;
  if (provider == 0 || !CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) return nullptr;
  return std::make_unique<TCryptoApiSha256>(hash);
}

}  // namespace setup

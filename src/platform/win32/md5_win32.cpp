// The VFS archive digest on Windows: MD5 from the platform's cryptographic service, in a
// verify-only context of the full RSA provider type (no key container is touched). No
// context means no digest (the archive keeps its old one); a context that will not hash
// fails its updates, which the save turns into "MD5 Error".
#include "platform/win32/md5_win32.h"

#include "platform/win32/windows_support.h"  // before <wincrypt.h>, which needs it

#include <wincrypt.h>

namespace setup {

namespace {

class TCryptoApiMd5 : public TMd5 {
 public:
  TCryptoApiMd5(HCRYPTPROV provider, HCRYPTHASH hash) : provider_(provider), hash_(hash) {}
  ~TCryptoApiMd5() override {
    if (hash_) CryptDestroyHash(hash_);
    CryptReleaseContext(provider_, 0);
  }
  TCryptoApiMd5(const TCryptoApiMd5&) = delete;
  TCryptoApiMd5& operator=(const TCryptoApiMd5&) = delete;

  bool Update(const uint8_t* data, size_t size) override {
    if (!hash_) return false;
    // CryptHashData takes a DWORD length: larger pieces go in several calls.
    while (size > 0) {
      const DWORD n = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
      if (!CryptHashData(hash_, data, n, 0)) return false;
      data += n;
      size -= n;
    }
    return true;
  }

  bool Final(uint8_t digest[kMd5DigestSize]) override {
    DWORD length = kMd5DigestSize;
    return hash_ && CryptGetHashParam(hash_, HP_HASHVAL, digest, &length, 0) && length == kMd5DigestSize;
  }

 private:
  HCRYPTPROV provider_;
  HCRYPTHASH hash_;
};

}  // namespace

std::unique_ptr<TMd5> NewCryptoApiMd5() {
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return nullptr;
  // A context without its hash object is a hashing failure, which the save reports, not a
  // missing service.
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) hash = 0;
  return std::make_unique<TCryptoApiMd5>(provider, hash);
}

}  // namespace setup

// The VFS archive digest on native builds, from libcrypto's EVP interface.
#include <openssl/evp.h>

#include "archives/vfs_md5.h"

namespace setup {

namespace {

class TLibcryptoMd5 : public TMd5 {
 public:
  TLibcryptoMd5() : context_(EVP_MD_CTX_new()) {
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_md5(), nullptr) == 1;
  }
  ~TLibcryptoMd5() override { EVP_MD_CTX_free(context_); }
  TLibcryptoMd5(const TLibcryptoMd5&) = delete;
  TLibcryptoMd5& operator=(const TLibcryptoMd5&) = delete;

  bool Usable() const { return ok_; }

  bool Update(const uint8_t* data, size_t size) override {
    ok_ = ok_ && (size == 0 || EVP_DigestUpdate(context_, data, size) == 1);
    return ok_;
  }

  bool Final(uint8_t digest[kMd5DigestSize]) override {
    unsigned int length = 0;
    ok_ = ok_ && EVP_DigestFinal_ex(context_, digest, &length) == 1 && length == kMd5DigestSize;
    return ok_;
  }

 private:
  EVP_MD_CTX* context_;
  bool ok_ = false;
};

}  // namespace

std::unique_ptr<TMd5> NewLibcryptoMd5() {
  auto md5 = std::make_unique<TLibcryptoMd5>();
  if (!md5->Usable()) return nullptr;
  return md5;
}

}  // namespace setup

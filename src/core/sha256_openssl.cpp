// SHA-256 on native builds, from libcrypto's EVP interface. A digest that has failed once, or
// has been finished, refuses every later call.
#include <openssl/evp.h>

#include "core/sha256.h"

namespace setup {

namespace {

class TLibcryptoSha256 : public TSha256 {
 public:
  TLibcryptoSha256() : context_(EVP_MD_CTX_new()) {
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
  }
  ~TLibcryptoSha256() override { EVP_MD_CTX_free(context_); }
  TLibcryptoSha256(const TLibcryptoSha256&) = delete;
  TLibcryptoSha256& operator=(const TLibcryptoSha256&) = delete;

  bool Usable() const { return ok_; }

  bool Update(const uint8_t* data, size_t size) override {
    ok_ = ok_ && (size == 0 || EVP_DigestUpdate(context_, data, size) == 1);
    return ok_;
  }

  bool Final(TSha256Digest& digest) override {
    unsigned int length = 0;
    const bool done = ok_ && EVP_DigestFinal_ex(context_, digest.data(), &length) == 1 && length == kSha256Size;
    // libcrypto 3.0 takes updates and a second finish on a finished context and answers with
    // a digest of nothing the caller fed: the digest ends here.
    ok_ = false;
    return done;
  }

 private:
  EVP_MD_CTX* context_;
  bool ok_ = false;
};

}  // namespace

std::unique_ptr<TSha256> NewLibcryptoSha256() {
  auto sha256 = std::make_unique<TLibcryptoSha256>();
  if (!sha256->Usable()) return nullptr;
  return sha256;
}

}  // namespace setup

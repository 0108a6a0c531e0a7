// The MD5 digest a VFS archive carries in its header, behind a small interface.
//
// The archive code is portable: natively the digest comes from libcrypto (md5_openssl.cpp), on
// Windows from the platform's cryptographic service (platform/win32/md5_win32.h), which the
// program and the Windows tools install with SetMd5Factory at start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace setup {

constexpr size_t kMd5DigestSize = 16;

// One running digest. Update and Final return false when the service fails; the archive code
// turns that into the internal error "MD5 Error".
class TMd5 {
 public:
  virtual ~TMd5() = default;
  virtual bool Update(const uint8_t* data, size_t size) = 0;
  virtual bool Final(uint8_t digest[kMd5DigestSize]) = 0;
};

// Makes a fresh digest, or null when the system offers none; an archive saved then keeps the
// digest it had.
using TMd5Factory = std::function<std::unique_ptr<TMd5>()>;

// Installs the factory the archive code uses; an empty one means no digest is available.
// Natively libcrypto is installed from the start; on Windows nothing is until the program
// installs the Windows layer's digest.
void SetMd5Factory(TMd5Factory factory);
std::unique_ptr<TMd5> NewMd5();

#ifndef _WIN32
std::unique_ptr<TMd5> NewLibcryptoMd5();
#endif

}  // namespace setup

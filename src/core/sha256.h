// The SHA-256 digest of the setup's data files, behind a small interface.
//
// A setup whose payload lies in data files beside it keeps the SHA-256 of each data file in its
// own package, which a signature covers; start-up refuses a data file whose digest differs. The
// core is portable: natively the digest comes from libcrypto (sha256_openssl.cpp, compiled only
// there), on Windows from the platform's cryptographic service (platform/win32/sha256_win32.h),
// which the program installs with SetSha256Factory at start-up.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace setup {

constexpr size_t kSha256Size = 32;
using TSha256Digest = std::array<uint8_t, kSha256Size>;

// One running digest. Update and Final return false when the service fails. Final finishes
// the digest: every call after it fails, so a finished digest is never extended or read twice.
class TSha256 {
 public:
  virtual ~TSha256() = default;
  virtual bool Update(const uint8_t* data, size_t size) = 0;
  virtual bool Final(TSha256Digest& digest) = 0;
};

// Makes a fresh digest, or null when the system offers none.
using TSha256Factory = std::function<std::unique_ptr<TSha256>()>;

// Installs the factory that NewSha256 uses; an empty one means no digest is available.
// Natively libcrypto is installed from the start; on Windows nothing is until the program
// installs the Windows layer's digest, and NewSha256 gives null until then.
void SetSha256Factory(TSha256Factory factory);
std::unique_ptr<TSha256> NewSha256();

#ifndef _WIN32
// libcrypto's SHA-256; null when libcrypto cannot make one.
std::unique_ptr<TSha256> NewLibcryptoSha256();
#endif

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const TSha256Digest& digest);

}  // namespace setup

// SHA-256 on Windows, from the platform's cryptographic service, which setup.exe installs with
// SetSha256Factory at start-up.
#pragma once

#include <memory>

#include "core/sha256.h"

namespace setup {

// A verify-only context of the RSA/AES provider type (the type that offers SHA-256) and its
// SHA-256 hash; null when either cannot be had.
std::unique_ptr<TSha256> NewCryptoApiSha256();

}  // namespace setup

// The VFS archive digest on Windows: MD5 from the platform's cryptographic service, which
// setup.exe and the Windows archive tools install with SetMd5Factory at start-up.
#pragma once

#include <memory>

#include "archives/vfs_md5.h"

namespace setup {

// A verify-only context of the full RSA provider type and its MD5 hash; null when the
// context cannot be acquired, failing updates when the hash object cannot be made.
std::unique_ptr<TMd5> NewCryptoApiMd5();

}  // namespace setup

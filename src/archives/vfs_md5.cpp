// The digest factory the VFS archive code asks for its MD5.
#include "archives/vfs_md5.h"

namespace setup {

namespace {

TMd5Factory& InstalledMd5Factory() {
#ifdef _WIN32
  static TMd5Factory factory;
#else
  static TMd5Factory factory = [] { return NewLibcryptoMd5(); };
#endif
  return factory;
}

}  // namespace

void SetMd5Factory(TMd5Factory factory) { InstalledMd5Factory() = std::move(factory); }

std::unique_ptr<TMd5> NewMd5() {
  const TMd5Factory& factory = InstalledMd5Factory();
  return factory ? factory() : nullptr;
}

}  // namespace setup

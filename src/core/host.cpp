// The host in use and the portable fallback.
#include "core/host.h"

#include <cstdio>
#include <cstdlib>

#include "core/text.h"

namespace setup {

namespace {
TPortableHost g_portable_host;
THost* g_host = &g_portable_host;
}  // namespace

THost& Host() { return *g_host; }

void SetHost(THost* host) { g_host = host ? host : &g_portable_host; }

int TPortableHost::ShowMessageBox(const std::string& text, const std::string& caption, unsigned) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  return kIdOk;
}

// Latin-1 both ways: every byte is the code point of the same value; wide characters
// outside it become "?", as the Windows conversion does for unmappable characters.
void TPortableHost::FatalAppExit(const std::string& message) {
  std::fprintf(stderr, "fatal: %s\n", message.c_str());
  std::fflush(stderr);
  std::_Exit(3);
}

std::u16string TPortableHost::AnsiToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (unsigned char c : text) out.push_back(static_cast<char16_t>(c));
  return out;
}

std::string TPortableHost::WideToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  return out;
}

std::string TPortableHost::LowerLocale(std::string_view text) { return LowerLatin1(text); }

}  // namespace setup

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

int THost::ShowMessageBoxWide(const std::u16string& text, const std::u16string& caption, unsigned style) {
  return ShowMessageBox(WideToUtf8(text), WideToUtf8(caption), style);
}

std::string LegacyTextToUtf8(std::string_view text) {
  return IsAscii(text) ? std::string(text) : WideToUtf8(Host().AnsiToWide(text));
}

void TPortableHost::FatalAppExit(const std::string& message) {
  std::fprintf(stderr, "fatal: %s\n", message.c_str());
  std::fflush(stderr);
  std::_Exit(3);
}

std::u16string TPortableHost::AnsiToWide(std::string_view text) { return Utf8ToWide(Windows1252ToUtf8(text)); }

std::string TPortableHost::LowerLocale(std::string_view text) { return LowerUnicode(text); }

}  // namespace setup

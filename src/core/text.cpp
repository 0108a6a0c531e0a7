// Text helpers shared by the runtime, the builder and the tools.
#include "core/text.h"

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#ifndef _WIN32
#include <clocale>
#include <locale.h>
#endif

namespace setup {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
char16_t LowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string LowerUnicode(std::string_view text) {
  if (IsAscii(text)) return LowerAscii(text);
  const std::u16string wide = Utf8ToWide(text);
  std::u16string out;
  out.reserve(wide.size());
#ifndef _WIN32
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
#endif
  for (size_t i = 0; i < wide.size(); ++i) {
    char32_t cp = wide[i];
    const bool pair = cp >= 0xD800 && cp <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF;
    if (pair) cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[++i] - 0xDC00);
#ifdef _WIN32
    // Windows programs take the system's rule from their host; ASCII and Latin-1 here.
    if ((cp >= 'A' && cp <= 'Z') || (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7)) cp += 32;
#else
    if (utf8 != static_cast<locale_t>(0)) cp = static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), utf8));
#endif
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return WideToUtf8(out);
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

uint64_t FoldedHashAscii(std::string_view text) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (char c : text) {
    hash ^= static_cast<uint8_t>(LowerAscii(c));
    hash *= 0x100000001B3ull;
  }
  return hash;
}

namespace {

template <typename Char>
size_t FindAscii(std::basic_string_view<Char> text, std::basic_string_view<Char> key, size_t from) {
  if (key.size() > text.size()) return std::basic_string_view<Char>::npos;
  for (size_t i = from; i + key.size() <= text.size(); ++i) {
    size_t j = 0;
    while (j < key.size() && LowerAscii(text[i + j]) == LowerAscii(key[j])) ++j;
    if (j == key.size()) return i;
  }
  return std::basic_string_view<Char>::npos;
}

template <typename Char>
std::basic_string<Char> ReplaceTextImpl(std::basic_string_view<Char> text, std::basic_string_view<Char> key,
                                        std::basic_string_view<Char> replacement) {
  using View = std::basic_string_view<Char>;
  std::basic_string<Char> out(text);
  if (key.empty()) return out;
  if (FindAscii<Char>(replacement, key, 0) != View::npos) {
    // One pass, left to right, over the original occurrences.
    std::basic_string<Char> result;
    size_t from = 0;
    for (size_t at = FindAscii<Char>(text, key, 0); at != View::npos; at = FindAscii<Char>(text, key, from)) {
      result.append(text.substr(from, at - from));
      result.append(replacement);
      from = at + key.size();
    }
    result.append(text.substr(from));
    return result;
  }
  for (size_t at = FindAscii<Char>(out, key, 0); at != View::npos; at = FindAscii<Char>(out, key, 0)) {
    out.replace(at, key.size(), replacement);
  }
  return out;
}

}  // namespace

std::string ReplaceText(std::string_view text, std::string_view key, std::string_view replacement) {
  return ReplaceTextImpl<char>(text, key, replacement);
}

std::u16string ReplaceText(std::u16string_view text, std::u16string_view key, std::u16string_view replacement) {
  return ReplaceTextImpl<char16_t>(text, key, replacement);
}

std::string SizeText(int64_t n) {
  static const char* const kUnits[] = {"Bytes", "KB", "MB", "GB"};
  double x = static_cast<double>(n);
  int unit = 0;
  for (;;) {
    x /= 1024;
    // Truncation toward zero, as an integer: values beyond 64 bits never occur here.
    int64_t t = static_cast<int64_t>(x);
    if (t > 0) ++unit;
    if (t == 0) {
      x *= 1024;
      break;
    }
    if (unit == 3) break;
  }
  // Fixed-point with two decimals at seven significant digits; larger numbers fall back to the
  // general form with an exponent, as fixed text holds at most seven integer digits.
  //
  // The seven digits come as d.dddddde+XX; read back as an integer M and exponent XX - 6, they
  // give the rounded value M / 10^(6 - XX). x is 0, a whole number or at least 1 in size (it is
  // only divided while the quotient stays at or above 1), so XX >= 0 and the divisor is an exact
  // power of ten up to 10^6: one division rounds exactly as parsing the decimal text would.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6e", x);
  const char* p = buf;
  const bool negative = *p == '-';
  if (negative) ++p;
  int64_t digits = 0;
  for (; *p != '\0' && *p != 'e'; ++p) {
    if (*p >= '0' && *p <= '9') digits = digits * 10 + (*p - '0');  // skips the decimal point
  }
  const int exponent = *p == 'e' ? std::atoi(p + 1) : 0;
  if (exponent >= 7) {
    std::snprintf(buf, sizeof buf, "%.7G", x);
  } else {
    double power = 1;
    for (int i = exponent; i < 6; ++i) power *= 10;
    const double rounded = (negative ? -1.0 : 1.0) * static_cast<double>(digits) / power;
    std::snprintf(buf, sizeof buf, "%.2f", rounded);
  }
  std::string text = buf;
  for (char& c : text) {
    if (c == ',') c = '.';
  }
  return text + " " + kUnits[unit];
}

std::string WithTrailingBackslash(const std::string& path) {
  if (path.empty() || path.back() == '\\') return path;
  return path + '\\';
}

std::u16string WithTrailingBackslash(const std::u16string& path) {
  if (path.empty() || path.back() == u'\\') return path;
  return path + u'\\';
}

std::pair<std::string, std::string> SplitAtEquals(std::string_view text) {
  size_t at = text.find('=');
  if (at == std::string_view::npos) return {std::string(), std::string(text)};
  return {std::string(text.substr(0, at)), std::string(text.substr(at + 1))};
}

namespace {

std::string StripMarks(std::string_view name, char open, char close) {
  std::string result;
  std::string_view rest = name;
  while (!rest.empty()) {
    size_t o = rest.find(open);
    if (o == std::string_view::npos) {
      result.append(rest);
      break;
    }
    result.append(rest.substr(0, o));
    rest.remove_prefix(o + 1);
    size_t c = rest.find(close);
    if (c == std::string_view::npos) {
      result.push_back(open);
      result.append(rest);
      break;
    }
    std::string_view inner = rest.substr(0, c);
    bool removable = inner.find_first_not_of("123456789") == std::string_view::npos;
    if (!removable) {
      result.push_back(open);
      result.append(inner);
      result.push_back(close);
    } else if (!result.empty() && result.back() == ' ') {
      result.pop_back();  // "setup (2).exe": the blank belongs to the mark
    }
    rest.remove_prefix(c + 1);
  }
  return result;
}

}  // namespace

std::string StripCopyMarks(std::string_view name) { return StripMarks(StripMarks(name, '(', ')'), '[', ']'); }

std::string FileNamePart(std::string_view path) {
  size_t at = path.find_last_of("\\/:");
  return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

std::optional<std::vector<std::string>> SafeRelativeParts(std::string_view name) {
  std::vector<std::string> parts(1);
  for (char c : name) {
    if (c == '\\' || c == '/') {
      parts.emplace_back();
    } else if (c == ':' || static_cast<unsigned char>(c) < 32) {
      return std::nullopt;
    } else {
      parts.back().push_back(c);
    }
  }
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") return std::nullopt;
  }
  return parts;
}

std::u16string WidenAscii(std::string_view text) {
  std::u16string out;
  for (unsigned char c : text) out.push_back(c);
  return out;
}

}  // namespace setup

namespace setup {

namespace {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

constexpr char32_t kInvalid = 0xFFFFFFFF;

// The character at text[i], i moved past it; kInvalid (i past one byte) for an invalid byte.
// Surrogate values in three bytes are read when allow_surrogates holds.
char32_t NextUtf8(std::string_view text, size_t& i, bool allow_surrogates) {
  const unsigned char c = static_cast<unsigned char>(text[i++]);
  if (c < 0x80) return c;
  const int extra = (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
  if (extra < 0 || text.size() - i < static_cast<size_t>(extra)) return kInvalid;
  char32_t cp = c & (0x3F >> extra);
  for (int k = 0; k < extra; ++k) {
    const unsigned char cc = static_cast<unsigned char>(text[i + k]);
    if ((cc & 0xC0) != 0x80) return kInvalid;
    cp = (cp << 6) | (cc & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[extra] || cp > 0x10FFFF) return kInvalid;
  if (cp >= 0xD800 && cp <= 0xDFFF && !allow_surrogates) return kInvalid;
  i += static_cast<size_t>(extra);
  return cp;
}

// Code points of the bytes 0x80 to 0x9F; the five unassigned bytes stand for themselves.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

std::u16string Utf8ToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const char32_t cp = NextUtf8(text, i, true);
    if (cp == kInvalid) {
      out.push_back(0xFFFD);
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  return out;
}

std::string WideToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(c - 0xD800) << 10) | (text[i + 1] - 0xDC00)));
      ++i;
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (NextUtf8(text, i, false) == kInvalid) return false;
  }
  return true;
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::string Windows1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) AppendUtf8(out, c >= 0x80 && c < 0xA0 ? kWindows1252High[c - 0x80] : c);
  return out;
}

namespace {

bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// "\\?\", "\\.\" and "\??\" (either separator): the path is given in the system's own form.
bool HasDevicePrefix(std::u16string_view path) {
  if (path.size() < 4 || !IsPathSeparator(path[3])) return false;
  if (IsPathSeparator(path[0]) && IsPathSeparator(path[1])) return path[2] == u'?' || path[2] == u'.';
  return IsPathSeparator(path[0]) && path[1] == u'?' && path[2] == u'?';
}

bool StartsAtDrive(std::u16string_view path) {
  return path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == u':' && IsPathSeparator(path[2]);
}

bool StartsAtShare(std::u16string_view path) {
  return path.size() >= 3 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]) && !IsPathSeparator(path[2]) &&
         !HasDevicePrefix(path);
}

}  // namespace

bool NeedsLongPathForm(std::u16string_view path) {
  return path.size() >= kLongPathFrom && (StartsAtDrive(path) || StartsAtShare(path));
}

std::u16string LongPathForm(std::u16string_view full_path) {
  std::u16string out;
  if (StartsAtDrive(full_path)) {
    out = u"\\\\?\\" + std::u16string(full_path);
  } else if (StartsAtShare(full_path)) {
    out = u"\\\\?\\UNC\\" + std::u16string(full_path.substr(2));
  } else {
    return std::u16string(full_path);
  }
  // The prefix turns off the system's reading of "/" as a separator.
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

std::string TextFileToUtf8(std::string_view bytes, std::string (*legacy)(std::string_view)) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return legacy(bytes);
}

}  // namespace setup

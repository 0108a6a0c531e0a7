// Text rules of the system as pure functions: no OS state is read, so each is tested natively
// with Windows-style strings. Wide text is UTF-16 (std::u16string) on every platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace setup {

// ASCII-only case rules: letters A to Z and a to z, nothing else.
char LowerAscii(char c);
char16_t LowerAscii(char16_t c);
std::string LowerAscii(std::string_view text);
std::string UpperAscii(std::string_view text);
bool SameTextAscii(std::string_view a, std::string_view b);
// FNV-1a over the text with ASCII letters lowered: texts SameTextAscii takes as equal hash alike.
uint64_t FoldedHashAscii(std::string_view text);
// UTF-8 text with every letter that has a simple lower-case form lowered (the C library's
// Unicode rules), used where the system's own rule is not at hand.
std::string LowerUnicode(std::string_view text);

// Every occurrence of key, found without regard to ASCII case, replaced by replacement.
// The search starts again from the beginning after each replacement, so text that a
// replacement joins up is replaced too; when the replacement itself holds the key, each
// original occurrence is replaced once, left to right, which ends where the restarting
// search would never end. An empty key replaces nothing.
std::string ReplaceText(std::string_view text, std::string_view key, std::string_view replacement);
std::u16string ReplaceText(std::u16string_view text, std::u16string_view key, std::u16string_view replacement);

// "1.50 MB": bytes, KB, MB or GB with two decimals and "." as separator.
std::string SizeText(int64_t n);

// The path with a "\" at its end; empty stays empty.
std::string WithTrailingBackslash(const std::string& path);
std::u16string WithTrailingBackslash(const std::u16string& path);

// Name before the first "=", value after it; without "=", an empty name and the whole text.
std::pair<std::string, std::string> SplitAtEquals(std::string_view text);

// Removes the copy marks "(2)", "[3]", "()" that browsers and file managers add to duplicated
// downloads: bracket groups that are empty or hold only the digits 1 to 9, with the blank
// that browsers put before them.
std::string StripCopyMarks(std::string_view name);

// The part after the last "\", "/" or ":".
std::string FileNamePart(std::string_view path);

// The folder and file names of a stored entry name ("\" or "/" between them) when the name
// stays below the folder it is extracted to; nullopt when it could reach outside it or name
// something else: an empty part (a leading, trailing or doubled separator), "." or "..", a ":"
// (drive letters, alternate streams) or a control character in any part.
std::optional<std::vector<std::string>> SafeRelativeParts(std::string_view name);

// Narrow ASCII text to UTF-16 and back (for the system's own fixed texts and tests).
std::u16string WidenAscii(std::string_view text);

// The runtime keeps every text in UTF-8 and gives the system UTF-16 at its edge.
//
// Utf8ToWide reads each invalid byte (a stray continuation byte, a cut or over-long sequence, a
// value past U+10FFFF) as U+FFFD. WideToUtf8 writes a surrogate without its partner as the
// three bytes of its own value, and Utf8ToWide reads those back, so that a name the system
// hands out (file names may hold such surrogates) reaches the system again unchanged.
std::u16string Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::u16string_view text);
// Long paths. The system's classic file calls stop at 260 characters (a folder to be made at
// 248, which leaves room for a short file name in it); past that a path must be full and carry
// the "\\?\" prefix, which also turns off the system's own reading of ".", ".." and "/". So a
// path that may be that long is made full by the system first and then given the prefix here.
constexpr size_t kLongPathFrom = 248;
// True for a path that needs the long form before a file call: one that starts at a drive
// ("C:\" or "C:/") or a network share ("\\server" or "//server"), is kLongPathFrom characters or
// more and has no prefix of its own yet ("\\?\", "\\.\", "\??\").
bool NeedsLongPathForm(std::u16string_view path);
// A full path in the long form: "C:\x" gives "\\?\C:\x", "\\server\share\x" gives
// "\\?\UNC\server\share\x", with every "/" made "\". Anything else (a path with a prefix already, a relative path, one
// of a drive's current folder such as "C:x") comes back as it is.
std::u16string LongPathForm(std::u16string_view full_path);

// Strict UTF-8: no surrogates, no over-long forms, nothing past U+10FFFF.
bool IsValidUtf8(std::string_view text);
bool IsAscii(std::string_view text);
// The Windows-1252 code page (what older scripts and setups were written in) as UTF-8; its five
// unassigned bytes keep their own values, as the system maps them.
std::string Windows1252ToUtf8(std::string_view text);
// A text file's bytes as UTF-8: a UTF-8 byte-order mark is dropped; text that is not valid
// UTF-8 is taken to be in an older code page and decoded by legacy.
std::string TextFileToUtf8(std::string_view bytes, std::string (*legacy)(std::string_view));

}  // namespace setup

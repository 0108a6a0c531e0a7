// The digit-key cipher: each byte of a text is shifted by one decimal digit of a key, the
// digits taken in turn and starting over after the last; enciphering adds, deciphering
// subtracts, modulo 256. The key position restarts for every text, and the result has the
// text's length.
//
// Two keys exist and must never change, or every install log and every enciphered script
// parameter already shipped becomes unreadable.
#pragma once

#include <string>
#include <string_view>

namespace setup {

constexpr size_t kDigitKeyLength = 244;
// Install log texts.
extern const char kInstallLogKey[kDigitKeyLength + 1];
// The password and access-code parameters of the game-archive commands.
extern const char kCommandKey[kDigitKeyLength + 1];

// A key character that is not a decimal digit raises ESetupError; an empty key too.
std::string EncipherDigits(std::string_view key, std::string_view text);
std::string DecipherDigits(std::string_view key, std::string_view text);

}  // namespace setup

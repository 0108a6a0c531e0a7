#include "core/digit_cipher.h"

#include "core/error.h"

namespace setup {

const char kInstallLogKey[kDigitKeyLength + 1] =
    "6544133981142416153854038809788802450815856160699555262726407341066289244751322087588603234340880715"
    "3756659993372920262779973848534221150826913585535813462867192175703563107171942931145737202715212106"
    "27847779894347882981614731942914632674889338";
const char kCommandKey[kDigitKeyLength + 1] =
    "2182728357481702569377557733412256211722140846557697224391927415378988283616712447878714861838618587"
    "5971283061342884049413881855960468730717582297643512554316922634657412037670415134569242487308220931"
    "81031238660820933360337334322914462460084847";

namespace {

std::string Shift(std::string_view key, std::string_view text, int sign) {
  if (text.empty()) return {};
  if (key.empty()) throw ESetupError("'' is not a valid integer value");
  std::string out(text);
  size_t k = 0;
  for (char& c : out) {
    const char digit = key[k];
    if (digit < '0' || digit > '9') throw ESetupError(std::string("'") + digit + "' is not a valid integer value");
    c = static_cast<char>(static_cast<unsigned char>(c) + sign * (digit - '0'));
    k = k + 1 == key.size() ? 0 : k + 1;
  }
  return out;
}

}  // namespace

std::string EncipherDigits(std::string_view key, std::string_view text) { return Shift(key, text, +1); }

std::string DecipherDigits(std::string_view key, std::string_view text) { return Shift(key, text, -1); }

}  // namespace setup

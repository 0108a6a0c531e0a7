// Signs a finished setup with a code signature through the osslsigncode program.
//
// The signature goes after the package (the runtime finds the package in front of it), so a
// setup is signed only once it is complete. osslsigncode is looked for on the PATH.
#pragma once

#include <string>

namespace setup::builder {

struct TSignOptions {
  std::string Pkcs12;    // the certificate and its key; empty means no signing
  std::string PassFile;  // a file holding the key's password, or empty
  std::string TimestampUrl;  // a time-stamping server, or empty

  bool Wanted() const { return !Pkcs12.empty(); }
};

// Signs input into output; raises TBuildError, with what osslsigncode said, when it cannot be
// started or fails. output is removed then.
void SignFile(const TSignOptions& options, const std::string& input, const std::string& output);

}  // namespace setup::builder

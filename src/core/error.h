// The one exception type of the setup runtime.
//
// Reading operations report failure by returning null, false, 0 or -1. Corrupt data and
// unexpected conditions throw ESetupError instead; it is caught only by the outer handlers,
// which write the error report and end the process.
#pragma once

#include <stdexcept>
#include <string>

namespace setup {

class ESetupError : public std::runtime_error {
 public:
  explicit ESetupError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace setup

// The one exception type of the setup runtime.
//
// Reading operations report failure by returning null, false, 0 or -1. Corrupt data and
// unexpected conditions throw ESetupError instead; it is caught only by the outer handlers,
// which write the error report and end the process.
#pragma once

#include <exception>
#include <string>

namespace setup {

// A plain std::exception holding its text: std::runtime_error would bring the standard
// library's reference-counted string and its exception classes into the runtime.
class ESetupError : public std::exception {
 public:
  explicit ESetupError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace setup

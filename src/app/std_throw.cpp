// The standard library's error throwers, for the runtime only.
//
// Containers and strings report misuse (a length beyond max_size, an index out of range)
// through std::__throw_length_error and its kin. The library's own definitions build
// std::logic_error and std::runtime_error, whose reference-counted strings and exception
// classes weigh about 50 KB in a program that never catches them by those types. The
// definitions below throw one small exception with the same text instead; the runtime's outer
// handlers catch std::exception and report what() as before. The allocation and cast errors
// keep their standard types, which some callers catch.
//
// If the library's definitions are ever needed beside these (a new thrower used somewhere),
// the link stops with duplicate definitions rather than silently growing.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <typeinfo>

namespace {

class TLibraryError : public std::exception {
 public:
  explicit TLibraryError(const char* text) { std::snprintf(text_, sizeof text_, "%s", text ? text : ""); }
  TLibraryError(const char* format, va_list args) { std::vsnprintf(text_, sizeof text_, format, args); }
  const char* what() const noexcept override { return text_; }

 private:
  char text_[256];
};

}  // namespace

// Used from the standard library's own objects, which link after link-time optimisation.
#define SETUP_THROWER __attribute__((used, externally_visible, noreturn))

namespace std {

SETUP_THROWER void __throw_bad_exception() { throw std::bad_exception(); }
SETUP_THROWER void __throw_bad_alloc() { throw std::bad_alloc(); }
SETUP_THROWER void __throw_bad_array_new_length() { throw std::bad_array_new_length(); }
SETUP_THROWER void __throw_bad_cast() { throw std::bad_cast(); }
SETUP_THROWER void __throw_bad_typeid() { throw std::bad_typeid(); }
SETUP_THROWER void __throw_logic_error(const char* text) { throw TLibraryError(text); }
SETUP_THROWER void __throw_domain_error(const char* text) { throw TLibraryError(text); }
SETUP_THROWER void __throw_invalid_argument(const char* text) { throw TLibraryError(text); }
SETUP_THROWER void __throw_length_error(const char* text) { throw TLibraryError(text); }
SETUP_THROWER void __throw_out_of_range(const char* text) { throw TLibraryError(text); }
SETUP_THROWER void __throw_runtime_error(const char* text) { throw TLibraryError(text); }
SETUP_THROWER void __throw_range_error(const char* text) { throw TLibraryError(text); }
SETUP_THROWER void __throw_overflow_error(const char* text) { throw TLibraryError(text); }
SETUP_THROWER void __throw_underflow_error(const char* text) { throw TLibraryError(text); }

SETUP_THROWER void __throw_out_of_range_fmt(const char* format, ...) {
  va_list args;
  va_start(args, format);
  TLibraryError error(format, args);
  va_end(args);
  throw error;
}

// Threads and mutexes that cannot be made; the text is the C library's for the error number.
SETUP_THROWER void __throw_system_error(int error) { throw TLibraryError(std::strerror(error)); }

}  // namespace std

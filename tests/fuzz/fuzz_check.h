// How a fuzz target reports a broken check: one line on stderr naming the target and the fault
// (run.sh shows it), then abort, which libFuzzer records as a crash with the input that did it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace setup::fuzzing {

[[noreturn]] inline void FailCheck(const char* target, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", target, what.c_str());
  std::abort();
}

}  // namespace setup::fuzzing

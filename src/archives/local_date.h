// Today's date on the local clock, for the dates the archive formats stamp on what they write.
#pragma once

#include <ctime>

namespace setup {

inline std::tm LocalToday() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return local;
}

}  // namespace setup

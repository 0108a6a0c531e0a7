// Today's date on the local clock, for the dates the archive formats stamp on what they write.
#pragma once

#include <cstdint>
#include <ctime>

namespace setup {

// Today as a DOS date in the high word, time 00:00:00 in the low word.
inline uint32_t TodayDosDate() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  const uint32_t date = static_cast<uint32_t>(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
  return date << 16;
}

}  // namespace setup

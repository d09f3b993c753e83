#include "bootstrap/base/utc_time.h"

#include <cstdio>
#include <ctime>

namespace bootstrap::base {

std::string utc_time(const char* format, std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[128];
  const std::size_t n = std::strftime(text, sizeof text, format, &parts);
  return std::string(text, n);
}

std::string utc_time_millis(std::chrono::system_clock::time_point when) {
  // to_time_t may round; the seconds are taken by truncation so that the
  // milliseconds below always belong to them.
  const auto since = when.time_since_epoch();
  const auto whole = std::chrono::floor<std::chrono::seconds>(since);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since - whole).count();
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(ms));
  return utc_time("%Y-%m-%dT%H:%M:%S", std::chrono::system_clock::time_point(whole)) + millis;
}

}  // namespace bootstrap::base

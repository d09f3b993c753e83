// Times written for people and file names, always in UTC.
#pragma once

#include <chrono>
#include <string>

namespace bootstrap::base {

// `when` in UTC as strftime's `format` writes it ("%Y%m%dT%H%M%SZ" gives
// "20261208T213001Z"). Never throws beyond std::bad_alloc.
std::string utc_time(const char* format,
                     std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

// `when` in UTC to the millisecond: "2026-12-08T21:30:01.123Z".
std::string utc_time_millis(
    std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

}  // namespace bootstrap::base

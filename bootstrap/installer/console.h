// How the deployment engine prints its messages: one line on standard output,
// flushed at once so that the lines keep their order with the output of the
// programs it runs (apt, sysctl) and with a terminal's progress display.
#pragma once

#include <iostream>
#include <string>

namespace bootstrap::installer {

inline void say(const std::string& line) { std::cout << line << std::endl; }

}  // namespace bootstrap::installer

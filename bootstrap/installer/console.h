// How the deployment engine prints its messages: one line on standard output,
// flushed at once so that the lines keep their order with the output of the
// programs it runs (apt, sysctl) and with a terminal's progress display.
// Lines often carry the engine's words (its error messages), so control
// characters are shown escaped.
#pragma once

#include <iostream>
#include <string>

#include "bootstrap/base/text.h"

namespace bootstrap::installer {

inline void say(const std::string& line) { std::cout << base::printable(line) << std::endl; }

}  // namespace bootstrap::installer

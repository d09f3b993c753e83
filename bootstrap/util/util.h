// Console helper shared by the installer and the front end.
#pragma once

#include <iostream>
#include <ostream>
#include <string>

namespace bootstrap::util {

class Util {
 public:
  // Prints `text` as one line on `out` in the given foreground colour
  // ("yellow", "green", "red", ...) when `colour`, else the plain line. An
  // unknown colour name prints the plain line.
  static void cprint(const std::string& text, const std::string& foreground, bool colour,
                     std::ostream& out = std::cout);
};

}  // namespace bootstrap::util

// Console helper shared by the installer and the front end.
#pragma once

#include <string>

namespace bootstrap::util {

class Util {
 public:
  // Prints `text` as one line on standard output in the given foreground
  // colour ("yellow", "green", "red", ...) when `colour`, else the plain
  // line. An unknown colour name prints the plain line.
  static void cprint(const std::string& text, const std::string& foreground, bool colour);
};

}  // namespace bootstrap::util

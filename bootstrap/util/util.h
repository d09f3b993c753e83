// Console helper shared by the installer and the front end.
#pragma once

#include <string>

namespace bootstrap::util {

class Util {
 public:
  // Prints `text` as one line on standard output in the given foreground
  // colour ("yellow", "green", "red", ...). Colour is used only when standard
  // output is a terminal and NO_COLOR is unset; otherwise the plain line is
  // printed. An unknown colour name prints the plain line.
  static void cprint(const std::string& text, const std::string& foreground);

  // Whether standard output is a terminal that may be coloured.
  static bool color_enabled();
};

}  // namespace bootstrap::util

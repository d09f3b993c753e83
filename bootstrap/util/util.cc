#include "bootstrap/util/util.h"

#include <iostream>
#include <string_view>

namespace bootstrap::util {
namespace {

// SGR foreground codes of the eight basic terminal colours; nullptr for a name
// we do not know.
const char* foreground_code(std::string_view name) {
  struct Colour {
    std::string_view name;
    const char* code;
  };
  static constexpr Colour kColours[] = {
      {"black", "30"}, {"red", "31"},     {"green", "32"}, {"yellow", "33"},
      {"blue", "34"},  {"magenta", "35"}, {"cyan", "36"},  {"white", "37"},
  };
  for (const Colour& colour : kColours) {
    if (colour.name == name) return colour.code;
  }
  return nullptr;
}

}  // namespace

void Util::cprint(const std::string& text, const std::string& foreground, bool colour,
                  std::ostream& out) {
  const char* code = colour ? foreground_code(foreground) : nullptr;
  if (code != nullptr)
    out << "\033[" << code << 'm' << text << "\033[0m\n";
  else
    out << text << '\n';
  out.flush();
}

}  // namespace bootstrap::util

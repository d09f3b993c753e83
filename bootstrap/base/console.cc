#include "bootstrap/base/console.h"

#include <iostream>

#include "bootstrap/base/text.h"

namespace bootstrap::base {

void Console::say(const std::string& line) const {
  std::lock_guard<std::mutex> hold(mutex_);
  out << printable(line) << std::endl;
}

void Console::warn(const std::string& line) const {
  std::lock_guard<std::mutex> hold(mutex_);
  err << "warning: " << printable(line) << std::endl;
}

void Console::error(const std::string& what, const std::string& why) const {
  std::lock_guard<std::mutex> hold(mutex_);
  err << "error: " << (what.empty() ? "" : what + ": ") << printable(why) << std::endl;
}

const Console& Console::standard() {
  static const Console console(std::cout, std::cerr);
  return console;
}

}  // namespace bootstrap::base

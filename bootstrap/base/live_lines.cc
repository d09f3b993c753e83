#include "bootstrap/base/live_lines.h"

namespace bootstrap::base {

void LiveLines::show(const std::vector<std::string>& lines, bool dim_all_but_last) {
  // Back to the first line drawn last time, overwrite line by line, then
  // clear whatever a longer earlier drawing left below.
  if (!drawn_.empty()) out_ << "\x1b[" << drawn_.size() << "F";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const bool dim = dim_all_but_last && i + 1 < lines.size();
    out_ << "\x1b[2K" << (dim ? "\x1b[2m" : "") << lines[i] << (dim ? "\x1b[0m" : "") << "\n";
  }
  out_ << "\x1b[J" << std::flush;
  drawn_ = lines;
}

void LiveLines::clear() {
  if (drawn_.empty()) return;
  out_ << "\x1b[" << drawn_.size() << "F\x1b[J" << std::flush;
  drawn_.clear();
}

}  // namespace bootstrap::base

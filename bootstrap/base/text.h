// Small helpers for text that several modules read and write.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bootstrap::base {

// `text` without blanks, tabs, carriage returns, line feeds, vertical tabs
// and form feeds at either end.
std::string_view trim(std::string_view text);

// The words one after another with `separator` between them; empty for none.
std::string join(const std::vector<std::string>& words, std::string_view separator);

}  // namespace bootstrap::base

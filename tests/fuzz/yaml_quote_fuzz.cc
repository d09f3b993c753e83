// Strings written into the Compose export: one double-quoted scalar on one
// line, or std::invalid_argument for text that is not UTF-8; for values,
// nothing left for Compose to substitute.
#include <stdexcept>

#include "bootstrap/installer/compose_export.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

void check_scalar(const std::string& quoted) {
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"')
    bootstrap::fuzz::finding("not one double-quoted scalar: " + quoted);
  for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
    const char c = quoted[i];
    if (c == '\\') {
      if (i + 2 >= quoted.size()) bootstrap::fuzz::finding("a dangling escape: " + quoted);
      ++i;
    } else if (c == '"' || c == '\n' || c == '\r') {
      bootstrap::fuzz::finding("a raw quote or line break inside: " + quoted);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(bootstrap::fuzz::text_of(data, size));
  try {
    check_scalar(bootstrap::installer::yaml_quote(text));
    const std::string value = bootstrap::installer::compose_value(text);
    check_scalar(value);
    std::size_t run = 0;
    for (char c : value + '"') {
      if (c == '$') {
        ++run;
      } else {
        if (run % 2 != 0) bootstrap::fuzz::finding("a single $ left: " + value);
        run = 0;
      }
    }
  } catch (const std::invalid_argument&) {
  }
  return 0;
}

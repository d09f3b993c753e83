// The command splitter: argv or std::invalid_argument, and words that hold no
// more than the line did.
#include <stdexcept>

#include "bootstrap/docker/command_split.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(bootstrap::fuzz::text_of(data, size));
  try {
    std::size_t total = 0;
    for (const std::string& word : bootstrap::docker::split_command(line)) total += word.size();
    if (total > line.size()) bootstrap::fuzz::finding("words longer than the line");
  } catch (const std::invalid_argument&) {
  }
  return 0;
}

// CPU sets from the catalogue resolved for any CPU count the engine reports.
#include "bootstrap/installer/service.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // Small counts and huge ones, as an engine may report either.
  const unsigned count = data[0] < 200 ? data[0] : 1u << (data[0] % 32);
  bootstrap::installer::resolve_cpuset(std::string(bootstrap::fuzz::text_of(data + 1, size - 1)),
                                       count);
  return 0;
}

// The kernel setting's value as `sysctl` prints it and the settings file as
// the operator left it: host preparation reads both and never fails on them.
#include <cstdio>
#include <fstream>

#include "bootstrap/host/map_count.h"
#include "fakes/fake_host.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The preparation's messages go to standard output; libFuzzer reports on
  // standard error.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bootstrap::testing::FakeHost* fake = new bootstrap::testing::FakeHost();
  std::vector<std::string> parts = bootstrap::fuzz::parts_of(bootstrap::fuzz::text_of(data, size), 2);
  fake->process.answers_["sysctl vm.max_map_count"] = {0, parts[0]};
  std::ofstream(fake->host.sysctl_conf, std::ios::binary | std::ios::trunc) << parts[1];
  bootstrap::host::max_map_count(fake->host);
  bootstrap::host::check_vm_max_map_count(fake->host);
  fake->shell.commands_ran_.clear();
  fake->process.commands_ran_.clear();
  return 0;
}

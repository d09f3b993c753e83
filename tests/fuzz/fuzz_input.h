// Shared by the libFuzzer harnesses: cutting one input into the several
// texts a parser takes, and failing loudly when a property does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace bootstrap::fuzz {

// The input as text.
inline std::string_view text_of(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input cut at NUL bytes into at most `count` parts (the last one keeps
// any further NULs); missing parts are empty.
inline std::vector<std::string> parts_of(std::string_view input, std::size_t count) {
  std::vector<std::string> parts;
  while (parts.size() + 1 < count) {
    std::size_t nul = input.find('\0');
    if (nul == std::string_view::npos) break;
    parts.emplace_back(input.substr(0, nul));
    input.remove_prefix(nul + 1);
  }
  parts.emplace_back(input);
  parts.resize(count);
  return parts;
}

// Aborts with `what`, so libFuzzer keeps the input as a finding.
[[noreturn]] inline void finding(const std::string& what) {
  std::fprintf(stderr, "finding: %s\n", what.c_str());
  std::abort();
}

}  // namespace bootstrap::fuzz

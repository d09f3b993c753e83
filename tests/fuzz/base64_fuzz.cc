// Base64 text from outside: bytes or std::invalid_argument, and what decodes
// encodes back to text that decodes to the same bytes.
#include <stdexcept>

#include "bootstrap/base/base64.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = bootstrap::fuzz::text_of(data, size);
  try {
    const std::string bytes = bootstrap::base::base64_decode(text);
    if (bootstrap::base::base64_decode(bootstrap::base::base64_encode(bytes)) != bytes)
      bootstrap::fuzz::finding("decode(encode(bytes)) differs");
  } catch (const std::invalid_argument&) {
  }
  // Any bytes survive both alphabets' encoders.
  if (bootstrap::base::base64_decode(bootstrap::base::base64_encode(text)) != text)
    bootstrap::fuzz::finding("encode/decode of the raw input differs");
  bootstrap::base::base64url_encode(text);
  return 0;
}

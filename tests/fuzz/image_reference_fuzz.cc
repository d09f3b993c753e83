// Image references: every text is some reference, whose repository is where
// the text starts.
#include "bootstrap/base/image_reference.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = bootstrap::fuzz::text_of(data, size);
  bootstrap::base::ImageReference ref = bootstrap::base::parse_image_reference(text);
  if (ref.repository.size() > text.size()) bootstrap::fuzz::finding("repository longer than the text");
  if (text.substr(0, ref.repository.size()) != ref.repository)
    bootstrap::fuzz::finding("repository is not the start of the text");
  return 0;
}

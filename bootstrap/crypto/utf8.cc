#include "bootstrap/crypto/utf8.h"

namespace bootstrap::crypto {

std::optional<std::size_t> find_invalid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // Number of continuation bytes and the allowed range of the first one;
    // the narrowed ranges after E0, ED, F0 and F4 exclude overlong forms,
    // surrogates and code points above U+10FFFF (RFC 3629, section 4).
    std::size_t extra = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return i;  // stray continuation byte, C0, C1 or F5..FF
    }
    if (bytes.size() - i <= extra) return i;
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    if (second < low || second > high) return i;
    for (std::size_t j = 2; j <= extra; ++j) {
      const auto next = static_cast<unsigned char>(bytes[i + j]);
      if (next < 0x80 || next > 0xBF) return i;
    }
    i += extra + 1;
  }
  return std::nullopt;
}

}  // namespace bootstrap::crypto

#include "bootstrap/base/utf8.h"

namespace bootstrap::base {

std::optional<char32_t> decode_utf8(std::string_view text, std::size_t at, std::size_t& length) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(at);
  length = 1;
  if (lead < 0x80) return lead;
  // Number of bytes and the allowed range of the second one; the narrowed
  // ranges after E0, ED, F0 and F4 exclude overlong forms, surrogates and
  // code points above U+10FFFF (RFC 3629, section 4).
  char32_t cp = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return std::nullopt;  // stray continuation byte, C0, C1 or F5..FF
  }
  if (text.size() - at < length) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char next = byte(at + k);
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return std::nullopt;
    cp = (cp << 6) | (next & 0x3F);
  }
  return cp;
}

std::optional<std::size_t> find_invalid_utf8(std::string_view bytes) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < bytes.size(); i += length)
    if (!decode_utf8(bytes, i, length)) return i;
  return std::nullopt;
}

bool is_valid_utf8(std::string_view bytes) { return !find_invalid_utf8(bytes); }

}  // namespace bootstrap::base

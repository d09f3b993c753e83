#include "bootstrap/base/base64.h"

#include <array>
#include <cstdint>
#include <stdexcept>

namespace bootstrap::base {
namespace {

constexpr std::string_view kStandard =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrlSafe =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Value of each standard alphabet character, -1 for every other byte.
constexpr std::array<std::int8_t, 256> kValues = [] {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  for (std::size_t i = 0; i < kStandard.size(); ++i) {
    values[static_cast<unsigned char>(kStandard[i])] = static_cast<std::int8_t>(i);
  }
  return values;
}();

std::uint32_t octet(std::string_view bytes, std::size_t i) {
  return static_cast<unsigned char>(bytes[i]);
}

std::string encode(std::string_view bytes, std::string_view alphabet) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = octet(bytes, i) << 16 | octet(bytes, i + 1) << 8 | octet(bytes, i + 2);
    text += alphabet[group >> 18 & 0x3F];
    text += alphabet[group >> 12 & 0x3F];
    text += alphabet[group >> 6 & 0x3F];
    text += alphabet[group & 0x3F];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = octet(bytes, i) << 16;
    if (rest == 2) group |= octet(bytes, i + 1) << 8;
    text += alphabet[group >> 18 & 0x3F];
    text += alphabet[group >> 12 & 0x3F];
    text += rest == 2 ? alphabet[group >> 6 & 0x3F] : '=';
    text += '=';
  }
  return text;
}

}  // namespace

std::string base64_encode(std::string_view bytes) { return encode(bytes, kStandard); }

std::string base64url_encode(std::string_view bytes) { return encode(bytes, kUrlSafe); }

std::string base64_decode(std::string_view text) {
  // Keep only the characters that carry meaning; the rest is layout.
  std::string digits;
  digits.reserve(text.size());
  for (const char c : text) {
    if (c == '=' || kValues[static_cast<unsigned char>(c)] >= 0) digits += c;
  }
  if (digits.size() % 4 != 0) {
    throw std::invalid_argument("Base64 length " + std::to_string(digits.size()) +
                                " is not a multiple of 4");
  }
  const std::size_t first_pad = digits.find('=');
  const std::size_t padding = first_pad == std::string::npos ? 0 : digits.size() - first_pad;
  if (padding > 2 || digits.find_first_not_of('=', first_pad) != std::string::npos) {
    throw std::invalid_argument("Base64 padding is misplaced");
  }

  std::string bytes;
  bytes.reserve(digits.size() / 4 * 3);
  for (std::size_t i = 0; i < digits.size(); i += 4) {
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const char c = digits[i + j];
      group = group << 6 | (c == '=' ? 0u : static_cast<std::uint32_t>(kValues[static_cast<unsigned char>(c)]));
    }
    const bool last = i + 4 == digits.size();
    const std::size_t count = last ? 3 - padding : 3;
    // A padded group must not carry bits beyond the bytes it yields, or two
    // different texts would decode to the same bytes.
    const std::uint32_t dropped = group & ((1u << (8 * (3 - count))) - 1);
    if (dropped != 0) throw std::invalid_argument("Base64 padding hides non-zero bits");
    for (std::size_t j = 0; j < count; ++j) {
      bytes += static_cast<char>(group >> (16 - 8 * j) & 0xFF);
    }
  }
  return bytes;
}

}  // namespace bootstrap::base

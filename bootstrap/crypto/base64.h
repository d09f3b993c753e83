// Base64 codec (RFC 4648, standard alphabet) for ciphertexts and signatures.
#pragma once

#include <string>
#include <string_view>

namespace bootstrap::crypto {

// Returns bytes as standard Base64 with "=" padding and no line breaks.
std::string base64_encode(std::string_view bytes);

// Returns the bytes that text encodes. Characters outside the alphabet and
// "=" (line breaks, blanks) are skipped. Throws std::invalid_argument if the
// remaining characters are not a multiple of four, if "=" appears other than
// as one or two final characters, or if the bits that padding discards are
// not zero.
std::string base64_decode(std::string_view text);

}  // namespace bootstrap::crypto

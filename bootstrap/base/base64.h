// Base64 (RFC 4648) in its two alphabets: the standard one for ciphertexts and
// signatures, the URL-safe one for the engine's X-Registry-Auth header. Both
// encoders pad with "=" and break no lines.
#pragma once

#include <string>
#include <string_view>

namespace bootstrap::base {

// Returns bytes in the standard alphabet ("+", "/").
std::string base64_encode(std::string_view bytes);

// Returns bytes in the URL-safe alphabet ("-", "_").
std::string base64url_encode(std::string_view bytes);

// Returns the bytes that standard-alphabet `text` encodes. Characters outside
// the alphabet and "=" (line breaks, blanks) are skipped. Throws
// std::invalid_argument if the remaining characters are not a multiple of
// four, if "=" appears other than as one or two final characters, or if the
// bits that padding discards are not zero.
std::string base64_decode(std::string_view text);

}  // namespace bootstrap::base

// Strict UTF-8 (RFC 3629): overlong forms, surrogates (U+D800..U+DFFF), code
// points above U+10FFFF, stray continuation bytes and truncated sequences are
// all ill-formed.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace bootstrap::base {

// Decodes the sequence that starts at text[at] (at < text.size()) and sets
// `length` to its number of bytes. Returns nullopt for an ill-formed sequence.
std::optional<char32_t> decode_utf8(std::string_view text, std::size_t at, std::size_t& length);

// The offset of the first byte of the first ill-formed sequence in `bytes`,
// or nullopt when all of it is well-formed.
std::optional<std::size_t> find_invalid_utf8(std::string_view bytes);

// Whether `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

}  // namespace bootstrap::base

// Strict UTF-8 validation (RFC 3629) for decrypted plaintexts.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace bootstrap::crypto {

// Returns the offset of the first byte of the first ill-formed sequence in
// bytes, or nullopt if bytes is well-formed UTF-8. Overlong forms, surrogates
// (U+D800..U+DFFF), code points above U+10FFFF, stray continuation bytes and
// truncated sequences are all ill-formed.
std::optional<std::size_t> find_invalid_utf8(std::string_view bytes);

}  // namespace bootstrap::crypto

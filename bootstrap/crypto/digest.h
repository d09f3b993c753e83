// SHA-256 digests as lower-case hex, for content checks (bundle members) and
// for labels that must change exactly when a definition does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "bootstrap/crypto/openssl_handles.h"

namespace bootstrap::crypto {

// A SHA-256 digest fed in pieces. Every operation throws std::runtime_error
// if OpenSSL fails.
class Sha256 {
 public:
  Sha256();

  // Adds `size` bytes at `data` to what the digest covers.
  void add(const void* data, std::size_t size);

  // Returns the digest as 64 lower-case hex digits; the object is used up.
  std::string hex();

 private:
  ossl::MdCtx context_;
};

// Returns the SHA-256 of `text` as 64 lower-case hex digits.
std::string sha256_hex(std::string_view text);

}  // namespace bootstrap::crypto

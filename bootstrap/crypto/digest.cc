#include "bootstrap/crypto/digest.h"

#include <stdexcept>

namespace bootstrap::crypto {

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("cannot start a SHA-256 digest (OpenSSL)");
}

void Sha256::add(const void* data, std::size_t size) {
  if (EVP_DigestUpdate(context_.get(), data, size) != 1)
    throw std::runtime_error("SHA-256 digest failed (OpenSSL)");
}

std::string Sha256::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context_.get(), digest, &size) != 1)
    throw std::runtime_error("SHA-256 digest failed (OpenSSL)");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (unsigned int i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

std::string sha256_hex(std::string_view text) {
  Sha256 digest;
  digest.add(text.data(), text.size());
  return digest.hex();
}

}  // namespace bootstrap::crypto

// PEM keys, ciphertexts and signatures from outside: the RSA helper answers
// or throws RsaError, whatever it is handed.
#include "bootstrap/crypto/rsa.h"
#include "tests/fuzz/fuzz_input.h"

using bootstrap::crypto::Rsa;
using bootstrap::crypto::RsaError;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::pair<std::string, std::string> keys = Rsa::generate_key_pair();
  if (size == 0) return 0;
  const std::vector<std::string> parts =
      bootstrap::fuzz::parts_of(bootstrap::fuzz::text_of(data + 1, size - 1), 2);
  const std::string& a = parts[0];
  const std::string& b = parts[1];
  try {
    switch (data[0] % 5) {
      case 0: Rsa::encrypt(b, a); break;             // a: public key text
      case 1: Rsa::decrypt(b, a); break;             // a: private key text
      case 2: Rsa::decrypt(a, keys.first); break;    // a: ciphertext
      case 3: Rsa::verify(b, a, keys.second); break; // a: signature
      default: Rsa::sign(b, a); break;               // a: private key text
    }
  } catch (const RsaError&) {
  }
  return 0;
}

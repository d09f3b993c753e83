// RSA key pairs, OAEP encryption and PKCS#1 v1.5 signatures, all as text.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace bootstrap::crypto {

// The one error type of the RSA helper. Its message names the operation
// first and the reason second, for example
// "encrypt: message is 215 bytes, the limit for this 2048-bit key is 214 bytes".
class RsaError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Rsa bundles five stateless operations on RSA keys. Keys travel as PEM text
// (PKCS#1 "RSA PRIVATE KEY" for private keys, SubjectPublicKeyInfo
// "PUBLIC KEY" for public keys), ciphertexts and signatures as single-line
// padded Base64, and messages as UTF-8 text. Encryption is RSAES-OAEP with
// SHA-1, MGF1-SHA-1 and an empty label; signatures are RSASSA-PKCS1-v1_5
// over SHA-256. Key arguments also accept the other standard PEM forms of
// RSA keys (PKCS#8 "PRIVATE KEY", PKCS#1 "RSA PUBLIC KEY"); keys of other
// algorithms are refused. The class has no state, so every operation may run
// on several threads at once.
class Rsa {
 public:
  // Output format asked of the library when exporting either key.
  static constexpr char PEM[] = "PEM";
  // Encoding of every message, key and plaintext handled as text.
  static constexpr char UTF8ENCODING[] = "utf-8";

  Rsa() = delete;

  // Returns a fresh 2048-bit key pair with exponent 65537: first the private
  // key PEM, then the public key PEM. Throws RsaError if generation fails.
  static std::pair<std::string, std::string> generate_key_pair();

  // Returns the Base64 ciphertext of msg under public_key (a private key text
  // is accepted and its public half used). Throws RsaError if the key is
  // unreadable or not RSA, if msg is not valid UTF-8, or if msg is longer than
  // the OAEP limit of the key (214 bytes for 2048 bits).
  static std::string encrypt(const std::string& msg, const std::string& public_key);

  // Returns the message that encrypted holds. Throws RsaError if the key is
  // unreadable, not RSA or only a public key, if encrypted is malformed Base64
  // or of the wrong size, if it was made for another key or altered, or if the
  // plaintext is not valid UTF-8.
  static std::string decrypt(const std::string& encrypted, const std::string& private_key);

  // Returns the Base64 signature of msg; the same message and key always give
  // the same signature. Throws RsaError if the key is unreadable, not RSA or
  // only a public key.
  static std::string sign(const std::string& msg, const std::string& private_key);

  // Returns whether signature is a valid signature of msg under public_key
  // (a private key text is accepted). Any bad, malformed or truncated
  // signature gives false; throws RsaError only if the key is unreadable or
  // not RSA.
  static bool verify(const std::string& msg, const std::string& signature,
                     const std::string& public_key);

  // Returns the SubjectPublicKeyInfo PEM of key's public half (key may be
  // either kind). Throws RsaError if the key is unreadable or not RSA.
  static std::string public_key(const std::string& key);

  // Returns the SHA-256 of the DER SubjectPublicKeyInfo of key's public half,
  // as 64 lower-case hex digits: what `openssl pkey -pubin -outform DER |
  // sha256sum` prints for it. Throws RsaError as public_key() does.
  static std::string fingerprint(const std::string& key);
};

}  // namespace bootstrap::crypto

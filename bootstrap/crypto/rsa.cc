#include "bootstrap/crypto/rsa.h"

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include "bootstrap/base/base64.h"
#include "bootstrap/base/utf8.h"
#include "bootstrap/crypto/openssl_handles.h"

namespace bootstrap::crypto {
namespace {

constexpr std::size_t kKeyBits = 2048;
constexpr unsigned int kPublicExponent = 65537;
// Output size of SHA-1, the OAEP hash; it fixes the message limit.
constexpr int kOaepHashSize = 20;

// Empties this thread's OpenSSL error queue and returns its reasons joined by
// "; ", so that a failure leaves nothing behind for the next call to trip on.
std::string take_openssl_errors() {
  std::string reasons;
  while (const unsigned long code = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(code);
    if (!reasons.empty()) reasons += "; ";
    reasons += reason != nullptr ? reason : "error " + std::to_string(code);
  }
  return reasons;
}

[[noreturn]] void fail(std::string_view operation, std::string_view why) {
  ERR_clear_error();
  throw RsaError(std::string(operation) + ": " + std::string(why));
}

// Like fail, with OpenSSL's own reasons appended when it gave any.
[[noreturn]] void fail_in_openssl(std::string_view operation, std::string_view why) {
  const std::string reasons = take_openssl_errors();
  fail(operation, reasons.empty() ? std::string(why) : std::string(why) + " (" + reasons + ")");
}

// Refuses every pass phrase request: encrypted private keys are not
// supported, and reading a key must never stop to prompt on a terminal.
int refuse_passphrase(char*, std::size_t, std::size_t*, const OSSL_PARAM*, void*) { return 0; }

// Reads the first PEM key of type key_type ("RSA", or nullptr for any) from
// text; returns an empty owner if there is none.
ossl::Pkey decode_pem(const std::string& text, const char* key_type) {
  EVP_PKEY* raw = nullptr;
  const ossl::DecoderCtx decoder(
      OSSL_DECODER_CTX_new_for_pkey(&raw, Rsa::PEM, nullptr, key_type, 0, nullptr, nullptr));
  if (!decoder) return ossl::Pkey();
  OSSL_DECODER_CTX_set_passphrase_cb(decoder.get(), refuse_passphrase, nullptr);
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t size = text.size();
  const int decoded = OSSL_DECODER_from_data(decoder.get(), &data, &size);
  ossl::Pkey key(raw);
  if (decoded != 1) return ossl::Pkey();
  return key;
}

bool has_private_half(EVP_PKEY* key) {
  BIGNUM* raw = nullptr;
  const int found = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &raw);
  const ossl::SecretBignum exponent(raw);
  ERR_clear_error();
  return found == 1 && exponent != nullptr;
}

enum class KeyUse { kPublic, kPrivate };

// Reads an RSA key for operation from text. A kPrivate use also requires the
// private half; a kPublic use takes the public half of either kind of key.
ossl::Pkey import_key(std::string_view operation, const std::string& text, KeyUse use) {
  const char* what = use == KeyUse::kPrivate ? "private key" : "public key";
  ossl::Pkey key = decode_pem(text, "RSA");
  if (!key || !EVP_PKEY_is_a(key.get(), "RSA")) {
    take_openssl_errors();
    // Tell a key of the wrong algorithm apart from text that is no key.
    if (const ossl::Pkey other = decode_pem(text, nullptr)) {
      fail(operation, std::string("cannot use the ") + what + ": its type is " +
                          EVP_PKEY_get0_type_name(other.get()) + ", not RSA");
    }
    fail(operation, std::string("cannot read the ") + what +
                        ": not an unencrypted RSA key in PEM form");
  }
  if (use == KeyUse::kPrivate && !has_private_half(key.get())) {
    fail(operation, "the key text holds only a public key; a private key is needed");
  }
  return key;
}

// Size in bytes of the key's modulus, hence of its ciphertexts and signatures.
int modulus_bytes(EVP_PKEY* key) { return EVP_PKEY_get_size(key); }

std::string key_description(EVP_PKEY* key) {
  return "this " + std::to_string(EVP_PKEY_get_bits(key)) + "-bit key";
}

// Prepares ctx for RSAES-OAEP with SHA-1, MGF1-SHA-1 and the empty label.
bool set_oaep(EVP_PKEY_CTX* ctx) {
  return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
         EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha1()) > 0 &&
         EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha1()) > 0;
}

std::string export_key(EVP_PKEY* key, int selection, const char* structure,
                       const BIO_METHOD* method, const char* form = Rsa::PEM,
                       std::string_view operation = "generate_key_pair") {
  const ossl::EncoderCtx encoder(
      OSSL_ENCODER_CTX_new_for_pkey(key, selection, form, structure, nullptr));
  const ossl::Bio sink(BIO_new(method));
  if (!encoder || OSSL_ENCODER_CTX_get_num_encoders(encoder.get()) == 0 || !sink ||
      OSSL_ENCODER_to_bio(encoder.get(), sink.get()) != 1) {
    fail_in_openssl(operation, std::string("cannot export the key as ") + structure);
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(sink.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::pair<std::string, std::string> Rsa::generate_key_pair() {
  const ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  std::size_t bits = kKeyBits;
  unsigned int exponent = kPublicExponent;
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_size_t(OSSL_PKEY_PARAM_RSA_BITS, &bits),
      OSSL_PARAM_construct_uint(OSSL_PKEY_PARAM_RSA_E, &exponent),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_params(ctx.get(), params) != 1 || EVP_PKEY_generate(ctx.get(), &raw) != 1) {
    const ossl::Pkey partial(raw);
    fail_in_openssl("generate_key_pair", "cannot generate an RSA key");
  }
  const ossl::Pkey key(raw);
  // "type-specific" gives the PKCS#1 RSAPrivateKey structure; the private
  // text passes through secure memory, which is wiped when released.
  std::string private_pem =
      export_key(key.get(), EVP_PKEY_KEYPAIR, "type-specific", BIO_s_secmem());
  std::string public_pem =
      export_key(key.get(), EVP_PKEY_PUBLIC_KEY, "SubjectPublicKeyInfo", BIO_s_mem());
  return {std::move(private_pem), std::move(public_pem)};
}

std::string Rsa::encrypt(const std::string& msg, const std::string& public_key) {
  constexpr std::string_view op = "encrypt";
  const ossl::Pkey key = import_key(op, public_key, KeyUse::kPublic);
  if (const std::optional<std::size_t> bad = base::find_invalid_utf8(msg)) {
    fail(op, std::string("message is not valid ") + UTF8ENCODING + " (byte " +
                 std::to_string(*bad) + ")");
  }
  const int limit = modulus_bytes(key.get()) - 2 * kOaepHashSize - 2;
  if (limit < 0 || msg.size() > static_cast<std::size_t>(limit)) {
    fail(op, "message is " + std::to_string(msg.size()) + " bytes, the limit for " +
                 key_description(key.get()) + " is " + std::to_string(limit < 0 ? 0 : limit) +
                 " bytes");
  }

  const ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 || !set_oaep(ctx.get())) {
    fail_in_openssl(op, "cannot set up RSAES-OAEP");
  }
  const auto* in = reinterpret_cast<const unsigned char*>(msg.data());
  std::size_t size = 0;
  if (EVP_PKEY_encrypt(ctx.get(), nullptr, &size, in, msg.size()) != 1) {
    fail_in_openssl(op, "cannot size the ciphertext");
  }
  std::string ciphertext(size, '\0');
  if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(ciphertext.data()), &size, in,
                       msg.size()) != 1) {
    fail_in_openssl(op, "encryption failed");
  }
  ciphertext.resize(size);
  return base::base64_encode(ciphertext);
}

std::string Rsa::decrypt(const std::string& encrypted, const std::string& private_key) {
  constexpr std::string_view op = "decrypt";
  const ossl::Pkey key = import_key(op, private_key, KeyUse::kPrivate);
  std::string ciphertext;
  try {
    ciphertext = base::base64_decode(encrypted);
  } catch (const std::invalid_argument& e) {
    fail(op, std::string("ciphertext is malformed: ") + e.what());
  }
  const int expected = modulus_bytes(key.get());
  if (ciphertext.size() != static_cast<std::size_t>(expected)) {
    fail(op, "ciphertext is " + std::to_string(ciphertext.size()) + " bytes, " +
                 key_description(key.get()) + " needs " + std::to_string(expected));
  }

  const ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 || !set_oaep(ctx.get())) {
    fail_in_openssl(op, "cannot set up RSAES-OAEP");
  }
  const auto* in = reinterpret_cast<const unsigned char*>(ciphertext.data());
  std::size_t size = 0;
  if (EVP_PKEY_decrypt(ctx.get(), nullptr, &size, in, ciphertext.size()) != 1) {
    fail_in_openssl(op, "cannot size the plaintext");
  }
  std::string plaintext(size, '\0');
  if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(plaintext.data()), &size, in,
                       ciphertext.size()) != 1) {
    fail_in_openssl(op, "ciphertext was not made for this key or was altered");
  }
  plaintext.resize(size);
  if (const std::optional<std::size_t> bad = base::find_invalid_utf8(plaintext)) {
    fail(op, std::string("plaintext is not valid ") + UTF8ENCODING + " (byte " +
                 std::to_string(*bad) + ")");
  }
  return plaintext;
}

std::string Rsa::sign(const std::string& msg, const std::string& private_key) {
  constexpr std::string_view op = "sign";
  const ossl::Pkey key = import_key(op, private_key, KeyUse::kPrivate);
  const ossl::MdCtx md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by md
  if (!md || EVP_DigestSignInit_ex(md.get(), &pctx, "SHA256", nullptr, nullptr, key.get(), nullptr) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) <= 0) {
    fail_in_openssl(op, "cannot set up RSASSA-PKCS1-v1_5 with SHA-256");
  }
  const auto* in = reinterpret_cast<const unsigned char*>(msg.data());
  std::size_t size = 0;
  if (EVP_DigestSign(md.get(), nullptr, &size, in, msg.size()) != 1) {
    fail_in_openssl(op, "cannot size the signature");
  }
  std::string signature(size, '\0');
  if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(signature.data()), &size, in,
                     msg.size()) != 1) {
    fail_in_openssl(op, "signing failed");
  }
  signature.resize(size);
  return base::base64_encode(signature);
}

bool Rsa::verify(const std::string& msg, const std::string& signature,
                 const std::string& public_key) {
  constexpr std::string_view op = "verify";
  const ossl::Pkey key = import_key(op, public_key, KeyUse::kPublic);
  std::string raw_signature;
  try {
    raw_signature = base::base64_decode(signature);
  } catch (const std::invalid_argument&) {
    return false;
  }
  const ossl::MdCtx md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by md
  if (!md || EVP_DigestVerifyInit_ex(md.get(), &pctx, "SHA256", nullptr, nullptr, key.get(), nullptr) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) <= 0) {
    fail_in_openssl(op, "cannot set up RSASSA-PKCS1-v1_5 with SHA-256");
  }
  // Every failure counts as a bad signature, wrong length included.
  const int verdict =
      EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(raw_signature.data()),
                       raw_signature.size(), reinterpret_cast<const unsigned char*>(msg.data()),
                       msg.size());
  ERR_clear_error();
  return verdict == 1;
}

std::string Rsa::public_key(const std::string& key) {
  constexpr std::string_view op = "public_key";
  const ossl::Pkey pkey = import_key(op, key, KeyUse::kPublic);
  return export_key(pkey.get(), EVP_PKEY_PUBLIC_KEY, "SubjectPublicKeyInfo", BIO_s_mem(), PEM, op);
}

std::string Rsa::fingerprint(const std::string& key) {
  constexpr std::string_view op = "fingerprint";
  const ossl::Pkey pkey = import_key(op, key, KeyUse::kPublic);
  const std::string der =
      export_key(pkey.get(), EVP_PKEY_PUBLIC_KEY, "SubjectPublicKeyInfo", BIO_s_mem(), "DER", op);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(der.data(), der.size(), digest, &size, EVP_sha256(), nullptr) != 1)
    fail_in_openssl(op, "cannot hash the key");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xf];
  }
  return hex;
}

}  // namespace bootstrap::crypto

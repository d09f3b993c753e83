// Owners for the OpenSSL handles used by the RSA helper.
//
// Each alias is a move-only std::unique_ptr whose deleter calls the handle's
// own free function, so a handle is released on every way out of a scope,
// thrown errors included, and the business code never frees anything itself.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>

namespace bootstrap::crypto::ossl {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* handle) const noexcept { Free(handle); }
};

template <typename T, void (*Free)(T*)>
using Owner = std::unique_ptr<T, Deleter<T, Free>>;

using Pkey = Owner<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtx = Owner<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtx = Owner<EVP_MD_CTX, EVP_MD_CTX_free>;
using Bio = Owner<BIO, BIO_free_all>;
using DecoderCtx = Owner<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>;
using EncoderCtx = Owner<OSSL_ENCODER_CTX, OSSL_ENCODER_CTX_free>;
// Clears the number before freeing it; used for private key components.
using SecretBignum = Owner<BIGNUM, BN_clear_free>;

}  // namespace bootstrap::crypto::ossl

#pragma once
// Owners for the OpenSSL objects of the key store: nothing is freed by hand.

#include <cstring>
#include <memory>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/provider.h>

namespace Talvek {

struct BignumFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct EvpPkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct EvpPkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct ParamBldFree {
    void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamFree {
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
struct EvpMdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct EvpCipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct EvpCipherFree {
    void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct LibCtxFree {
    void operator()(OSSL_LIB_CTX* c) const { OSSL_LIB_CTX_free(c); }
};
struct ProviderUnload {
    void operator()(OSSL_PROVIDER* p) const { OSSL_PROVIDER_unload(p); }
};
// OpenSSL's texts of numbers may spell a private exponent: wiped when freed.
struct OpensslStringFree {
    void operator()(char* s) const {
        if (s) OPENSSL_clear_free(s, std::strlen(s));
    }
};

using BignumPtr = std::unique_ptr<BIGNUM, BignumFree>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, ParamFree>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, EvpCipherCtxFree>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, EvpCipherFree>;
using LibCtxPtr = std::unique_ptr<OSSL_LIB_CTX, LibCtxFree>;
using ProviderPtr = std::unique_ptr<OSSL_PROVIDER, ProviderUnload>;
using OpensslStringPtr = std::unique_ptr<char, OpensslStringFree>;

}  // namespace Talvek

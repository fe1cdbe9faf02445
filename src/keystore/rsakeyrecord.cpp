#include "keystore/rsakeyrecord.h"

#include <ctime>
#include <algorithm>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "keystore/encoding.h"
#include "keystore/secureexception.h"

namespace Talvek {

namespace {

const char* const kRecordMagic = "KRSK0";
const char* const kCreateFailed = "Failed to create new RSA key";

BignumPtr dup(const BIGNUM* b) {
    return BignumPtr(b ? BN_dup(b) : nullptr);
}

// A missing number or the number zero (a stored length with only zero bytes)
// writes nothing at all; a record holding one would read back as another
// shape, so it is not written.
bool writable(const BignumPtr& b) {
    return b && !BN_is_zero(b.get());
}

// An odd number above one: what a modulus or a prime must at least be for
// OpenSSL's Montgomery arithmetic to work on it.
bool oddAboveOne(const BIGNUM* b) {
    return b && BN_is_odd(b) && !BN_is_one(b);
}

struct BnCtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};

BignumPtr getParam(EVP_PKEY* key, const char* name) {
    BIGNUM* b = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &b) != 1) return nullptr;
    return BignumPtr(b);
}

EvpPkeyPtr keyFromNumbers(const RsaKeyRecord& r, bool withPrivate) {
    ParamBldPtr bld(OSSL_PARAM_BLD_new());
    if (!bld) throw SecureException(kCreateFailed);
    bool ok = OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, r.n()) &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, r.e());
    if (withPrivate) {
        ok = ok && OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, r.d()) &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, r.p()) &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, r.q()) &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, r.dmp1()) &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, r.dmq1()) &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, r.iqmp());
    }
    if (!ok) return nullptr;
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!params || !ctx) throw SecureException(kCreateFailed);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &key, withPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) <= 0) {
        return nullptr;
    }
    return EvpPkeyPtr(key);
}

// RC4 lives in OpenSSL's legacy provider; it is loaded into a context of our
// own so the process-wide defaults stay untouched.
class LegacyCiphers {
public:
    static LegacyCiphers& instance() {
        static LegacyCiphers ciphers;
        return ciphers;
    }
    const EVP_CIPHER* rc4() const { return rc4_.get(); }

private:
    LegacyCiphers() {
        if (!ctx_) return;
        legacy_.reset(OSSL_PROVIDER_load(ctx_.get(), "legacy"));
        base_.reset(OSSL_PROVIDER_load(ctx_.get(), "default"));
        if (legacy_) rc4_.reset(EVP_CIPHER_fetch(ctx_.get(), "RC4", nullptr));
    }
    // Members go in reverse order: the cipher, then the providers, then the
    // context they were loaded into.
    LibCtxPtr ctx_{OSSL_LIB_CTX_new()};
    ProviderPtr legacy_;
    ProviderPtr base_;
    EvpCipherPtr rc4_;
};

EvpPkeyCtxPtr contextFor(EVP_PKEY* key) {
    if (!key) return nullptr;
    return EvpPkeyCtxPtr(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
}

// Raw RSA of one block (no padding): the private or the public direction.
bool rawRsa(EVP_PKEY* key, bool privateSide, const std::vector<uint8_t>& in,
            std::vector<uint8_t>& out) {
    EvpPkeyCtxPtr ctx = contextFor(key);
    size_t length = out.size();
    if (!ctx) return false;
    if (privateSide) {
        return EVP_PKEY_decrypt_init(ctx.get()) > 0 &&
               EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) > 0 &&
               EVP_PKEY_decrypt(ctx.get(), out.data(), &length, in.data(), in.size()) > 0 &&
               length == out.size();
    }
    return EVP_PKEY_encrypt_init(ctx.get()) > 0 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) > 0 &&
           EVP_PKEY_encrypt(ctx.get(), out.data(), &length, in.data(), in.size()) > 0 &&
           length == out.size();
}

// A key pair whose private exponent does not undo its public one (numbers
// from a damaged or forged file) would sign and decrypt wrongly without any
// error; one value taken there and back tells.
bool undoesItself(EVP_PKEY* key, int size) {
    if (size <= 1) return false;
    std::vector<uint8_t> value(static_cast<size_t>(size));
    for (size_t i = 1; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i * 37 + 11);
    value[0] = 0;  // below the modulus, whose first byte is not zero
    std::vector<uint8_t> there(value.size()), back(value.size());
    return rawRsa(key, true, value, there) && rawRsa(key, false, there, back) && back == value;
}

}  // namespace

void seedWithSystemTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    const uint16_t systemTime[8] = {
        static_cast<uint16_t>(utc.tm_year + 1900), static_cast<uint16_t>(utc.tm_mon + 1),
        static_cast<uint16_t>(utc.tm_wday),        static_cast<uint16_t>(utc.tm_mday),
        static_cast<uint16_t>(utc.tm_hour),        static_cast<uint16_t>(utc.tm_min),
        static_cast<uint16_t>(utc.tm_sec),         static_cast<uint16_t>(ts.tv_nsec / 1000000)};
    RAND_seed(systemTime, sizeof systemTime);
}

void RsaKeyRecord::clear() {
    n_.reset();
    e_.reset();
    d_.reset();
    p_.reset();
    q_.reset();
    dmp1_.reset();
    dmq1_.reset();
    iqmp_.reset();
    name_.clear();
    kind_ = KeyKind::None;
    publicKey_.reset();
    privateKey_.reset();
    privateRefused_ = false;
}

namespace {

thread_local const std::atomic<bool>* t_generationStop = nullptr;

// OpenSSL's progress call: 0 ends the generation with a failure.
int continueGeneration(EVP_PKEY_CTX*) {
    return KeyGenerationStop::requested() ? 0 : 1;
}

}  // namespace

KeyGenerationStop::KeyGenerationStop(const std::atomic<bool>& stop)
    : previous_(t_generationStop) {
    t_generationStop = &stop;
}

KeyGenerationStop::~KeyGenerationStop() {
    t_generationStop = previous_;
}

bool KeyGenerationStop::requested() {
    return t_generationStop && t_generationStop->load();
}

bool RsaKeyRecord::generate(const std::string& owner, int bits) {
    seedWithSystemTime();
    clear();
    if (KeyGenerationStop::requested()) return false;
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx) throw SecureException(kCreateFailed);
    EVP_PKEY_CTX_set_cb(ctx.get(), continueGeneration);
    BignumPtr exponent(BN_new());
    if (!exponent || !BN_set_word(exponent.get(), RSA_F4)) throw SecureException(kCreateFailed);
    EVP_PKEY* raw = nullptr;
    if (bits <= 0 || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) <= 0 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) <= 0 ||
        EVP_PKEY_generate(ctx.get(), &raw) <= 0) {
        return false;
    }
    EvpPkeyPtr key(raw);
    n_ = getParam(raw, OSSL_PKEY_PARAM_RSA_N);
    e_ = getParam(raw, OSSL_PKEY_PARAM_RSA_E);
    d_ = getParam(raw, OSSL_PKEY_PARAM_RSA_D);
    p_ = getParam(raw, OSSL_PKEY_PARAM_RSA_FACTOR1);
    q_ = getParam(raw, OSSL_PKEY_PARAM_RSA_FACTOR2);
    dmp1_ = getParam(raw, OSSL_PKEY_PARAM_RSA_EXPONENT1);
    dmq1_ = getParam(raw, OSSL_PKEY_PARAM_RSA_EXPONENT2);
    iqmp_ = getParam(raw, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    if (!n_ || !e_ || !d_ || !p_ || !q_ || !dmp1_ || !dmq1_ || !iqmp_) {
        clear();
        return false;
    }
    name_ = owner;
    kind_ = KeyKind::Private;
    privateKey_ = std::move(key);
    return true;
}

bool RsaKeyRecord::extractPublic(std::unique_ptr<RsaKeyRecord>& out) const {
    if (kind_ != KeyKind::Private || !hasCompletePrivate()) return false;
    auto record = std::make_unique<RsaKeyRecord>();
    record->name_ = name_;
    record->kind_ = KeyKind::Public;
    record->n_ = dup(n_.get());
    record->e_ = dup(e_.get());
    if (!record->n_ || !record->e_) throw SecureException(kCreateFailed);
    out = std::move(record);
    return true;
}

bool RsaKeyRecord::copyPublicFrom(const RsaKeyRecord* other) {
    if (!other || !other->n_ || !other->e_) return false;
    clear();
    n_ = dup(other->n_.get());
    e_ = dup(other->e_.get());
    if (!n_ || !e_) throw SecureException(kCreateFailed);
    name_ = other->name_;
    kind_ = KeyKind::Public;
    return true;
}

std::unique_ptr<RsaKeyRecord> RsaKeyRecord::clone() const {
    auto copy = std::make_unique<RsaKeyRecord>();
    copy->n_ = dup(n_.get());
    copy->e_ = dup(e_.get());
    copy->d_ = dup(d_.get());
    copy->p_ = dup(p_.get());
    copy->q_ = dup(q_.get());
    copy->dmp1_ = dup(dmp1_.get());
    copy->dmq1_ = dup(dmq1_.get());
    copy->iqmp_ = dup(iqmp_.get());
    copy->name_ = name_;
    copy->kind_ = kind_;
    return copy;
}

bool RsaKeyRecord::writePublic(FileWriter& file) const {
    // A record without its numbers would write a record that reads back as
    // another shape; refusing keeps the file consistent.
    if (!file.isOpen() || kind_ == KeyKind::None || !writable(n_) || !writable(e_)) return false;
    bool ok = writeMagic(file, kRecordMagic);
    ok = writeU32(file, static_cast<uint32_t>(KeyKind::Public)) && ok;
    ok = writeString(file, name_) && ok;
    ok = writeBigNum(file, n_.get()) && ok;
    ok = writeBigNum(file, e_.get()) && ok;
    return ok && !file.writeFailed();
}

bool RsaKeyRecord::writePrivate(FileWriter& file) const {
    if (!file.isOpen() || kind_ != KeyKind::Private) return false;
    for (const BignumPtr* b : {&n_, &e_, &d_, &p_, &q_, &dmp1_, &dmq1_, &iqmp_}) {
        if (!writable(*b)) return false;
    }
    bool ok = writeMagic(file, kRecordMagic);
    ok = writeU32(file, static_cast<uint32_t>(KeyKind::Private)) && ok;
    ok = writeString(file, name_) && ok;
    for (const BIGNUM* b : {n_.get(), e_.get(), d_.get(), p_.get(), q_.get(), dmp1_.get(),
                            dmq1_.get(), iqmp_.get()}) {
        ok = writeBigNum(file, b) && ok;
    }
    return ok && !file.writeFailed();
}

bool RsaKeyRecord::readKey(FileReader& file, KeyParts parts) {
    if (!file.isOpen() || kind_ != KeyKind::None) return false;
    if (!readMagic(file, kRecordMagic)) return false;
    kind_ = static_cast<KeyKind>(static_cast<int32_t>(readU32OrZero(file)));
    readString(file, name_);
    readBigNum(file, n_);
    readBigNum(file, e_);
    if (kind_ == KeyKind::Private) {
        for (BignumPtr* slot : {&d_, &p_, &q_, &dmp1_, &dmq1_, &iqmp_}) {
            if (parts == KeyParts::All)
                readBigNum(file, *slot);
            else
                skipBigNum(file);
        }
    }
    publicKey_.reset();
    privateKey_.reset();
    privateRefused_ = false;
    return true;
}

int RsaKeyRecord::writeHexPublic(FileWriter& file) const {
    if (!n_ || !e_) return 0;
    writeHexLine(file, n_.get());
    writeHexLine(file, e_.get());
    return 1;
}

int RsaKeyRecord::writeHexPrivate(FileWriter& file) const {
    if (!n_ || !d_) return 0;
    writeHexLine(file, n_.get());
    writeHexLine(file, d_.get());
    return 1;
}

int RsaKeyRecord::sizeBytes() const {
    if (!isSet() || !n_) return 0;
    return BN_num_bytes(n_.get());
}

bool RsaKeyRecord::hasAllNumbers() const {
    if (!n_ || !e_) return false;
    if (kind_ != KeyKind::Private) return true;
    return d_ && p_ && q_ && dmp1_ && dmq1_ && iqmp_;
}

bool RsaKeyRecord::hasPlausiblePublic() const {
    return n_ && e_ && BN_is_odd(n_.get()) && BN_is_odd(e_.get()) && !BN_is_one(e_.get()) &&
           BN_cmp(e_.get(), n_.get()) < 0;
}

bool RsaKeyRecord::hasCompletePrivate() const {
    if (!hasPlausiblePublic() || !d_ || !oddAboveOne(p_.get()) || !oddAboveOne(q_.get()) ||
        !dmp1_ || !dmq1_ || !iqmp_ || BN_is_zero(d_.get())) {
        return false;
    }
    // The CRT numbers are residues modulo a prime: a larger one belongs to no
    // key, and a huge one would make every private operation crawl.
    if (BN_cmp(dmp1_.get(), p_.get()) >= 0 || BN_cmp(dmq1_.get(), q_.get()) >= 0 ||
        BN_cmp(iqmp_.get(), p_.get()) >= 0) {
        return false;
    }
    // Numbers from a damaged file may belong to no key at all: the primes
    // must make up the modulus before the pair is used for anything.
    std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
    BignumPtr product(BN_new());
    if (!ctx || !product) throw SecureException(kCreateFailed);
    return BN_mul(product.get(), p_.get(), q_.get(), ctx.get()) == 1 &&
           BN_cmp(product.get(), n_.get()) == 0;
}

EVP_PKEY* RsaKeyRecord::publicKey() const {
    if (!isSet()) return nullptr;
    if (!publicKey_ && hasPlausiblePublic()) publicKey_ = keyFromNumbers(*this, false);
    return publicKey_.get();
}

EVP_PKEY* RsaKeyRecord::privateKey() const {
    if (kind_ != KeyKind::Private) return nullptr;
    if (!privateKey_ && !privateRefused_ && hasCompletePrivate()) {
        EvpPkeyPtr key = keyFromNumbers(*this, true);
        if (key && undoesItself(key.get(), sizeBytes())) {
            privateKey_ = std::move(key);
        } else {
            privateRefused_ = true;
        }
    }
    return privateKey_.get();
}

bool signDigest(const RsaKeyRecord& key, const uint8_t* digest16, uint8_t* signature,
                unsigned* signatureLength) {
    if (signatureLength) *signatureLength = 0;
    if (!digest16 || !signature || !signatureLength) return false;
    EvpPkeyCtxPtr ctx = contextFor(key.privateKey());
    size_t length = static_cast<size_t>(key.sizeBytes());
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_md5()) <= 0 ||
        EVP_PKEY_sign(ctx.get(), signature, &length, digest16, 16) <= 0) {
        return false;
    }
    *signatureLength = static_cast<unsigned>(length);
    return true;
}

bool verifyDigest(const RsaKeyRecord& key, const uint8_t* digest16, const uint8_t* signature,
                  unsigned signatureLength) {
    if (!digest16 || !signature) return false;
    EvpPkeyCtxPtr ctx = contextFor(key.publicKey());
    return ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
           EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_md5()) > 0 &&
           EVP_PKEY_verify(ctx.get(), signature, signatureLength, digest16, 16) == 1;
}

bool publicEncrypt(const RsaKeyRecord& key, const uint8_t* input, int inputLength, uint8_t* output,
                   int* outputLength) {
    if (outputLength) *outputLength = 0;
    if (!input || inputLength < 0 || !output || !outputLength) return false;
    EvpPkeyCtxPtr ctx = contextFor(key.publicKey());
    size_t length = static_cast<size_t>(key.sizeBytes());
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_encrypt(ctx.get(), output, &length, input, static_cast<size_t>(inputLength)) <=
            0) {
        return false;
    }
    *outputLength = static_cast<int>(length);
    return length > 0;
}

bool privateDecrypt(const RsaKeyRecord& key, const uint8_t* input, int inputLength, uint8_t* output,
                    int* outputLength) {
    if (outputLength) *outputLength = 0;
    if (!input || inputLength < 0 || !output || !outputLength) return false;
    EvpPkeyCtxPtr ctx = contextFor(key.privateKey());
    size_t length = static_cast<size_t>(key.sizeBytes());
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_decrypt(ctx.get(), output, &length, input, static_cast<size_t>(inputLength)) <=
            0) {
        return false;
    }
    *outputLength = static_cast<int>(length);
    return length > 0;
}

bool md5Digest(const void* data, size_t length, uint8_t* output16) {
    unsigned int n = 0;
    return output16 && (data || length == 0) &&
           EVP_Digest(data, length, output16, &n, EVP_md5(), nullptr) == 1 && n == 16;
}

bool makeSessionKey(uint8_t* output16) {
    if (!output16) return false;
    uint8_t random[64] = {};
    seedWithSystemTime();
    std::fill(output16, output16 + 16, uint8_t{0});
    if (RAND_bytes(random, sizeof random) != 1) return false;
    const bool ok = md5Digest(random, sizeof random, output16);
    OPENSSL_cleanse(random, sizeof random);
    return ok;
}

bool rc4Transform(const uint8_t* key16, size_t length, const uint8_t* input, uint8_t* output) {
    if (!key16 || (length > 0 && (!input || !output))) return false;
    if (length == 0) return true;
    Rc4Stream stream;
    return stream.start(key16) && stream.apply(input, length, output);
}

bool Rc4Stream::start(const uint8_t* key16) {
    ctx_.reset();
    const EVP_CIPHER* rc4 = LegacyCiphers::instance().rc4();
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!key16 || !rc4 || !ctx ||
        EVP_EncryptInit_ex2(ctx.get(), rc4, nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_key_length(ctx.get(), 16) != 1 ||
        EVP_EncryptInit_ex2(ctx.get(), nullptr, key16, nullptr, nullptr) != 1) {
        return false;
    }
    ctx_ = std::move(ctx);
    return true;
}

bool Rc4Stream::apply(const uint8_t* input, size_t length, uint8_t* output) {
    if (!ctx_ || (length > 0 && (!input || !output))) return false;
    // EVP counts in int; long inputs go through in slices of the same stream.
    size_t done = 0;
    while (done < length) {
        const int chunk = static_cast<int>(std::min<size_t>(length - done, 1u << 30));
        int out = 0;
        if (EVP_EncryptUpdate(ctx_.get(), output + done, &out, input + done, chunk) != 1 ||
            out != chunk) {
            ctx_.reset();
            return false;
        }
        done += static_cast<size_t>(chunk);
    }
    return true;
}

bool Md5Stream::start() {
    ctx_.reset(EVP_MD_CTX_new());
    if (ctx_ && EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) == 1) return true;
    ctx_.reset();
    return false;
}

bool Md5Stream::update(const void* data, size_t length) {
    if (!ctx_ || (!data && length > 0)) return false;
    if (length == 0 || EVP_DigestUpdate(ctx_.get(), data, length) == 1) return true;
    ctx_.reset();
    return false;
}

bool Md5Stream::finish(uint8_t* output16) {
    unsigned int n = 0;
    const bool ok =
        ctx_ && output16 && EVP_DigestFinal_ex(ctx_.get(), output16, &n) == 1 && n == 16;
    ctx_.reset();
    return ok;
}

}  // namespace Talvek

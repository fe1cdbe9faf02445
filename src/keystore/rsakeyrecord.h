#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "keystore/ossl.h"

namespace Talvek {

// What a key record holds. The kind is stored as read from the file, so other
// values than these three can occur; anything but None counts as set.
enum class KeyKind : int32_t { None = 0, Public = 1, Private = 2 };

// Lets a user stop the keys generated on this thread: while the object
// lives, a generation that finds the flag raised gives up at its next step
// (OpenSSL asks between candidate primes) and fails, so the operation that
// wanted the key writes nothing.
class KeyGenerationStop {
public:
    explicit KeyGenerationStop(const std::atomic<bool>& stop);
    ~KeyGenerationStop();
    KeyGenerationStop(const KeyGenerationStop&) = delete;
    KeyGenerationStop& operator=(const KeyGenerationStop&) = delete;
    // True when a stop is asked for on this thread.
    static bool requested();

private:
    const std::atomic<bool>* previous_;
};

// How much of a key record a read keeps. A listing needs only the public
// half (size and fingerprint): the private numbers are passed over, which
// spares converting them and never puts them in memory.
enum class KeyParts { All, PublicOnly };

// One RSA key with its owner's key name; record "KRSK0".
//
// The eight numbers are kept as read. The OpenSSL key object is built from
// them only when a cryptographic operation needs it, so loading a large base
// costs no more than the number conversions, and a record cut short in its
// file (numbers missing) or holding implausible numbers is inert: every
// operation on it reports failure instead of computing with it.
class RsaKeyRecord {
public:
    RsaKeyRecord() = default;
    RsaKeyRecord(const RsaKeyRecord&) = delete;
    RsaKeyRecord& operator=(const RsaKeyRecord&) = delete;

    // A new private key of the given size, public exponent 65537. False
    // also when a KeyGenerationStop of this thread asked to stop.
    bool generate(const std::string& owner, int bits);
    // A new record holding only the public part (private, complete keys only).
    bool extractPublic(std::unique_ptr<RsaKeyRecord>& out) const;
    // This record takes the public part of another.
    bool copyPublicFrom(const RsaKeyRecord* other);
    // An independent copy of every number, the name and the kind.
    std::unique_ptr<RsaKeyRecord> clone() const;
    void setName(const std::string& owner) { name_ = owner; }

    bool writePublic(FileWriter& file) const;
    bool writePrivate(FileWriter& file) const;
    // Reads a record of either kind, into an empty record only. With
    // KeyParts::PublicOnly a private record keeps its kind, name, n and e,
    // and lacks the rest (hasAllNumbers() is false).
    bool readKey(FileReader& file, KeyParts parts = KeyParts::All);

    // n and e (public) or n and d (private) as hexadecimal lines; 1 when
    // written, 0 when the record lacks the numbers.
    int writeHexPublic(FileWriter& file) const;
    int writeHexPrivate(FileWriter& file) const;

    bool isSet() const { return kind_ != KeyKind::None; }
    // Every number the record's kind stores was read: n and e, and for a
    // private key the other six too. A record cut short in its file lacks some.
    bool hasAllNumbers() const;
    int sizeBytes() const;
    const std::string& name() const { return name_; }
    KeyKind kind() const { return kind_; }

    const BIGNUM* n() const { return n_.get(); }
    const BIGNUM* e() const { return e_.get(); }
    const BIGNUM* d() const { return d_.get(); }
    const BIGNUM* p() const { return p_.get(); }
    const BIGNUM* q() const { return q_.get(); }
    const BIGNUM* dmp1() const { return dmp1_.get(); }
    const BIGNUM* dmq1() const { return dmq1_.get(); }
    const BIGNUM* iqmp() const { return iqmp_.get(); }

    // An odd modulus and an odd public exponent greater than 1 and below it:
    // an exponent of 1 would "encrypt" to the plain text.
    bool hasPlausiblePublic() const;
    // All eight numbers present, the public part plausible, the primes odd
    // and making up the modulus, and dmp1, dmq1 and iqmp below their primes.
    bool hasCompletePrivate() const;

    // The OpenSSL key for public operations (encrypt, verify), or null.
    EVP_PKEY* publicKey() const;
    // The OpenSSL key pair for private operations (decrypt, sign), or null.
    // The pair is tried once on a test value first, so a key whose numbers do
    // not belong together signs and decrypts nothing instead of producing
    // wrong results. Throws SecureException when OpenSSL cannot make the object.
    EVP_PKEY* privateKey() const;

private:
    void clear();

    BignumPtr n_, e_, d_, p_, q_, dmp1_, dmq1_, iqmp_;
    std::string name_;
    KeyKind kind_ = KeyKind::None;
    mutable EvpPkeyPtr publicKey_;
    mutable EvpPkeyPtr privateKey_;
    // Numbers that looked complete but do not undo each other: never used.
    mutable bool privateRefused_ = false;
};

// Primitives over a record's key: PKCS #1 v1.5 throughout.
// RSA signature of a 16-byte MD5 digest (DigestInfo with the MD5 identifier).
bool signDigest(const RsaKeyRecord& key, const uint8_t* digest16, uint8_t* signature,
                unsigned* signatureLength);
bool verifyDigest(const RsaKeyRecord& key, const uint8_t* digest16, const uint8_t* signature,
                  unsigned signatureLength);
bool publicEncrypt(const RsaKeyRecord& key, const uint8_t* input, int inputLength, uint8_t* output,
                   int* outputLength);
bool privateDecrypt(const RsaKeyRecord& key, const uint8_t* input, int inputLength, uint8_t* output,
                    int* outputLength);
// A fresh random 16-byte message key: MD5 of 64 random bytes.
bool makeSessionKey(uint8_t* output16);
// RC4 with a key schedule set up afresh from the 16-byte key.
bool rc4Transform(const uint8_t* key16, size_t length, const uint8_t* input, uint8_t* output);
bool md5Digest(const void* data, size_t length, uint8_t* output16);

// The same two over data that come in pieces: one RC4 key stream (and one
// digest) running on from piece to piece, so that large data need not be
// held twice. Each call is false once anything failed.
class Rc4Stream {
public:
    bool start(const uint8_t* key16);
    bool apply(const uint8_t* input, size_t length, uint8_t* output);

private:
    EvpCipherCtxPtr ctx_;  // freeing it wipes the key schedule
};

class Md5Stream {
public:
    bool start();
    bool update(const void* data, size_t length);
    bool finish(uint8_t* output16);

private:
    EvpMdCtxPtr ctx_;
};

// Feeds the current UTC time (16 bytes, SYSTEMTIME field order) to the random
// generator, as every key generation does first.
void seedWithSystemTime();

}  // namespace Talvek

#pragma once
// A public key's fingerprint: "SHA256:" and the unpadded base64 of the
// SHA-256 of its DER SubjectPublicKeyInfo, the form ssh-keygen shows and
// anyone can recompute from the key with the openssl tool. It is what two
// people compare to decide whether a public part that travelled by hand or
// e-mail is the one that was sent.

#include <string>

#include "keystore/ossl.h"

namespace Talvek {

class RsaKeyRecord;

// Empty when the modulus or the exponent is missing (or negative).
std::string publicKeyFingerprint(const BIGNUM* n, const BIGNUM* e);
// Of the record's public half; empty for a record without n and e.
std::string publicKeyFingerprint(const RsaKeyRecord& key);

// The record's public half as a PEM "PUBLIC KEY" block (the same DER
// SubjectPublicKeyInfo the fingerprint is taken of), lines of 64 characters,
// ending in a line feed; empty for a record without n and e.
std::string publicKeyPem(const RsaKeyRecord& key);

}  // namespace Talvek

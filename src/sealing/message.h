#pragma once
// Protection of a message with a channel's keys: an RSA signature over the MD5
// digest of the data, the data and the digest encrypted with RC4 under a fresh
// message key that travels RSA-encrypted for the peer, all as base64 text.
//
// Sealed message before base64, parts in this order, each only when used:
//   signature of MD5(data) with signPrivateKey       (signing key size)
//   RC4(message key, MD5(data))                      (16 bytes, encryption)
//   message key encrypted with cryptPublicKey        (encryption key size)
//   RC4(message key, data), or the data as they are  (data length)

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "keystore/base64.h"
#include "keystore/rsakeyrecord.h"
#include "keystore/securechannel.h"
#include "fileio/wipingallocator.h"
#include "sealing/boundedrelay.h"

namespace Talvek {

// What a channel does to a message in one direction.
struct MessageProtection {
    bool sign = false;
    bool encrypt = false;
    // A key the direction needs for a use the channel has is present (or
    // announced by its flag) but not whole: sealing or opening then fails
    // rather than leave that use out.
    bool damaged = false;
    bool any() const { return sign || encrypt; }
};

// Sealing signs with useSign and both signing keys set, and encrypts with
// useCrypt and both encryption keys set.
MessageProtection sealProtection(const SecureChannel& channel);
// Opening verifies with useSign and a set signPublicKey, and decrypts with
// useCrypt and a set cryptPrivateKey.
MessageProtection openProtection(const SecureChannel& channel);
// True when sealing with the channel signs or encrypts and opening checks a
// signature or decrypts. Without it a "sealed" message is plain base64 of the
// data and opening one proves nothing, so a caller that relies on protection
// must ask first.
bool channelProtects(const SecureChannel& channel);

// False for no data (length 0), a damaged key (see MessageProtection) or when
// a key operation fails; sealed and signatureHex are then empty. signatureHex
// (optional) gets the signature as two upper-case hexadecimal digits per byte
// when the channel signs.
bool sealMessage(const SecureChannel& channel, const uint8_t* data, size_t length,
                 std::string& sealed, std::string* signatureHex = nullptr);

// False for a damaged key, for a text that is not exactly the base64 form of
// a sealed message (bad characters, a cut or altered tail), too short for its parts, whose
// message key or digest does not decrypt and match, or whose signature does
// not verify; data and signatureHex are then empty.
bool openMessage(const SecureChannel& channel, const char* text, size_t length,
                 std::vector<uint8_t>& data, std::string* signatureHex = nullptr);

// A sealed message made a slice of text at a time, for data too large to be
// held twice: the text is the one sealMessage writes for the parts one after
// the other. The parts must stay alive and unchanged until the last slice.
class MessageSealer {
public:
    MessageSealer() = default;
    MessageSealer(const MessageSealer&) = delete;
    MessageSealer& operator=(const MessageSealer&) = delete;

    // Digest, signature and message key over all the parts; false where
    // sealMessage fails.
    bool start(const SecureChannel& channel, const std::vector<std::span<const uint8_t>>& parts,
               std::string* signatureHex = nullptr);
    // As start(), for parts the sealer may overwrite: when the channel
    // encrypts, the parts are encrypted where they are, in the same pass as
    // the digest (for a large message on a second thread, a little behind
    // it), and hold the encrypted bytes from then on.
    bool startInPlace(const SecureChannel& channel, const std::vector<std::span<uint8_t>>& parts,
                      std::string* signatureHex = nullptr);
    // Characters of the whole text.
    size_t textLength() const { return base64Length(lead_.size() + dataLength_); }
    // Writes the next characters of the text, at most capacity (at least 4),
    // and returns their count: 0 once all were written or when the cipher
    // failed (failed() then says so).
    size_t next(char* out, size_t capacity);
    // The whole text at once: exactly textLength() characters to out; false
    // when the cipher failed.
    bool writeText(char* out);
    bool failed() const { return failed_; }

private:
    bool begin(const SecureChannel& channel, const std::vector<std::span<const uint8_t>>& parts,
               bool inPlace, std::string* signatureHex);
    // The digest of the parts; with a cipher, also encrypts them in place.
    bool digestParts(uint8_t* digest, Rc4Stream* inPlace);
    bool body(uint8_t* out, size_t length);

    std::vector<uint8_t> lead_;  // signature, encrypted digest and key: no secret
    std::vector<std::span<const uint8_t>> parts_;
    std::vector<std::span<uint8_t>> writable_;  // the same parts, when sealed in place
    size_t part_ = 0, partAt_ = 0;
    size_t dataLength_ = 0, done_ = 0;  // raw bytes of the whole, and given out
    bool encrypt_ = false, failed_ = false;
    bool encrypted_ = false;  // the parts hold the encrypted data already
    Rc4Stream rc4_;
    SecretBytes scratch_;  // raw bytes of a slice: the data as they are without encryption
};

// A sealed text opened as it arrives, with the checks of openMessage.
class MessageOpener {
public:
    // Takes opened data as they come instead of the opener keeping them;
    // false stops the opening. Nothing they say is proven before finish()
    // returns true. For a long text (expectedText of a MiB or more) the
    // digest and the sink run on a thread of the opener's own while the next
    // pieces are decoded and decrypted: one call at a time, in order, all of
    // them over once finish() returns or the opener fails or goes.
    using Sink = std::function<bool(const uint8_t* data, size_t length)>;

    MessageOpener();
    ~MessageOpener();
    MessageOpener(const MessageOpener&) = delete;
    MessageOpener& operator=(const MessageOpener&) = delete;

    // expectedText, when known, is how long the text will be: room for the
    // data is then taken once. With a sink the data go there, and finish()
    // hands back none.
    bool start(const SecureChannel& channel, size_t expectedText = 0, Sink sink = {});
    // Takes the next characters; false once the text can no longer open
    // (later pieces are then ignored).
    bool feed(const char* text, size_t length);
    // True, with the data, when everything fed opens.
    bool finish(SecretBytes& data, std::string* signatureHex = nullptr);

private:
    bool take(uint8_t* raw, size_t length);
    bool fail();
    // Hands opened data at raw[from, from + length) on to the relay.
    bool relay(size_t from, size_t length);
    // Lets the relay finish what it was handed (or drop it) and stops it;
    // false when it failed.
    bool stopRelay(bool drop);

    const SecureChannel* channel_ = nullptr;
    MessageProtection protection_;
    size_t signSize_ = 0, cryptSize_ = 0;
    std::vector<uint8_t> lead_;
    size_t leadSize_ = 0;
    Base64ExactReader text_;
    SecretBytes raw_;   // one decoded piece
    SecretBytes data_;  // what was opened so far, without a sink
    Sink sink_;
    size_t opened_ = 0;
    struct Slice;
    std::unique_ptr<BoundedRelay<Slice>> relay_;
    Rc4Stream rc4_;
    Md5Stream md5_;
    uint8_t key_[16] = {};
    bool failed_ = true;
};

// Checks the leading signature of a sealed text against the given plain data;
// needs useSign and a set signPublicKey.
bool verifyMessageSignature(const SecureChannel& channel, const char* text, size_t textLength,
                            const uint8_t* data, size_t dataLength,
                            std::string* signatureHex = nullptr);

}  // namespace Talvek

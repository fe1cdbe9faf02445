#pragma once
// The channel codec that protects what travels between the administrator and
// the crypto server, with the call contract of the Talvek library.
//
// Both calls name the administrator's key base file and the channel in it:
// the local key name (the administrator's) and the remote one (the
// server's), as Windows-1251 bytes. SingleEncode wraps the input in an
// envelope (protocol.h: magic, direction, time, nonce) and seals it with that
// channel; SingleDecode opens what the crypto server sealed with the mirrored
// channel and hands back the input of an envelope that comes from the crypto
// server and is fresh. The channel must both sign and encrypt with complete
// keys: a signature alone lets anyone read the data, encryption alone lets
// anyone who holds a public part forge them.
//
// Results: non-zero on success, with the first output (owned by the caller,
// released and wiped through SingleFree) and an empty second output; 0 on
// failure, with both outputs left as they were (the caller zeroes them).
//
// SingleEncode and SingleDecode exist for that fixed contract only, a thin
// shim over the C++ codec below, which the program itself calls.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sealing/envelope.h"
#include "sealing/message.h"
#include "fileio/wipingallocator.h"

namespace Talvek {

class KeyBase;
class SecureChannel;

// Interface only: unused by the program.
int32_t SingleEncode(const char* adminKeyBase, const char* adminKeyName, const char* serverKeyName,
                     const uint8_t* input, uint32_t inputLength, uint8_t** output,
                     uint32_t* outputLength, uint8_t** secondOutput, uint32_t* secondLength);
int32_t SingleDecode(const char* adminKeyBase, const char* adminKeyName, const char* serverKeyName,
                     const uint8_t* input, uint32_t inputLength, uint8_t** output,
                     uint32_t* outputLength, uint8_t** secondOutput, uint32_t* secondLength);
// Wipes and releases an output of the two calls and sets the variable to
// null; a null address or a null pointer is fine.
void SingleFree(uint8_t** pointer);

// The two ends of the channel; each seals with its own direction and takes
// only blocks of the other's.
enum class CodecSide : uint8_t {
    Administrator = Envelope::FromAdministrator,
    CryptoServer = Envelope::FromCryptoServer,
};

// What an envelope says about itself: the request it belongs to (code,
// nonce, interface) and when it was sealed.
struct EnvelopeStamp {
    uint8_t code = 0;
    int64_t time = 0;
    std::array<uint8_t, Envelope::NonceSize> nonce{};
    std::array<uint8_t, Envelope::InterfaceSize> interfaceField{};  // zero-padded

    // A new request's stamp: a fresh random nonce, the interface name cut to
    // what its field holds with a zero; nothing when no random bytes could
    // be had.
    static std::optional<EnvelopeStamp> fresh(uint8_t code, const std::string& interfaceName);
    // The interface name up to its first zero.
    std::string interfaceName() const;
    // The same request: code, nonce and interface field.
    bool sameRequest(const EnvelopeStamp& other) const;
};

// True when the channel signs and encrypts with complete keys both ways: the
// only channels the codec works with.
bool codecAccepts(const SecureChannel& channel);

// The channel localName -> remoteName of the key base file, read into base
// under a shared lock; null when there is none the codec accepts.
const SecureChannel* codecChannel(KeyBase& base, const std::string& keyBase,
                                  const std::string& localName, const std::string& remoteName);

// Seals input from `side` with the channel; `now` (seconds since 1970, UTC)
// stands in for the clock where given. Without a stamp the envelope names no
// request (code 0, no interface) and gets a fresh nonce; with one it carries
// the stamp's code, nonce and interface and the time of sealing.
bool sealEnvelope(const SecureChannel& channel, CodecSide side, const uint8_t* input, size_t length,
                  std::string& sealed, std::optional<int64_t> now = std::nullopt);
bool sealEnvelope(const SecureChannel& channel, CodecSide side, const EnvelopeStamp& stamp,
                  const uint8_t* input, size_t length, std::string& sealed,
                  std::optional<int64_t> now = std::nullopt);
// Opens a block sealed by the other side: the right magic, the other side's
// direction and a time within Envelope::MaxClockSkewSeconds of now. The data
// and the stamp are set only on success.
bool openEnvelope(const SecureChannel& channel, CodecSide side, const char* sealed, size_t length,
                  std::vector<uint8_t>& data, EnvelopeStamp* stamp = nullptr,
                  std::optional<int64_t> now = std::nullopt);

// An envelope sealed a slice of text at a time (MessageSealer), so that large
// input can be sent while the rest is still being sealed. The input is the
// parts one after the other; they stay alive and unchanged until the last
// slice. The object stays where it is while in use.
class EnvelopeSealer {
public:
    bool start(const SecureChannel& channel, CodecSide side,
               const std::vector<std::span<const uint8_t>>& input,
               std::optional<int64_t> now = std::nullopt);
    // As start(), for input the sealer may encrypt where it is
    // (MessageSealer::startInPlace): it holds the encrypted bytes afterwards.
    bool startInPlace(const SecureChannel& channel, CodecSide side,
                      const std::vector<std::span<uint8_t>>& input,
                      std::optional<int64_t> now = std::nullopt);
    // The same under a given request's stamp (sealEnvelope).
    bool start(const SecureChannel& channel, CodecSide side, const EnvelopeStamp& stamp,
               const std::vector<std::span<const uint8_t>>& input,
               std::optional<int64_t> now = std::nullopt);
    bool startInPlace(const SecureChannel& channel, CodecSide side, const EnvelopeStamp& stamp,
                      const std::vector<std::span<uint8_t>>& input,
                      std::optional<int64_t> now = std::nullopt);
    size_t textLength() const { return sealer_.textLength(); }
    size_t next(char* out, size_t capacity) { return sealer_.next(out, capacity); }
    bool writeText(char* out) { return sealer_.writeText(out); }
    bool failed() const { return sealer_.failed(); }

private:
    bool stamp(const SecureChannel& channel, CodecSide side, const EnvelopeStamp* request,
               std::optional<int64_t> now);

    uint8_t header_[Envelope::HeaderSize] = {};
    MessageSealer sealer_;
};

// An envelope opened as its text arrives (MessageOpener), with the checks of
// openEnvelope at the end. The object stays where it is while in use.
class EnvelopeOpener {
public:
    // With a sink, the envelope's input goes there as it is opened (unproven
    // until finish() says otherwise) and data() stays empty.
    bool start(const SecureChannel& channel, CodecSide side, size_t expectedText = 0,
               MessageOpener::Sink sink = {});
    // False once the text can no longer open; later pieces are ignored.
    bool feed(const char* text, size_t length) { return opener_.feed(text, length); }
    // True when everything fed opens as a fresh envelope of the other side;
    // its input is then data() .. data() + size(), wiped with the object.
    bool finish(EnvelopeStamp* stamp = nullptr, std::optional<int64_t> now = std::nullopt);
    const uint8_t* data() const { return input_.data(); }
    size_t size() const { return input_.size(); }

private:
    bool take(const uint8_t* data, size_t length);

    CodecSide side_ = CodecSide::Administrator;
    MessageOpener::Sink sink_;
    uint8_t header_[Envelope::HeaderSize] = {};
    size_t headerAt_ = 0;
    SecretBytes input_;
    // Last, so that it is gone (and whatever it runs with it) before what
    // it feeds.
    MessageOpener opener_;
};

// The codec over a byte block, for either side, with the channel
// localName -> remoteName of keyBase: the sealed text, and the opened data in
// wiped memory. SingleEncode and SingleDecode are a shim over these.
bool codecEncode(const std::string& keyBase, const std::string& localName,
                 const std::string& remoteName, CodecSide side, std::span<const uint8_t> input,
                 std::vector<uint8_t>& sealed, std::optional<int64_t> now = std::nullopt);
bool codecDecode(const std::string& keyBase, const std::string& localName,
                 const std::string& remoteName, CodecSide side, std::span<const uint8_t> input,
                 SecretBytes& data, EnvelopeStamp* stamp = nullptr,
                 std::optional<int64_t> now = std::nullopt);

// The administrator's side of the codec.
bool singleEncode(const std::string& keyBase, const std::string& localName,
                  const std::string& remoteName, std::span<const uint8_t> input,
                  std::vector<uint8_t>& sealed);
bool singleDecode(const std::string& keyBase, const std::string& localName,
                  const std::string& remoteName, std::span<const uint8_t> input,
                  SecretBytes& data);

// The decoded interface list: zero-terminated Windows-1251 names one after
// the other. Empty names are skipped; a last name without its zero counts.
std::vector<std::string> splitInterfaceList(const uint8_t* data, size_t length);
std::vector<uint8_t> joinInterfaceList(const std::vector<std::string>& names);

}  // namespace Talvek

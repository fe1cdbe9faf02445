#include "sealing/talvekcodec.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "fileio/wipingallocator.h"
#include "keystore/keybase.h"
#include "sealing/message.h"
#include "keystore/rsakeyrecord.h"
#include "keystore/secureexception.h"

namespace Talvek {

namespace {

// Outputs carry their length just ahead of the bytes, so that SingleFree can
// wipe them without being told how long they are.
constexpr size_t kOutputHead = 16;
static_assert(kOutputHead >= sizeof(size_t) && kOutputHead % alignof(std::max_align_t) == 0);

// A new output of length bytes, or null.
uint8_t* newOutput(size_t length) {
    if (length > UINT32_MAX) return nullptr;
    auto* block = static_cast<uint8_t*>(std::malloc(kOutputHead + length));
    if (!block) return nullptr;
    std::memcpy(block, &length, sizeof length);
    return block + kOutputHead;
}

int64_t clockNow(std::optional<int64_t> now) {
    return now ? *now : wallClock();
}

uint8_t otherSide(CodecSide side) {
    return side == CodecSide::Administrator ? Envelope::FromCryptoServer
                                            : Envelope::FromAdministrator;
}

bool privateComplete(const std::unique_ptr<RsaKeyRecord>& key) {
    return key && key->isSet() && key->hasCompletePrivate();
}

bool publicPlausible(const std::unique_ptr<RsaKeyRecord>& key) {
    return key && key->isSet() && key->hasPlausiblePublic();
}

const SecureChannel* loadChannel(KeyBase& base, const char* keyBase, const char* localName,
                                 const char* remoteName) {
    // An exchange only reads the administrator's base: two exchanges
    // (talvekkey and the wizard, say) may read it at once.
    if (!base.loadBaseShared(keyBase)) return nullptr;
    const SecureChannel* channel = base.findChannel(localName, remoteName);
    return channel && codecAccepts(*channel) ? channel : nullptr;
}

// The C calls' outputs: a copy in a block that SingleFree wipes.
int32_t handOut(std::span<const uint8_t> bytes, uint8_t** output, uint32_t* outputLength,
                uint8_t** secondOutput, uint32_t* secondLength) {
    uint8_t* out = newOutput(bytes.size());
    if (!out) return 0;
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    *output = out;
    *outputLength = static_cast<uint32_t>(bytes.size());
    // The second output carries nothing.
    if (secondOutput) *secondOutput = nullptr;
    if (secondLength) *secondLength = 0;
    return 1;
}

}  // namespace

const SecureChannel* codecChannel(KeyBase& base, const std::string& keyBase,
                                  const std::string& localName, const std::string& remoteName) {
    try {
        return loadChannel(base, keyBase.c_str(), localName.c_str(), remoteName.c_str());
    } catch (const SecureException&) {
        return nullptr;
    }
}

bool codecAccepts(const SecureChannel& channel) {
    return channel.useSign && channel.useCrypt && privateComplete(channel.signPrivateKey) &&
           privateComplete(channel.cryptPrivateKey) && publicPlausible(channel.signPublicKey) &&
           publicPlausible(channel.cryptPublicKey);
}

std::optional<EnvelopeStamp> EnvelopeStamp::fresh(uint8_t code, const std::string& interfaceName) {
    EnvelopeStamp stamp;
    stamp.code = code;
    std::memcpy(stamp.interfaceField.data(), interfaceName.data(),
                std::min(interfaceName.size(), Envelope::InterfaceSize - 1));
    if (RAND_bytes(stamp.nonce.data(), Envelope::NonceSize) != 1) return std::nullopt;
    return stamp;
}

std::string EnvelopeStamp::interfaceName() const {
    const auto zero = std::find(interfaceField.begin(), interfaceField.end(), uint8_t{0});
    return std::string(interfaceField.begin(), zero);
}

bool EnvelopeStamp::sameRequest(const EnvelopeStamp& other) const {
    return code == other.code && nonce == other.nonce && interfaceField == other.interfaceField;
}

bool EnvelopeSealer::stamp(const SecureChannel& channel, CodecSide side,
                           const EnvelopeStamp* request, std::optional<int64_t> now) {
    if (!codecAccepts(channel)) return false;
    std::optional<EnvelopeStamp> own;
    if (!request) {
        own = EnvelopeStamp::fresh(0, {});
        if (!own) return false;
        request = &*own;
    }
    std::memcpy(header_, Envelope::Magic, sizeof Envelope::Magic);
    header_[Envelope::DirectionAt] = static_cast<uint8_t>(side);
    header_[Envelope::CodeAt] = request->code;
    putTime(header_ + Envelope::TimeAt, clockNow(now));
    std::memcpy(header_ + Envelope::NonceAt, request->nonce.data(), Envelope::NonceSize);
    std::memcpy(header_ + Envelope::InterfaceAt, request->interfaceField.data(),
                Envelope::InterfaceSize);
    return true;
}

bool EnvelopeSealer::start(const SecureChannel& channel, CodecSide side,
                           const std::vector<std::span<const uint8_t>>& input,
                           std::optional<int64_t> now) {
    if (!stamp(channel, side, nullptr, now)) return false;
    std::vector<std::span<const uint8_t>> parts{std::span<const uint8_t>(header_)};
    parts.insert(parts.end(), input.begin(), input.end());
    return sealer_.start(channel, parts);
}

bool EnvelopeSealer::startInPlace(const SecureChannel& channel, CodecSide side,
                                  const std::vector<std::span<uint8_t>>& input,
                                  std::optional<int64_t> now) {
    if (!stamp(channel, side, nullptr, now)) return false;
    std::vector<std::span<uint8_t>> parts{std::span<uint8_t>(header_)};
    parts.insert(parts.end(), input.begin(), input.end());
    return sealer_.startInPlace(channel, parts);
}

bool EnvelopeSealer::start(const SecureChannel& channel, CodecSide side,
                           const EnvelopeStamp& request,
                           const std::vector<std::span<const uint8_t>>& input,
                           std::optional<int64_t> now) {
    if (!stamp(channel, side, &request, now)) return false;
    std::vector<std::span<const uint8_t>> parts{std::span<const uint8_t>(header_)};
    parts.insert(parts.end(), input.begin(), input.end());
    return sealer_.start(channel, parts);
}

bool EnvelopeSealer::startInPlace(const SecureChannel& channel, CodecSide side,
                                  const EnvelopeStamp& request,
                                  const std::vector<std::span<uint8_t>>& input,
                                  std::optional<int64_t> now) {
    if (!stamp(channel, side, &request, now)) return false;
    std::vector<std::span<uint8_t>> parts{std::span<uint8_t>(header_)};
    parts.insert(parts.end(), input.begin(), input.end());
    return sealer_.startInPlace(channel, parts);
}

bool EnvelopeOpener::start(const SecureChannel& channel, CodecSide side, size_t expectedText,
                           MessageOpener::Sink sink) {
    side_ = side;
    sink_ = std::move(sink);
    headerAt_ = 0;
    OPENSSL_cleanse(header_, sizeof header_);
    input_.clear();
    if (!sink_ && expectedText / 4 * 3 > Envelope::HeaderSize)
        input_.reserve(expectedText / 4 * 3 - Envelope::HeaderSize);
    return codecAccepts(channel) &&
           opener_.start(channel, expectedText,
                         [this](const uint8_t* data, size_t length) { return take(data, length); });
}

bool EnvelopeOpener::take(const uint8_t* data, size_t length) {
    const size_t n = std::min(length, Envelope::HeaderSize - headerAt_);
    std::memcpy(header_ + headerAt_, data, n);
    headerAt_ += n;
    data += n;
    length -= n;
    if (length == 0) return true;
    if (sink_) return sink_(data, length);
    input_.insert(input_.end(), data, data + length);
    return true;
}

bool EnvelopeOpener::finish(EnvelopeStamp* stamp, std::optional<int64_t> now) {
    SecretBytes none;
    const uint8_t* head = header_;
    if (!opener_.finish(none) || headerAt_ < Envelope::HeaderSize ||
        std::memcmp(head, Envelope::Magic, sizeof Envelope::Magic) != 0 ||
        head[Envelope::DirectionAt] != otherSide(side_)) {
        input_.clear();
        return false;
    }
    const int64_t time = timeFrom(head + Envelope::TimeAt);
    const int64_t clock = clockNow(now);
    // Written so that no extreme time can overflow the difference.
    if (time < clock - Envelope::MaxClockSkewSeconds ||
        time > clock + Envelope::MaxClockSkewSeconds) {
        input_.clear();
        return false;
    }
    if (stamp) {
        stamp->code = head[Envelope::CodeAt];
        stamp->time = time;
        std::memcpy(stamp->nonce.data(), head + Envelope::NonceAt, Envelope::NonceSize);
        std::memcpy(stamp->interfaceField.data(), head + Envelope::InterfaceAt,
                    Envelope::InterfaceSize);
    }
    return true;
}

bool sealEnvelope(const SecureChannel& channel, CodecSide side, const uint8_t* input, size_t length,
                  std::string& sealed, std::optional<int64_t> now) {
    const auto stamp = EnvelopeStamp::fresh(0, {});
    return stamp && sealEnvelope(channel, side, *stamp, input, length, sealed, now);
}

bool sealEnvelope(const SecureChannel& channel, CodecSide side, const EnvelopeStamp& stamp,
                  const uint8_t* input, size_t length, std::string& sealed,
                  std::optional<int64_t> now) {
    sealed.clear();
    if (!input && length > 0) return false;
    EnvelopeSealer sealer;
    if (!sealer.start(channel, side, stamp, {std::span<const uint8_t>(input, length)}, now))
        return false;
    std::string text(sealer.textLength(), '\0');
    if (!sealer.writeText(text.data())) return false;
    sealed = std::move(text);
    return true;
}

bool openEnvelope(const SecureChannel& channel, CodecSide side, const char* sealed, size_t length,
                  std::vector<uint8_t>& data, EnvelopeStamp* stamp, std::optional<int64_t> now) {
    data.clear();
    EnvelopeOpener opener;
    if (!sealed || !opener.start(channel, side, length) || !opener.feed(sealed, length) ||
        !opener.finish(stamp, now))
        return false;
    data.assign(opener.data(), opener.data() + opener.size());
    return true;
}

int32_t SingleEncode(const char* adminKeyBase, const char* adminKeyName, const char* serverKeyName,
                     const uint8_t* input, uint32_t inputLength, uint8_t** output,
                     uint32_t* outputLength, uint8_t** secondOutput, uint32_t* secondLength) {
    if (!adminKeyBase || !adminKeyName || !serverKeyName || !output || !outputLength ||
        (!input && inputLength > 0))
        return 0;
    std::vector<uint8_t> sealed;
    if (!singleEncode(adminKeyBase, adminKeyName, serverKeyName, {input, inputLength}, sealed))
        return 0;
    return handOut(sealed, output, outputLength, secondOutput, secondLength);
}

int32_t SingleDecode(const char* adminKeyBase, const char* adminKeyName, const char* serverKeyName,
                     const uint8_t* input, uint32_t inputLength, uint8_t** output,
                     uint32_t* outputLength, uint8_t** secondOutput, uint32_t* secondLength) {
    if (!adminKeyBase || !adminKeyName || !serverKeyName || !output || !outputLength ||
        (!input && inputLength > 0))
        return 0;
    SecretBytes data;
    if (!singleDecode(adminKeyBase, adminKeyName, serverKeyName, {input, inputLength}, data))
        return 0;
    return handOut(data, output, outputLength, secondOutput, secondLength);
}

void SingleFree(uint8_t** pointer) {
    if (!pointer || !*pointer) return;
    uint8_t* block = *pointer - kOutputHead;
    size_t length = 0;
    std::memcpy(&length, block, sizeof length);
    OPENSSL_cleanse(block, kOutputHead + length);
    std::free(block);
    *pointer = nullptr;
}

bool codecEncode(const std::string& keyBase, const std::string& localName,
                 const std::string& remoteName, CodecSide side, std::span<const uint8_t> input,
                 std::vector<uint8_t>& sealed, std::optional<int64_t> now) {
    sealed.clear();
    try {
        KeyBase base;
        const SecureChannel* channel = codecChannel(base, keyBase, localName, remoteName);
        EnvelopeSealer sealer;
        if (!channel || !sealer.start(*channel, side, {input}, now)) return false;
        std::vector<uint8_t> text(sealer.textLength());
        if (!sealer.writeText(reinterpret_cast<char*>(text.data()))) return false;
        sealed = std::move(text);
        return true;
    } catch (const SecureException&) {
        return false;
    }
}

bool codecDecode(const std::string& keyBase, const std::string& localName,
                 const std::string& remoteName, CodecSide side, std::span<const uint8_t> input,
                 SecretBytes& data, EnvelopeStamp* stamp, std::optional<int64_t> now) {
    data.clear();
    try {
        KeyBase base;
        const SecureChannel* channel = codecChannel(base, keyBase, localName, remoteName);
        EnvelopeOpener opener;
        if (!channel || !opener.start(*channel, side, input.size()) ||
            !opener.feed(reinterpret_cast<const char*>(input.data()), input.size()) ||
            !opener.finish(stamp, now))
            return false;
        data.assign(opener.data(), opener.data() + opener.size());
        return true;
    } catch (const SecureException&) {
        return false;
    }
}

bool singleEncode(const std::string& keyBase, const std::string& localName,
                  const std::string& remoteName, std::span<const uint8_t> input,
                  std::vector<uint8_t>& sealed) {
    return codecEncode(keyBase, localName, remoteName, CodecSide::Administrator, input, sealed);
}

bool singleDecode(const std::string& keyBase, const std::string& localName,
                  const std::string& remoteName, std::span<const uint8_t> input,
                  SecretBytes& data) {
    return codecDecode(keyBase, localName, remoteName, CodecSide::Administrator, input, data);
}

std::vector<std::string> splitInterfaceList(const uint8_t* data, size_t length) {
    std::vector<std::string> names;
    size_t start = 0;
    while (data && start < length) {
        const void* zero = std::memchr(data + start, 0, length - start);
        const size_t end =
            zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) : length;
        if (end > start)
            names.emplace_back(reinterpret_cast<const char*>(data + start), end - start);
        start = end + 1;
    }
    return names;
}

std::vector<uint8_t> joinInterfaceList(const std::vector<std::string>& names) {
    std::vector<uint8_t> out;
    for (const std::string& name : names) {
        out.insert(out.end(), name.begin(), name.end());
        out.push_back(0);
    }
    return out;
}

}  // namespace Talvek

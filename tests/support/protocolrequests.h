#pragma once
// Requests of the crypto-server protocol made by hand, as a client or an
// attacker would put them on the wire: for tests that send what the client
// never would (stale, replayed, forged, cut short).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "keystore/keybase.h"
#include "sealing/talvekcodec.h"

namespace TestSupport {

// code | version | name field | payload length | payload.
std::vector<uint8_t> requestBytes(uint8_t code, const std::string& adminName,
                                  const std::vector<uint8_t>& payload, uint32_t version = 3);
// The same head alone, announcing length bytes of payload.
std::vector<uint8_t> requestHead(uint8_t code, const std::string& adminName, uint32_t length,
                                 uint32_t version = 3);

// Seals requests with the channel localName -> remoteName of a key base.
class RequestSealer {
public:
    RequestSealer(const std::string& keyBase, const std::string& localName,
                  const std::string& remoteName, Talvek::CodecSide side =
                                                     Talvek::CodecSide::Administrator);

    bool ready() const { return channel_ != nullptr; }
    const Talvek::SecureChannel& channel() const { return *channel_; }
    // One sealed block under the stamp, sealed at `now` where given.
    std::vector<uint8_t> block(const Talvek::EnvelopeStamp& stamp,
                               const std::vector<uint8_t>& data = {},
                               std::optional<int64_t> now = std::nullopt) const;
    // A whole upload payload: head length, head (the base's length), body.
    std::vector<uint8_t> uploadPayload(const Talvek::EnvelopeStamp& stamp,
                                       const std::vector<uint8_t>& base,
                                       std::optional<int64_t> now = std::nullopt) const;

private:
    Talvek::KeyBase keys_;
    const Talvek::SecureChannel* channel_ = nullptr;
    Talvek::CodecSide side_;
};

// What the server's side (a RequestSealer of side CryptoServer) opens in the
// request's first block: the list or fetch block, or the upload's head.
struct OpenedBlock {
    bool opened = false;
    Talvek::EnvelopeStamp stamp;
    std::vector<uint8_t> data;
};
OpenedBlock openFirstBlock(const RequestSealer& serverSide, const std::vector<uint8_t>& request);
// What the sealed block of a reply of status 0 (the bytes after its length
// word) opens to on the administrator's side (a RequestSealer of side
// Administrator).
OpenedBlock openReplyBlock(const RequestSealer& adminSide, const std::vector<uint8_t>& sealed);
// A reply of status 0 whose data are a block sealed by serverSide for stamp.
std::vector<uint8_t> sealedReply(const RequestSealer& serverSide,
                                 const Talvek::EnvelopeStamp& stamp,
                                 const std::vector<uint8_t>& data);

// The stamp of a new request (a fresh nonce).
Talvek::EnvelopeStamp freshStamp(uint8_t code, const std::string& interfaceName = {});

}  // namespace TestSupport

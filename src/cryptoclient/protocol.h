#pragma once
// The numbers of the crypto-server protocol, named once for both ends: the
// administrator's client and talvek-cryptoserver.
//
// Protocol 3 (docs/protocol.md). A request on the wire (numbers big-endian):
// the 1-byte code, the version word 3, the administrator's key name in a
// 256-byte zero-padded field, the payload length and the payload: for a list
// or fetch one sealed block whose envelope holds the code, a fresh nonce and
// the interface; for an upload the head block's length (4 bytes), the head
// block (its envelope's data: the base's length, 8 bytes) and the body block
// (same code, nonce and interface; the base as data). A reply: a word the
// client ignores, the status (0 success), and only for status 0 the data
// length and one sealed block whose envelope echoes the request's code, nonce
// and interface.

#include <array>
#include <cstddef>
#include <cstdint>

#include "sealing/envelope.h"

namespace Talvek {

namespace ServerCode {
constexpr uint8_t ListInterfaces = 100;
constexpr uint8_t FetchKeyBase = 101;
constexpr uint8_t UploadKeyBase = 102;
}  // namespace ServerCode

// The statuses a crypto server answers with. The client words the ones it
// knows; any other is shown by its number.
namespace ServerStatus {
constexpr uint32_t Success = 0;
constexpr uint32_t NoRights = 100;       // no channel for that administrator
constexpr uint32_t Failure = 101;        // the server could not do its part
constexpr uint32_t OpenFailed = 102;     // the interface's base cannot be read
constexpr uint32_t NoInterface = 103;    // no such interface, or no base for it
constexpr uint32_t BadRequest = 104;     // an unknown code, or a payload it does not allow
constexpr uint32_t RewriteFailed = 105;  // the interface's base cannot be replaced
constexpr uint32_t EncodeFailed = 106;   // the reply cannot be sealed
constexpr uint32_t DecodeFailed = 107;   // the upload does not open, or is stale or replayed
}  // namespace ServerStatus

// The word that follows the request code: the protocol's version.
constexpr uint32_t kRequestWord = 3;

// Field sizes (with room for the terminating zero).
constexpr size_t kNameFieldSize = 256;                          // the admin key name field
constexpr size_t kInterfaceNameSize = Envelope::InterfaceSize;  // an interface name
// code, word, name field, payload length
constexpr size_t kRequestHeadSize = 1 + 4 + kNameFieldSize + 4;

// A list or fetch block, and an upload's head block: a sealed envelope with
// little or no data, so small whatever the key sizes.
constexpr uint32_t kBlockMax = 16384;
// The length word ahead of an upload's head block, and the head's data.
constexpr size_t kHeadLengthSize = 4;
constexpr size_t kHeadDataSize = 8;
// The largest key base an upload carries, and the largest upload payload
// (the base sealed, its head and their lengths fit well within it).
constexpr uint64_t kBaseMax = 256u << 20;
constexpr uint32_t kUploadPayloadMax = 360u << 20;

// What a reply's data may hold, by the request it answers. A sealed base of
// 256 MiB grows by a third in base64; an interface list is a few names; the
// stored name of an upload is one file name.
constexpr uint32_t kListReplyMax = 1u << 20;
constexpr uint32_t kFetchReplyMax = 360u << 20;
constexpr uint32_t kUploadReplyMax = 4096;

// A transfer may take one more second for each of these many bytes, so that
// a large base still travels over a slow line while a server that drips
// bytes cannot hold the client much longer than the base limit.
constexpr uint32_t kSlowestTransferBytesPerSecond = 1u << 20;
constexpr int32_t kSocketSliceMs = 200;

// A 32-bit number as the protocol carries it (big-endian), and back.
inline std::array<uint8_t, 4> wordBytes(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}
inline uint32_t wordFrom(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

}  // namespace Talvek

#pragma once
// The envelope inside every sealed block of the channel codec: who sent it,
// when, and a nonce, so that a block is accepted once, fresh and in the
// direction it was meant for.

#include <cstddef>
#include <cstdint>

namespace Talvek {

// The envelope inside every sealed block (numbers big-endian):
//   "TVK2", direction (1 byte), sender's UTC time in seconds (8 bytes,
//   signed), random nonce (16 bytes), then the data.
namespace Envelope {
constexpr char Magic[4] = {'T', 'V', 'K', '2'};
constexpr size_t NonceSize = 16;
constexpr size_t HeaderSize = 4 + 1 + 8 + NonceSize;
constexpr uint8_t FromAdministrator = 1;
constexpr uint8_t FromCryptoServer = 2;
// A block whose time is further than this from the receiver's clock is stale.
constexpr int64_t MaxClockSkewSeconds = 300;
// How long the crypto server remembers a nonce it has taken.
constexpr int64_t ReplayWindowSeconds = 600;
}  // namespace Envelope

}  // namespace Talvek

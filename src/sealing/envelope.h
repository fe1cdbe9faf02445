#pragma once
// The envelope inside every sealed block of the channel codec: who sent it,
// for which request, when, and a nonce, so that a block is accepted once,
// fresh, in the direction it was meant for, and only as the answer to the
// request it names.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace Talvek {

// The envelope inside every sealed block (numbers big-endian):
//   "TVK3", direction (1 byte), request code (1 byte), sender's UTC time in
//   seconds (8 bytes, signed), nonce (16 bytes), interface name (64 bytes,
//   zero-padded), then the data.
namespace Envelope {
constexpr char Magic[4] = {'T', 'V', 'K', '3'};
constexpr size_t DirectionAt = 4;
constexpr size_t CodeAt = 5;
constexpr size_t TimeAt = 6;
constexpr size_t NonceAt = 14;
constexpr size_t NonceSize = 16;
constexpr size_t InterfaceAt = 30;
constexpr size_t InterfaceSize = 64;
constexpr size_t HeaderSize = InterfaceAt + InterfaceSize;
constexpr uint8_t FromAdministrator = 1;
constexpr uint8_t FromCryptoServer = 2;
// A block whose time is further than this from the receiver's clock is stale.
constexpr int64_t MaxClockSkewSeconds = 300;
// How long the crypto server remembers a nonce it has taken.
constexpr int64_t ReplayWindowSeconds = 600;
}  // namespace Envelope

// The envelope's time field: seconds since 1970, UTC, signed, big-endian.
inline int64_t wallClock() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

inline void putTime(uint8_t* out, int64_t time) {
    const auto value = static_cast<uint64_t>(time);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (56 - 8 * i));
}

inline int64_t timeFrom(const uint8_t* in) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | in[i];
    return static_cast<int64_t>(value);
}

}  // namespace Talvek

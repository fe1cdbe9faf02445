#pragma once
// A server's key base of many channels, made in seconds: a handful of real
// keys is generated once and every channel record repeats their numbers
// under its own pair of names. The records, the node and the base header are
// written by the key store's own writers, so the file reads back as any
// saved base does.

#include <cstddef>
#include <string>

namespace TestSupport {

// The remote name (UTF-8) of channel i of such a base: "user" and six digits,
// every third one Cyrillic ("Пользователь" and six digits), so a search meets
// both alphabets. The local name is "server" throughout.
std::string largeBaseRemoteName(size_t i);

// Writes a base of count complete channels (both uses, own pairs and the
// peer's public keys, of the given size) to path; throws on failure.
// 200,000 channels of 512-bit keys make about 185 MB; of 1024-bit keys they
// would pass the 256 MiB that any key file may have.
void writeLargeServerBase(const std::string& path, size_t count, int bits = 512);

}  // namespace TestSupport

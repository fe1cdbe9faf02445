#pragma once
// Opens bytes as a sealed message the way a receiving side does, with the
// channels of a fixed key base, and checks what an opened message promises.
// Shared by the fuzzing target and the test that replays its corpus.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "keystore/keybase.h"

namespace TestSupport {

// The channel pairs the sealed-message corpus was made with: for each kind
// of protection a sending side "<kind>-A" -> "<kind>-B" and the receiving side
// "<kind>-B" -> "<kind>-A", all in one base.
enum class MessageKind : uint8_t { Crypt = 0, Sign = 1, Both = 2, Plain = 3 };
inline constexpr int kMessageKinds = 4;
std::string senderName(MessageKind kind);
std::string receiverName(MessageKind kind);

// Writes such a base with fresh keys (made once, kept with the corpus).
bool makeMessageKeyBase(const std::string& path);
// The base kept beside the fuzzing corpora, and its content loaded once per
// process.
std::string messageKeyBasePath();
const Talvek::KeyBase& messageKeyBase();

// A fuzzing input: the first byte picks the receiving channel (modulo the
// kinds), the rest is the text. True when the message opened. A broken
// promise (an opened signed message whose signature does not verify on its
// own) aborts, so the fuzzer reports it.
bool exerciseSealedMessage(const uint8_t* data, size_t size);

}  // namespace TestSupport

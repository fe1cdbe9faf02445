#pragma once
// Plays a crypto server that answers every request with given bytes, and
// runs the client's operations against it, so the client's reading of a
// reply (words, status, length, sealed data, the stored name) meets any
// bytes a server could send. Shared by the fuzzing target and the test that
// replays its corpus.

#include <cstddef>
#include <cstdint>
#include <string>

namespace TestSupport {

// What the client asks for; the first byte of an input picks it (modulo 4).
enum class ReplyRequest : uint8_t { Exchange = 0, List = 1, Fetch = 2, Upload = 3 };

struct ReplyOutcome {
    bool ok = false;
    std::string message;
};

// Runs the request picked by data[0] against a loopback server that sends
// the remaining bytes as its reply and closes. The client's channel is
// "both-A" -> "both-B" of the sealed-message key base (messageexercise.h).
// A broken promise (success without data where data are due, a fetched file
// that differs from what was decoded) aborts.
ReplyOutcome exerciseServerReply(const uint8_t* data, size_t size);

}  // namespace TestSupport

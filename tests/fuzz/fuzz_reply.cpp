// Feeds arbitrary bytes to the crypto-server client as a server's reply: the
// first byte picks the request (a bare exchange, the interface list, a fetch,
// an upload), the rest is what the server sends back before it closes.

#include <cstddef>
#include <cstdint>

#include "support/replyexercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TestSupport::exerciseServerReply(data, size);
    return 0;
}

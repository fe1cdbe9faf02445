// Feeds arbitrary bytes to the opening of sealed messages: the first byte
// picks the receiving channel (encrypting, signing, both, neither), the rest
// is the text as it would arrive.

#include <cstddef>
#include <cstdint>

#include "support/messageexercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TestSupport::exerciseSealedMessage(data, size);
    return 0;
}

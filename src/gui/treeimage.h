#pragma once
// The images of the key tree, by their index in the image strip.

namespace Talvek {

enum TreeImage : int {
    ImageNone = 0,
    ImagePublicPartFile = 1,   // open book
    ImageKeyBase = 2,          // open book with a key
    ImageChannel = 3,          // two persons
    ImageLocalName = 4,        // blue person
    ImageRemoteName = 5,       // red person
    ImageCryptComplete = 6,    // yellow key
    ImageSignComplete = 7,     // sheet with a yellow key
    ImageCryptIncomplete = 8,  // magenta key
    ImageSignIncomplete = 9,   // sheet with a magenta key
    ImageCryptUnused = 10,     // grey key
    ImageSignUnused = 11,      // grey sheet
    ImageCount = 12,
};

}  // namespace Talvek

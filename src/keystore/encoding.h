#pragma once
// The elements every record of a key file is made of: a 5-byte magic,
// little-endian u32, one-byte flags, length-prefixed texts and big numbers.

#include <cstdint>
#include <string>

#include "fileio/binaryfile.h"
#include "keystore/ossl.h"

namespace Talvek {

bool writeMagic(BinaryFile& file, const char* magic);
// Without a version it compares all five bytes; with one, the first four, and
// stores the fifth byte minus '0'. At the end of the file the bytes read as
// zero and do not match.
bool readMagic(BinaryFile& file, const char* magic, int8_t* version = nullptr);

bool writeU8(BinaryFile& file, uint8_t value);
bool writeU32(BinaryFile& file, uint32_t value);
// Missing bytes at the end of the file read as zero.
uint8_t readU8(BinaryFile& file);
uint32_t readU32(BinaryFile& file);

bool writeString(BinaryFile& file, const std::string& text);
// False (target unchanged) for a length of 0, and for a length larger than
// what is left in the file, which is then consumed. A zero byte ends the text.
bool readString(BinaryFile& file, std::string& text);

// The number zero (or none) writes nothing at all and returns false.
bool writeBigNum(BinaryFile& file, const BIGNUM* number);
// False (slot unchanged) for a length of 0 or one beyond the file's end.
bool readBigNum(BinaryFile& file, BignumPtr& slot);
// Passes over a number as readBigNum would read it, converting nothing.
void skipBigNum(BinaryFile& file);

// Upper-case hexadecimal of whole bytes and one line feed. False for none.
bool writeHexLine(BinaryFile& file, const BIGNUM* number);
// The same text without the line feed ("0" for zero).
std::string bigNumHex(const BIGNUM* number);

}  // namespace Talvek

#pragma once
// The elements every record of a key file is made of: a 5-byte magic,
// little-endian u32, one-byte flags, length-prefixed texts and big numbers.

#include <cstdint>
#include <string>

#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "keystore/ossl.h"

namespace Talvek {

bool writeMagic(FileWriter& file, const char* magic);
// Without a version it compares all five bytes; with one, the first four, and
// stores the fifth byte minus '0'. At the end of the file the bytes read as
// zero and do not match.
bool readMagic(FileReader& file, const char* magic, int8_t* version = nullptr);

bool writeU8(FileWriter& file, uint8_t value);
bool writeU32(FileWriter& file, uint32_t value);
// The format reads the bytes missing at the end of the file as zeros: a
// field cut short keeps the bytes it has, a field past the end is 0.
uint8_t readU8OrZero(FileReader& file);
uint32_t readU32OrZero(FileReader& file);

bool writeString(FileWriter& file, const std::string& text);
// False (target unchanged) for a length of 0, and for a length larger than
// what is left in the file, which is then consumed. A zero byte ends the text.
bool readString(FileReader& file, std::string& text);

// The number zero (or none) writes nothing at all and returns false.
bool writeBigNum(FileWriter& file, const BIGNUM* number);
// False (slot unchanged) for a length of 0 or one beyond the file's end.
bool readBigNum(FileReader& file, BignumPtr& slot);
// Passes over a number as readBigNum would read it, converting nothing.
void skipBigNum(FileReader& file);

// Upper-case hexadecimal of whole bytes and one line feed. False for none.
bool writeHexLine(FileWriter& file, const BIGNUM* number);
// The same text without the line feed ("0" for zero).
std::string bigNumHex(const BIGNUM* number);

}  // namespace Talvek

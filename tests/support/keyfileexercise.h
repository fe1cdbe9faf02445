#pragma once
// Reads a file the way the program reads a key file of unknown kind (a key
// base, failing that a single channel record) and then uses everything that
// was read: listing, numbers, cryptography, writing back. Shared by the
// fuzzing target and the test that replays its corpus.

#include <string>

namespace TestSupport {

enum class KeyFileKind { Neither, Base, Channel };

// scratchDir receives files written back; empty to skip writing. A broken
// invariant (a written base that reads back different, a signature that does
// not verify) aborts, so the fuzzer reports it.
KeyFileKind exerciseKeyFile(const std::string& path, const std::string& scratchDir);

}  // namespace TestSupport

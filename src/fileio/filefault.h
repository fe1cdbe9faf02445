#pragma once
// Why the last key file could not be used. The key store's operations answer
// only true or false; a front end that wants to say why (talvekkey's
// "FILE: cause" line) reads the fault that the failing step recorded, instead
// of probing the file again afterwards, when it may have changed.
//
// One record per thread: the latest failure replaces the one before.

#include <cstdint>
#include <string>

#include "fileio/fileresult.h"

namespace Talvek {

void noteFileFailure(const std::string& path, FileFault fault, int error = 0);
void noteUnreadBytes(const std::string& path, uint64_t count);
// The latest failure on this thread (fault None when there is none).
const FileFailure& lastFileFailure();
void forgetFileFailure();
// A failure noted in the record as well as returned, for the callers that
// still read the record.
FileResult noted(FileResult result);

}  // namespace Talvek

#pragma once
// Why a key file could not be used, worded once for every front end from the
// cause the failing step returned: talvekkey prints "talvekkey: FILE: cause"
// in English, the windows give the file and the cause in Russian under their
// message. The same faults, the same causes.

#include <string>

#include "fileio/fileresult.h"

namespace Talvek {

// In English, starting in lower case ("locked by another program for more
// than 10 s"); empty when no file is to blame.
std::string fileCause(const FileFailure& failure);
// The same cause in Russian, starting in lower case.
std::string fileCauseRussian(const FileFailure& failure);
// The informative text of a window's message about the failure:
// "Файл: PATH\nПричина: cause."; empty when no file is to blame.
std::string fileFailureDetail(const FileFailure& failure);

}  // namespace Talvek

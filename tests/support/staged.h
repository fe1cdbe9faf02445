#pragma once
// What most transaction tests need of a stage: the staged file, or null.

#include <string>

#include "fileio/transaction.h"

namespace TestSupport {

inline Talvek::FileWriter* staged(Talvek::Transaction& transaction, const std::string& path,
                                  Talvek::FileWriter::Permissions permissions) {
    Talvek::FileWriter* file = nullptr;
    return transaction.stage(path, permissions, file) ? file : nullptr;
}

}  // namespace TestSupport

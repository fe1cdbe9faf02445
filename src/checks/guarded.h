#pragma once
// Runs one check or key operation so that a key that cannot even be built
// (an RSA object that could not be made) or memory running out makes the step
// fail like a false result would: the caller then shows that step's own
// message instead of ending the program.

#include <new>
#include <type_traits>

#include "fileio/fileresult.h"
#include "keystore/secureexception.h"

namespace Talvek {

// step answers a bool or a FileResult; guarded answers the same kind.
template <typename Step>
auto guarded(Step step) -> decltype(step()) {
    using Result = decltype(step());
    static_assert(std::is_same_v<Result, bool> || std::is_same_v<Result, FileResult>);
    auto failed = [] {
        if constexpr (std::is_same_v<Result, bool>)
            return false;
        else
            return FileResult::failed();
    };
    try {
        return step();
    } catch (const SecureException&) {
        return failed();
    } catch (const std::bad_alloc&) {
        return failed();
    }
}

}  // namespace Talvek

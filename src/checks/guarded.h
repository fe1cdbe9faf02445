#pragma once
// Runs one check or key operation so that a key that cannot even be built
// (an RSA object that could not be made) or memory running out makes the step
// fail like a false result would: the caller then shows that step's own
// message instead of ending the program.

#include <new>

#include "keystore/secureexception.h"

namespace Talvek {

template <typename Step>
bool guarded(Step step) {
    try {
        return step();
    } catch (const SecureException&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace Talvek

#pragma once
// A check's refusal as the tests compare it: nothing when it passes, else
// its message.

#include <optional>
#include <string>

#include "checks/keychecks.h"

namespace TestSupport {

inline std::optional<std::string> refusalOf(const Talvek::CheckResult& check) {
    if (check.advances()) return std::nullopt;
    return check.message;
}

}  // namespace TestSupport

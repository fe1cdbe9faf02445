#include "support/filesizelimit.h"

#include <csignal>

namespace TestSupport {

FileSizeLimit::FileSizeLimit(rlim_t bytes, Signal signal) {
    if (getrlimit(RLIMIT_FSIZE, &old_) != 0) return;
    oldHandler_ = std::signal(SIGXFSZ, signal == Signal::Ignored ? SIG_IGN : SIG_DFL);
    rlimit lower = old_;
    lower.rlim_cur = bytes;
    active_ = setrlimit(RLIMIT_FSIZE, &lower) == 0;
}

FileSizeLimit::~FileSizeLimit() {
    if (active_) setrlimit(RLIMIT_FSIZE, &old_);
    if (oldHandler_ != SIG_ERR && oldHandler_ != nullptr) std::signal(SIGXFSZ, oldHandler_);
}

}  // namespace TestSupport

#pragma once
// One updating line on stderr for work that takes a while: shown only when
// stderr is a terminal and the work has lasted a second, rewritten in place,
// and cleared when the work ends, so that nothing of it stays in a log.

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "cli/command.h"

namespace Talvek::Cli {

class ProgressLine {
public:
    explicit ProgressLine(Io& io);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // What is being done now, e.g. "generating keys 3/100". Any thread.
    void set(std::string text);

private:
    void show(const std::string& text);

    Io& io_;
    std::mutex mutex_;
    std::string text_;
    bool shown_ = false;
    std::jthread ticker_;  // last: it stops before the members it reads go
};

}  // namespace Talvek::Cli

#include "cli/progress.h"

#include <condition_variable>
#include <ostream>

namespace Talvek::Cli {

namespace {
constexpr auto kQuietFor = std::chrono::seconds(1);
constexpr auto kTick = std::chrono::milliseconds(200);
}  // namespace

ProgressLine::ProgressLine(Io& io) : io_(io) {
    if (!io_.errIsTerminal) return;
    ticker_ = std::jthread([this](std::stop_token stop) {
        std::mutex sleepMutex;
        std::condition_variable_any sleeper;
        const auto start = std::chrono::steady_clock::now();
        std::string last;
        while (!stop.stop_requested()) {
            {
                std::unique_lock lock(sleepMutex);
                sleeper.wait_for(lock, stop, kTick, [] { return false; });
            }
            if (stop.stop_requested()) break;
            if (std::chrono::steady_clock::now() - start < kQuietFor) continue;
            std::string text;
            {
                const std::lock_guard lock(mutex_);
                text = text_;
            }
            if (text != last) {
                show(text);
                last = text;
            }
        }
    });
}

ProgressLine::~ProgressLine() {
    if (!ticker_.joinable()) return;
    ticker_.request_stop();
    ticker_.join();
    if (shown_) io_.err << "\r\033[K" << std::flush;
}

void ProgressLine::set(std::string text) {
    const std::lock_guard lock(mutex_);
    text_ = std::move(text);
}

void ProgressLine::show(const std::string& text) {
    io_.err << "\rtalvekkey: " << text << "\033[K" << std::flush;
    shown_ = true;
}

}  // namespace Talvek::Cli

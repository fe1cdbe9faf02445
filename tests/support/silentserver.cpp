#include "support/silentserver.h"

#include <chrono>
#include <memory>
#include <vector>

namespace TestSupport {

SilentServer::SilentServer() {
    if (listener_.create() == 0 && listener_.bind("127.0.0.1", 0) == 0 && listener_.listen(8) == 0)
        port_ = listener_.localPort();
    thread_ = std::thread([this] { serve(); });
}

SilentServer::~SilentServer() {
    stop_ = 1;
    thread_.join();
}

void SilentServer::serve() {
    std::vector<std::unique_ptr<Talvek::TcpSocket>> lines;
    char sink[4096];
    while (stop_.load() == 0) {
        if (port_ != 0 && listener_.waitReadable(20) == 1) {
            if (auto line = listener_.accept()) {
                lines.push_back(std::move(line));
                ++accepted_;
            }
        }
        // Reading keeps a large request from filling the buffers, so the
        // client waits for the reply, not for the send.
        for (auto& line : lines) {
            int got = 0;
            while (line->isOpen() && (got = line->receive(sink, sizeof sink, 0)) > 0) {
            }
            if (got < 0) line->close();
        }
        if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace TestSupport

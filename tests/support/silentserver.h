#pragma once
// A peer on loopback that takes every connection and never answers: it reads
// and drops what arrives and keeps the line open until it is destroyed, as a
// crypto server that hangs does.

#include <atomic>
#include <cstdint>
#include <thread>

#include "cryptoclient/tcpsocket.h"

namespace TestSupport {

class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    uint16_t port() const { return port_; }
    // Connections taken so far.
    int accepted() const { return accepted_.load(); }

private:
    void serve();

    Talvek::TcpSocket listener_;
    uint16_t port_ = 0;
    std::atomic<int32_t> stop_{0};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

}  // namespace TestSupport

#pragma once
// A crypto server that plays a script, for the client's tests: in front of a
// real server on loopback it relays every request and reply as they are,
// keeping the last request's bytes and counting the requests that arrived
// whole; told to misbehave, it answers the following requests itself.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "cryptoclient/tcpsocket.h"

namespace TestSupport {

enum class Misbehaviour {
    None,          // relay to the real server
    CloseAtOnce,   // accept and close without reading
    Raw,           // read the request, send the raw bytes, close
    RawThenStall,  // read the request, send the raw bytes, keep the line open
    Drip,          // read the request, send the raw bytes one every dripMs
    Answer,        // read the request, send what the answer function makes of it, close
};

class ScriptedServer {
public:
    // upstreamPort: the real server on 127.0.0.1.
    explicit ScriptedServer(uint16_t upstreamPort);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t port() const { return port_; }
    void misbehave(Misbehaviour mode, std::vector<uint8_t> raw = {}, int32_t dripMs = 100);
    // Misbehaviour::Answer with this function of the whole request.
    using Answer = std::function<std::vector<uint8_t>(const std::vector<uint8_t>& request)>;
    void answerWith(Answer answer);
    // The bytes of the last request read whole, and how many were.
    std::vector<uint8_t> lastRequest() const;
    int requestCount() const;

private:
    void serve(std::stop_token stop);
    void handle(Talvek::TcpSocket& client, const std::atomic<int32_t>& stop);

    uint16_t upstreamPort_;
    Talvek::TcpSocket listener_;
    uint16_t port_ = 0;
    mutable std::mutex mutex_;
    Misbehaviour mode_ = Misbehaviour::None;
    std::vector<uint8_t> raw_;
    int32_t dripMs_ = 100;
    Answer answer_;
    std::vector<uint8_t> lastRequest_;
    int requestCount_ = 0;
    std::jthread thread_;
};

}  // namespace TestSupport

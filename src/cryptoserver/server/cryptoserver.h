#pragma once
// A small crypto server: the other end of the administrator's channel.
//
// It holds a key base with the server side of the administrator's channel
// (local name: the server's key name, remote name: the administrator's) and a
// folder of interface key bases, one file NAME.key_base per interface. It
// answers one request per connection, one connection at a time:
//   100  the interface names, zero-terminated, sealed for the administrator;
//   101  the named interface's key base, sealed;
//   102  opens the sealed upload (260-byte name field + base) and replaces
//        the interface's key base atomically; answers the stored file name.
// Statuses: 100 no channel for that administrator, 102 the base cannot be
// read, 103 no such interface, 105 the base cannot be rewritten, 106 sealing
// failed, 107 the upload does not open.
//
// For tests it can be told to misbehave on the following connections.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cryptoserver/talvekcodec.h"
#include "cryptoserver/tcpsocket.h"

namespace Talvek {

struct CryptoServerConfig {
    std::string serverBase;       // key base with the server side of the channel
    std::string serverName;       // Windows-1251: the channel's local name there
    std::string adminName;        // Windows-1251; empty: any administrator with a channel
    std::string folder;           // the interface key bases
    int32_t idleLimitMs = 10000;  // a client silent this long is dropped
    uint32_t maxPayload = (256u << 20) * 2;  // bigger requests are dropped unread
};

enum class Misbehaviour {
    None,
    CloseAtOnce,   // accept and close without reading
    Raw,           // read the request, send the raw bytes, close
    RawThenStall,  // read the request, send the raw bytes, keep the line open
    Drip,          // read the request, send the raw bytes one every dripMs
};

// One decoded answer: status and, for status 0, the data.
struct ServerAnswer {
    uint32_t status = 0;
    std::vector<uint8_t> data;
};

// The nonces of the uploads taken lately: an upload whose nonce was seen in
// the replay window is a replay and is refused.
class ReplayGuard {
public:
    // True, and the nonce remembered, when it was not seen before.
    bool admit(const EnvelopeStamp& stamp, std::optional<int64_t> now = std::nullopt);

private:
    std::mutex mutex_;
    std::map<std::array<uint8_t, Envelope::NonceSize>, int64_t> seen_;  // nonce -> forget at
};

class CryptoServer {
public:
    explicit CryptoServer(CryptoServerConfig config);
    ~CryptoServer();
    CryptoServer(const CryptoServer&) = delete;
    CryptoServer& operator=(const CryptoServer&) = delete;

    // Listens (port 0: any free port) and serves on a thread of its own.
    bool start(const std::string& host = "127.0.0.1", uint16_t port = 0);
    void stop();
    // Listens and serves on the calling thread until stopFlag is set.
    bool listenOn(const std::string& host, uint16_t port);
    void serve(const std::atomic<int32_t>& stopFlag);
    uint16_t port() const { return port_; }

    void misbehave(Misbehaviour mode, std::vector<uint8_t> raw = {}, int32_t dripMs = 100);
    // The bytes of the last request read whole, and how many were read.
    std::vector<uint8_t> lastRequest() const;
    int requestCount() const;

    // The answer to one request, without any socket.
    ServerAnswer answer(uint8_t code, const std::string& adminName,
                        const std::vector<uint8_t>& payload) const;

private:
    void handle(TcpSocket& client, const std::atomic<int32_t>& stopFlag);
    bool readRequest(TcpSocket& client, const std::atomic<int32_t>& stopFlag, uint8_t& code,
                     std::string& adminName, std::vector<uint8_t>& payload,
                     std::vector<uint8_t>& raw);
    bool adminAllowed(const std::string& adminName) const;
    bool seal(const std::string& adminName, const std::vector<uint8_t>& plain,
              std::vector<uint8_t>& sealed) const;
    // The interface's file, or empty when the name cannot name one.
    std::string interfacePath(const std::string& name) const;

    CryptoServerConfig config_;
    mutable ReplayGuard replays_;
    TcpSocket listener_;
    uint16_t port_ = 0;
    std::atomic<int32_t> stopFlag_{0};
    std::thread thread_;

    mutable std::mutex mutex_;
    Misbehaviour mode_ = Misbehaviour::None;
    std::vector<uint8_t> raw_;
    int32_t dripMs_ = 100;
    std::vector<uint8_t> lastRequest_;
    int requestCount_ = 0;
};

}  // namespace Talvek

#pragma once
// The crypto server: the other end of the administrators' channels.
//
// It holds a key base with the server side of each administrator's channel
// (local name: the server's key name, remote name: the administrator's) and a
// folder of interface key bases (interfacestore.h). Every connection carries
// one request (protocol.h):
//   100  the interface names, zero-terminated, sealed for the administrator;
//   101  the named interface's key base, sealed;
//   102  opens the sealed upload (260-byte name field + base) as it
//        arrives into a new file beside the interface's base; once the whole
//        upload proved genuine and fresh, keeps the current base in the
//        history and puts the new one in its place atomically; answers the
//        stored file name.
//
// Many connections are served at once, each on a thread of its own, up to
// maxConnections; more are closed at once. A connection ends when it moves no
// byte for idleLimitMs, or when it outlasts connectionTimeMs plus a second
// per MiB of its payload. A request's code and administrator are checked, and
// its payload length against what the code allows, before the payload is
// read; the payload is then taken as it arrives, never allocated from the
// length the header claims. One line per request goes to the log.

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "cryptoclient/tcpsocket.h"
#include "cryptoserver/interfacestore.h"
#include "cryptoserver/replayguard.h"
#include "cryptoserver/serverkeys.h"
#include "cryptoserver/serverlog.h"

namespace Talvek {

struct CryptoServerConfig {
    std::string serverBase;            // key base with the server side of the channels
    std::string serverName;            // Windows-1251: the channels' local name there
    std::string adminName;             // Windows-1251; empty: any administrator with a channel
    std::string folder;                // the interface key bases
    int32_t idleLimitMs = 10000;       // a client silent this long is dropped
    int32_t connectionTimeMs = 60000;  // and none stays longer (plus its payload's time)
    int maxConnections = 64;           // served at once; more are closed at once
    int historyDepth = 5;              // previous versions kept per interface
    std::ostream* log = nullptr;       // one line per request; null: none
};

class CryptoServer {
public:
    explicit CryptoServer(CryptoServerConfig config);
    ~CryptoServer();
    CryptoServer(const CryptoServer&) = delete;
    CryptoServer& operator=(const CryptoServer&) = delete;

    // Listens (port 0: any free port); false when it cannot.
    bool listenOn(const std::string& host, uint16_t port);
    // Serves what it listens on from a thread of its own until stop().
    void run();
    // Both of the above.
    bool start(const std::string& host = "127.0.0.1", uint16_t port = 0);
    // Stops taking connections, ends those being served within a wait slice
    // and returns once every one has ended.
    void stop();
    uint16_t port() const { return port_; }
    // Connections being served now.
    int activeConnections() const { return active_.load(); }

private:
    struct Worker {
        std::jthread thread;
        std::atomic<bool> done{false};
    };
    struct Outgoing;
    struct Incoming;

    void serve(std::stop_token stop);
    void handle(TcpSocket& client, const std::atomic<int32_t>& stopFlag);
    // The status a request gets from its head alone, before its payload is
    // read (0: read on).
    uint32_t precheck(uint8_t code, const std::string& adminName, uint32_t payloadLength);
    bool readPayload(TcpSocket& client, const std::atomic<int32_t>& stopFlag, uint32_t length,
                     std::vector<uint8_t>& payload);
    // Reads an upload's payload, opening it as it arrives, and answers it;
    // false when the payload did not arrive whole.
    bool receiveUpload(TcpSocket& client, const std::atomic<int32_t>& stopFlag,
                       const std::string& adminName, uint32_t length, Outgoing& out);
    // The answer to a list or fetch request; a fetched base is sealed only
    // as it is sent.
    void prepare(uint8_t code, const std::string& adminName, const std::vector<uint8_t>& payload,
                 Outgoing& out);
    // Readies an upload of length characters to be opened with the channel
    // as it is fed.
    void startUpload(Incoming& in, const SecureChannel& channel, size_t length);
    // Commits an upload fed whole, when it opened.
    void takeUpload(Incoming& in, Outgoing& out);
    bool sendReply(TcpSocket& client, uint8_t code, Outgoing& out) const;
    const SecureChannel* adminChannel(std::shared_ptr<const KeyBase>& hold,
                                      const std::string& adminName);

    CryptoServerConfig config_;
    TcpSocket listener_;
    uint16_t port_ = 0;
    std::list<Worker> workers_;
    std::atomic<int> active_{0};
    ServerKeys keys_;
    InterfaceStore store_;
    ReplayGuard replays_;
    RequestLog log_;
    // Last: stopped and joined before the rest goes.
    std::jthread acceptor_;
};

}  // namespace Talvek

#pragma once
// The crypto server: the other end of the administrators' channels.
//
// It holds a key base with the server side of each administrator's channel
// (local name: the server's key name, remote name: the administrator's) and a
// folder of interface key bases (interfacestore.h). Every connection carries
// one request of protocol 3 (protocol.h, docs/protocol.md): a list (100), a
// fetch (101) or an upload (102), each sealed with the administrator's
// channel, fresh and never seen before.
//
// Nothing before proof. The server reads the header (headerTimeMs), refuses
// an administrator it does not serve (100) and a version, code or length it
// does not allow (104), reads the request's sealed block or the upload's
// head (headerTimeMs again) and opens it: magic, direction, the header's
// code, time and a nonce not seen in the replay window, else 107. The nonce
// is recorded in FOLDER/.nonces, synced, before anything else happens. Only
// then does a request cost more than a small fixed amount: the interface is
// looked up (103), its base read (102), an upload's body read (within
// connectionTimeMs plus a second per MiB) into a new file and opened (its
// code, interface, nonce and length must match the head, else 107), and the
// reply sealed for the request it answers (106). Every sealed block is
// opened with implicit rejection (message.h), so a bad key costs what a bad
// digest does.
//
// Connections: each on a thread of its own, at most maxConnections. Until a
// connection has proved itself it counts against its source address
// (maxUnprovenPerSource) and against all (maxUnproven); from earlyDropFrom
// unproven connections on a new one is dropped at random, with a probability
// rising linearly to 1 at maxUnproven. A thread or descriptor that cannot be
// had refuses that one connection. A refused request gets its status, then
// the server ends its sending side and reads away what the client still
// sends (bounded) before it closes. A reply may take connectionTimeMs plus a
// second per MiB. Bases held for replies are bounded in all (replyMemory);
// further fetches wait.
//
// stop(): no new connection; unproven ones end at once, proven requests may
// finish within stopGraceMs. At start the temporaries a killed server left
// are removed and the nonces it recorded are read back. One line per request
// goes to the log.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cryptoclient/protocol.h"
#include "cryptoclient/tcpsocket.h"
#include "fileio/uniquefd.h"
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
    int32_t headerTimeMs = 10000;      // for the header, and again for the proof
    int32_t connectionTimeMs = 60000;  // an upload's body or a reply, plus a second per MiB
    int maxConnections = 64;           // served at once; more are closed at once
    int maxUnprovenPerSource = 4;      // connections not yet proved, per source address
    int maxUnproven = 32;              // and from all sources
    int earlyDropFrom = 16;            // unproven connections from which new ones may be dropped
    int32_t stopGraceMs = 30000;       // proven requests may finish this long after stop()
    uint64_t replyMemory = 1ull << 30;  // bases held for replies at once
    uint64_t maxBase = kBaseMax;       // largest base an upload may bring (at most kBaseMax)
    int historyDepth = 5;              // previous versions kept per interface
    std::ostream* log = nullptr;       // one line per request; null: none
};

class CryptoServer {
public:
    explicit CryptoServer(CryptoServerConfig config);
    ~CryptoServer();
    CryptoServer(const CryptoServer&) = delete;
    CryptoServer& operator=(const CryptoServer&) = delete;

    // Reads the recorded nonces and removes the temporaries a killed server
    // left, then listens (port 0: any free port); false when any fails.
    bool listenOn(const std::string& host, uint16_t port);
    // Why the recorded nonces stopped listenOn (None when they did not),
    // and their file.
    const ReplayGuard::LoadResult& noncesProblem() const { return noncesProblem_; }
    const std::string& noncesFile() const { return replays_.file(); }
    // Serves what it listens on from a thread of its own until stop().
    void run();
    // Both of the above.
    bool start(const std::string& host = "127.0.0.1", uint16_t port = 0);
    // Stops taking connections, ends the unproven ones within a wait slice,
    // lets proven requests finish for up to stopGraceMs, ends the rest and
    // returns once every connection has ended.
    void stop();
    uint16_t port() const { return port_; }
    // Connections being served now.
    int activeConnections() const { return active_.load(); }

private:
    struct Worker {
        std::jthread thread;
        std::string peer;
        std::atomic<bool> proven{false};
        std::atomic<bool> done{false};
    };
    struct Connection;
    struct Reply;

    void serve(std::stop_token stop);
    // Whether a new connection from peer may be served; counts it as
    // unproven when so.
    bool admit(const std::string& peer);
    // The connection proved itself, or ended without: it no longer counts.
    void release(Worker& worker);
    void handle(Connection& c);
    // The status of a header (0: read on), with the channel when it passes.
    uint32_t checkHeader(Connection& c);
    // Reads and opens the request's block or the upload's head; 0 or the
    // refusal.
    uint32_t prove(Connection& c);
    void list(Connection& c, Reply& reply);
    void fetch(Connection& c, Reply& reply);
    void upload(Connection& c, Reply& reply);
    bool send(Connection& c, Reply& reply, const std::function<void()>& beforeLastByte);
    // The refusal's status, then the end of sending and a bounded drain.
    void refuse(Connection& c, uint32_t status);
    bool takeReplyMemory(uint64_t bytes, const std::atomic<int32_t>& stop);
    void giveReplyMemory(uint64_t bytes);

    CryptoServerConfig config_;
    TcpSocket listener_;
    uint16_t port_ = 0;
    UniqueFd spareFd_;  // given up to refuse a connection when descriptors run out
    std::list<Worker> workers_;
    std::atomic<int> active_{0};
    std::mutex admissionMutex_;
    std::map<std::string, int> unprovenBySource_;
    int unproven_ = 0;
    std::mt19937_64 random_;
    std::mutex memoryMutex_;
    std::condition_variable memoryFreed_;
    uint64_t memoryHeld_ = 0;
    ServerKeys keys_;
    InterfaceStore store_;
    ReplayGuard replays_;
    ReplayGuard::LoadResult noncesProblem_;
    RequestLog log_;
    // Last: stopped and joined before the rest goes.
    std::jthread acceptor_;
};

}  // namespace Talvek

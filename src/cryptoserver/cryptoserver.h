#pragma once
// The crypto server: the other end of the administrators' channels.
//
// It holds a key base with the server side of each administrator's channel
// (local name: the server's key name, remote name: the administrator's) and a
// folder of interface key bases, one file NAME.key_base per interface. Every
// connection carries one request (protocol.h):
//   100  the interface names, zero-terminated, sealed for the administrator;
//   101  the named interface's key base, sealed;
//   102  opens the sealed upload (260-byte name field + base) as it
//        arrives into a new file beside the interface's base; once the whole
//        upload proved genuine and fresh, keeps the current base in
//        FOLDER/.history and puts the new one in its place atomically;
//        answers the stored file name.
//
// Many connections are served at once, each on a thread of its own, up to
// maxConnections; more are closed at once. A connection ends when it moves no
// byte for idleLimitMs, or when it outlasts connectionTimeMs plus a second
// per MiB of its payload. A request's code and administrator are checked, and
// its payload length against what the code allows, before the payload is
// read; the payload is then taken as it arrives, never allocated from the
// length the header claims. One line per request goes to the log.
//
// For tests it can be told to misbehave on the following connections.

#include <array>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cryptoclient/protocol.h"
#include "sealing/talvekcodec.h"
#include "cryptoclient/tcpsocket.h"

namespace Talvek {

class BinaryFile;
class KeyBase;

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
    bool keepLastRequest = false;      // for tests: lastRequest() holds the last request
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
    std::string interfaceName;  // Windows-1251, for the log; empty when none
};

// The nonces of the uploads taken lately: an upload whose nonce was seen in
// the replay window is a replay and is refused.
class ReplayGuard {
public:
    // True, and the nonce remembered, when it was not seen before.
    bool admit(const EnvelopeStamp& stamp, std::optional<int64_t> now = std::nullopt);

private:
    std::mutex mutex_;
    std::multimap<int64_t, std::array<uint8_t, Envelope::NonceSize>> expiry_;  // forget at
    std::map<std::array<uint8_t, Envelope::NonceSize>, int64_t> seen_;
};

// The name of a version kept in the history folder: NAME.key_base.N, N = 1
// the latest.
std::string historyFileName(const std::string& baseFile, int version);

class CryptoServer {
public:
    explicit CryptoServer(CryptoServerConfig config);
    ~CryptoServer();
    CryptoServer(const CryptoServer&) = delete;
    CryptoServer& operator=(const CryptoServer&) = delete;

    // Listens (port 0: any free port) and serves on a thread of its own.
    bool start(const std::string& host = "127.0.0.1", uint16_t port = 0);
    void stop();
    // Listens and serves on the calling thread until stopFlag is set; returns
    // once every connection has ended.
    bool listenOn(const std::string& host, uint16_t port);
    void serve(const std::atomic<int32_t>& stopFlag);
    uint16_t port() const { return port_; }
    // Connections being served now.
    int activeConnections() const { return active_.load(); }

    void misbehave(Misbehaviour mode, std::vector<uint8_t> raw = {}, int32_t dripMs = 100);
    // The bytes of the last request read whole (kept only when the
    // configuration says so), and how many were read.
    std::vector<uint8_t> lastRequest() const;
    int requestCount() const;

    // The answer to one request, without any socket.
    ServerAnswer answer(uint8_t code, const std::string& adminName,
                        const std::vector<uint8_t>& payload) const;
    // The status a request gets from its head alone, before its payload is
    // read (0: read on).
    uint32_t precheck(uint8_t code, const std::string& adminName, uint32_t payloadLength) const;

private:
    struct Worker;
    struct Outgoing;
    struct Incoming;
    void handle(TcpSocket& client, const std::atomic<int32_t>& stopFlag);
    bool readPayload(TcpSocket& client, const std::atomic<int32_t>& stopFlag, uint32_t length,
                     std::vector<uint8_t>& payload);
    // Reads an upload's payload, opening it as it arrives, and answers it;
    // false when the payload did not arrive whole.
    bool receiveUpload(TcpSocket& client, const std::atomic<int32_t>& stopFlag,
                       const std::string& adminName, uint32_t length, ServerAnswer& answer,
                       std::vector<uint8_t>* record);
    // The answer to a list or fetch request; a fetched base is sealed only
    // as it is sent.
    void prepare(uint8_t code, const std::string& adminName, const std::vector<uint8_t>& payload,
                 Outgoing& out) const;
    // Readies an upload of length characters to be opened with the channel
    // as it is fed.
    void startUpload(Incoming& in, const SecureChannel& channel, size_t length) const;
    // Commits an upload fed whole, when it opened.
    ServerAnswer takeUpload(Incoming& in) const;
    bool sendReply(TcpSocket& client, uint8_t code, Outgoing& out) const;
    void reapWorkers(bool all);
    void logRequest(const std::string& peer, const std::string& adminName, uint8_t code,
                    const std::string& interfaceName, const std::string& status) const;
    // The server's side of the administrator's channel, from the server base
    // as it is now; null when it has none the codec accepts.
    std::shared_ptr<const KeyBase> serverKeys() const;
    const SecureChannel* adminChannel(const KeyBase& keys, const std::string& adminName) const;
    // The interface's file, or empty when the name cannot name one.
    std::string interfacePath(const std::string& name) const;
    bool commitUpload(BinaryFile& file, const std::string& path) const;
    void keepHistory(const std::string& path) const;
    // Where keepHistory sets the version it drops aside, and its removal.
    std::string droppedVersion(const std::string& path) const;
    void removeDroppedVersion(const std::string& interfaceName) const;

    CryptoServerConfig config_;
    TcpSocket listener_;
    uint16_t port_ = 0;
    std::atomic<int32_t> stopFlag_{0};
    std::thread thread_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::atomic<int> active_{0};

    mutable ReplayGuard replays_;
    mutable std::mutex keysMutex_;
    mutable std::shared_ptr<const KeyBase> keys_;
    mutable std::string keysStamp_;  // what the server base's file looked like when read
    mutable std::mutex commitMutex_;
    mutable std::mutex logMutex_;

    mutable std::mutex mutex_;
    Misbehaviour mode_ = Misbehaviour::None;
    std::vector<uint8_t> raw_;
    int32_t dripMs_ = 100;
    std::vector<uint8_t> lastRequest_;
    int requestCount_ = 0;
};

}  // namespace Talvek

#pragma once
// The client side of the crypto-server protocol: one TCP connection per
// request, one request, one reply.
//
// The wire format and the statuses are in protocol.h.
//
// Every operation returns an ExchangeResult that says what happened and
// why; the words the user sees are the checks' (checks/servermessages.h).
// A socket code travels in the result alone: the client never writes the
// thread's current socket error, which stays the socket layer's.
// Nothing throws; everything a request owns is released on every path.
//
// The data travel sealed with the administrator's channel (talvekcodec.h):
// a caller checks that adminKeyBase holds the channel adminKeyName ->
// serverKeyName and that the codec accepts it (checkAdminChannel in
// connectchecks.h) before the first request, and reads the names out of
// interfaceList with splitInterfaceList. The operations block, each within
// the time limits of its parameters; one whose stop flag is raised ends
// within a wait slice.

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cryptoclient/protocol.h"
#include "fileio/fileresult.h"

namespace Talvek {

constexpr int32_t kDefaultIdleLimitMs = 60000;
constexpr int32_t kDefaultExchangeTimeMs = 60000;

// The connection data the wizard and the operations share. Key names and
// the interface name are Windows-1251 bytes; paths are file-system paths.
struct CryptoServerParams {
    std::string address;                 // host name, dotted IPv4 or IPv6 address
    int32_t port = 0;                    // its low 16 bits are used
    std::string serverKeyName;           // remote name of the administrator's channel
    std::string adminKeyName;            // local name of that channel
    std::string adminKeyBase;            // the administrator's key base (private keys)
    std::vector<uint8_t> interfaceList;  // decoded, as listInterfaces left it
    int32_t operation = 0;               // ServerCode::FetchKeyBase or UploadKeyBase
    std::string interfaceName;           // the chosen interface
    std::string localFile;               // fetched into or uploaded from

    // The bounds of one exchange. It fails when no byte moves for
    // idleLimitMs, and when the whole of it (connect, request, reply) takes
    // longer than exchangeTimeMs plus a second per
    // kSlowestTransferBytesPerSecond of request payload and announced reply
    // data. A reply announcing more data than its kind may hold fails before
    // anything is allocated.
    int32_t idleLimitMs = kDefaultIdleLimitMs;
    int32_t exchangeTimeMs = kDefaultExchangeTimeMs;
    uint32_t listReplyMax = kListReplyMax;
    uint32_t fetchReplyMax = kFetchReplyMax;
    uint32_t uploadReplyMax = kUploadReplyMax;
    // Another thread sets it to non-zero to abandon the exchange: the
    // operation then fails within a wait slice and writes no file. Not owned.
    const std::atomic<int32_t>* stop = nullptr;
};

struct ServerRequest {
    uint8_t code = 0;
    uint32_t word = 0;  // always 1 when sent
    char name[kNameFieldSize] = {};
    std::vector<uint8_t> payload;

    // Zero-fills the name field and copies the key name in (at most 255
    // bytes, so the field keeps its terminating zero).
    void setName(const std::string& keyName);
};

struct ServerReply {
    uint32_t word = 0;
    uint32_t status = 0;
    std::vector<uint8_t> data;
};

// The most reply data a request of this code may bring (other codes: the
// smallest cap).
uint32_t replyCap(const CryptoServerParams& params, uint8_t code);

// Where an exchange stopped.
enum class ExchangeFault : uint8_t {
    None,
    Connect,           // no connection (socketCode)
    Send,              // the request did not go out whole (socketCode)
    Receive,           // the reply did not come whole or within bounds (socketCode)
    ServerRefused,     // the server answered a non-zero status
    ListUndecodable,   // the list reply does not open
    FetchEmpty,        // the fetch reply holds no data
    FetchUndecodable,  // the fetch reply does not open
    FetchNotWritten,   // the fetched base cannot be written
    UploadNotOpened,   // the local file cannot be read
    UploadNotSealed,   // the local file cannot be sealed for the server
    RequestNotSealed,  // a list or fetch request cannot be sealed
    UploadReplyUndecodable,  // the upload's acknowledgement does not open as this one's
};

// The outcome of one exchange.
struct ExchangeResult {
    uint8_t code = 0;  // the request's code
    ExchangeFault fault = ExchangeFault::None;
    int32_t socketCode = 0;  // Connect, Send, Receive: the Windows Sockets code
    uint32_t status = 0;     // ServerRefused: the server's status
    // FetchNotWritten, UploadNotOpened: the local file and why it failed;
    // fault None when no file is to blame.
    FileFailure fileFailure;
    // A successful upload: the name the server says it stored the base as,
    // as it came (its code page, maybe a terminating zero).
    std::vector<uint8_t> storedName;

    bool ok() const { return fault == ExchangeFault::None; }
    explicit operator bool() const { return ok(); }
};

ExchangeResult exchange(const CryptoServerParams& params, const ServerRequest& request,
                        ServerReply& reply);
// Request 100: params.interfaceList holds the decoded list on success.
ExchangeResult listInterfaces(CryptoServerParams& params);
// Request 101 into params.localFile, written (owner-only, atomically) only
// when everything before succeeded.
ExchangeResult fetchKeyBase(const CryptoServerParams& params);
// Request 102 with params.localFile; the local file is never changed.
ExchangeResult uploadKeyBase(const CryptoServerParams& params);

}  // namespace Talvek

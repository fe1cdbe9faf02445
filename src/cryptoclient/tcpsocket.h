#pragma once
// A small blocking TCP socket with bounded waits and Windows Sockets error
// codes.
//
// Every failure returns -1 and leaves a Windows Sockets code both in the
// object (lastError) and in the calling thread's "current socket error"
// (currentSocketError), which is what the crypto-server messages quote. POSIX
// errno values are translated to those codes, so a refused connection reads
// "Connection refused" on every platform.
//
// The int results (0 or -1, a count or -1) are the socket layer's fixed
// interface; the program turns each into a bool where it calls it. Only
// socketStartup/socketCleanup are kept for that interface alone: nothing in
// the program calls them.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "fileio/uniquefd.h"

struct sockaddr;

namespace Talvek {

// The Windows Sockets codes the layer produces itself.
namespace SocketCode {
constexpr int32_t NoError = 0;
constexpr int32_t Interrupted = 10004;
constexpr int32_t WouldBlock = 10035;
constexpr int32_t NotSocket = 10038;
constexpr int32_t MessageTooLong = 10040;
constexpr int32_t ConnectionReset = 10054;
constexpr int32_t TimedOut = 10060;
constexpr int32_t ConnectionRefused = 10061;
constexpr int32_t HostNotFound = 11001;
}  // namespace SocketCode

constexpr int kSocketError = -1;

// Sockets need no start-up on POSIX; the pair exists so that a Windows build
// has one place to call WSAStartup/WSACleanup. Both are harmless to repeat.
// Interface only: unused by the program.
int socketStartup();
void socketCleanup();

// The English text of a Windows Sockets code; "Unknown error." for others.
const char* socketErrorText(int32_t code);

// The calling thread's last socket error, as WSAGetLastError would give it.
int32_t currentSocketError();
void setCurrentSocketError(int32_t code);
// The Windows Sockets code for an errno value (0 stays 0).
int32_t socketCodeFromErrno(int err);

class TcpSocket {
public:
    TcpSocket() = default;
    virtual ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Opens an IPv4 TCP socket with keep-alive on; an open socket is left as
    // it is. 0 or -1.
    int create();
    bool isOpen() const { return fd_.valid(); }

    // A dotted IPv4 or IPv6 address connects as it is, without any look-up;
    // anything else is resolved as a name (also names that begin with a
    // digit). Each address of a name is tried in turn; the socket follows the
    // address family. A host that does not resolve returns -1 with current
    // error 11001 and the stored error unchanged. 0 or -1.
    virtual int connect(const std::string& host, uint16_t port);
    virtual int close();
    // Ends the sending direction (the peer reads the end of the stream)
    // while receiving goes on. 0 or -1.
    int shutdownSend();
    // Receives exactly length bytes, waiting in slices of timeoutMs. Returns
    // length, 0 when the stop flag (this one, else the socket's) was set
    // before a wait (stored error 10004), or -1 (the peer closed, an error,
    // or no byte for longer than the idle limit).
    virtual int receiveAll(void* buffer, int32_t length, const std::atomic<int32_t>* stop,
                           int32_t timeoutMs);
    // Waits up to timeoutMs and takes what has arrived, at most length bytes:
    // the count, 0 when nothing came, -1 on failure or when the peer closed
    // (stored error 10054 when the system reports none).
    virtual int receive(void* buffer, int32_t length, int32_t timeoutMs);
    // Sends all length bytes; a full send buffer is waited for in slices of
    // timeoutMs. Returns length or -1. A closed peer never raises SIGPIPE.
    virtual int send(const void* buffer, int32_t length, int32_t timeoutMs);

    int32_t lastError() const { return lastError_; }
    // Bounds connect, receiveAll and send: after this many milliseconds
    // without a byte moving they fail with 10060. 0 (the default) waits as
    // long as the connection stays open.
    void setIdleLimit(int32_t ms) { idleLimitMs_ = ms; }
    int32_t idleLimit() const { return idleLimitMs_; }
    // Another thread sets *stop to non-zero to abandon what this socket is
    // waiting for: connect and send then fail with 10004 within one wait
    // slice, receiveAll returns 0. The flag must outlive the socket's use.
    void setStopFlag(const std::atomic<int32_t>* stop) { stop_ = stop; }
    bool stopRequested() const { return stop_ && stop_->load() != 0; }
    // Bounds them all together: past this moment each fails with 10060,
    // however steadily bytes were moving. Unset by default.
    using Clock = std::chrono::steady_clock;
    void setDeadline(Clock::time_point deadline) { deadline_ = deadline; }
    void clearDeadline() { deadline_ = Clock::time_point::max(); }
    Clock::time_point deadline() const { return deadline_; }

    // The peer's numeric address; 0 or -1.
    int peerAddress(std::string& address);
    // One wait for readability: 1 readable, 0 time-out, -1 failure.
    int waitReadable(int32_t timeoutMs);

    // The server half, used by the test crypto server: bind (empty host: the
    // first address of the local host name; port 0: any free port) with
    // address reuse, listen, and accept into a new socket with keep-alive.
    int bind(const std::string& host, uint16_t port);
    int listen(int backlog);
    std::unique_ptr<TcpSocket> accept();
    // The bound local port, 0 when unknown.
    uint16_t localPort() const;

private:
    int fail(int32_t code);
    int failWithErrno();
    // Opens a socket of the given family in place of the current one.
    bool reopen(int family);
    int connectOne(const ::sockaddr* address, unsigned length);

    UniqueFd fd_;
    int family_ = 0;
    int32_t lastError_ = 0;
    int32_t idleLimitMs_ = 0;
    const std::atomic<int32_t>* stop_ = nullptr;
    Clock::time_point deadline_ = Clock::time_point::max();
};

}  // namespace Talvek

#include "cryptoclient/tcpsocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Talvek {

namespace {

thread_local int32_t currentError = 0;

struct CodeText {
    int32_t code;
    const char* text;
};

// Searched from the start, so the first entry of a code wins.
constexpr CodeText kErrorTexts[] = {
    {0, "No error"},
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open sockets"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Net connection reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Winsock version not supported"},
    {10093, "Winsock not yet initialized"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable errors"},
    {11004, "Valid name, no data record of requested type"},
    {10101, "Graceful disconnect in progress"},
    {10107, "System call failure"},
    {8, "Insufficient memory available"},
    {995, "Overlapped operation aborted"},
    {996, "Overlapped I/O object not signalled"},
    {997, "Overlapped I/O will complete later"},
    {87, "One or more parameters are invalid"},
    {6, "Event object handle not valid"},
};
static_assert(sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) == 59);

struct ErrnoCode {
    int err;
    int32_t code;
};

// EWOULDBLOCK, EOPNOTSUPP and friends may share values with their
// neighbours; a table (rather than a switch) tolerates that.
const ErrnoCode kErrnoCodes[] = {
    {EINTR, 10004},           {EBADF, 10038},        {EACCES, 10013},
    {EPERM, 10013},           {EFAULT, 10014},       {EINVAL, 10022},
    {EMFILE, 10024},          {ENFILE, 10024},       {EAGAIN, 10035},
    {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},  {EALREADY, 10037},
    {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},        {ENETUNREACH, 10051},  {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {EPIPE, 10054},
    {ENOBUFS, 10055},         {EISCONN, 10056},      {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},    {ELOOP, 10062},        {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
    {EUSERS, 10068},          {EDQUOT, 10069},       {ESTALE, 10070},
    {EREMOTE, 10071},         {ENOMEM, 8},
};

int32_t resolverCode(int rc) {
    switch (rc) {
        case EAI_AGAIN:
            return 11002;
        case EAI_FAIL:
            return 11003;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return 11004;
#endif
        case EAI_MEMORY:
            return 8;
        case EAI_SYSTEM:
            return socketCodeFromErrno(errno);
        default:
            return SocketCode::HostNotFound;
    }
}

using Clock = std::chrono::steady_clock;

// The longest wait between two looks at the stop flag.
constexpr int kStopSliceMs = 200;

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Milliseconds left until the deadline, capped to fit a poll time-out; 0
// when it has passed.
int msUntil(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return INT32_MAX;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

void switchKeepAlive(int fd) {
    const int32_t on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

// A numeric IPv4 or IPv6 address (IPv6 also in brackets), without asking
// any resolver.
bool parseNumeric(const std::string& host, uint16_t port, sockaddr_storage& out,
                  socklen_t& length) {
    std::memset(&out, 0, sizeof out);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof(sockaddr_in);
        return true;
    }
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (inet_pton(AF_INET6, bare.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

struct AddrInfoFree {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoFree>;

// Resolves host (numeric or name) to a list; 0 or a Windows Sockets code.
int32_t resolve(const std::string& host, uint16_t port, int flags, AddrInfoPtr& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    const std::string service = std::to_string(port);
    addrinfo* list = nullptr;
    const int rc =
        getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &list);
    out.reset(list);
    if (rc != 0) return resolverCode(rc);
    if (!list) return SocketCode::HostNotFound;
    return 0;
}

}  // namespace

int socketStartup() {
    return 0;
}

void socketCleanup() {}

const char* socketErrorText(int32_t code) {
    for (const CodeText& entry : kErrorTexts) {
        if (entry.code == code) return entry.text;
    }
    return "Unknown error.";
}

int32_t currentSocketError() {
    return currentError;
}

void setCurrentSocketError(int32_t code) {
    currentError = code;
}

int32_t socketCodeFromErrno(int err) {
    if (err == 0) return 0;
    for (const ErrnoCode& entry : kErrnoCodes) {
        if (entry.err == err) return entry.code;
    }
    return 10107;  // "System call failure": something the table has no word for
}

TcpSocket::~TcpSocket() {
    if (isOpen()) close();
}

int TcpSocket::fail(int32_t code) {
    lastError_ = code;
    currentError = code;
    return kSocketError;
}

int TcpSocket::failWithErrno() {
    return fail(socketCodeFromErrno(errno));
}

int TcpSocket::create() {
    if (isOpen()) return 0;
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd) return failWithErrno();
    switchKeepAlive(fd.get());
    fd_ = std::move(fd);
    family_ = AF_INET;
    return 0;
}

bool TcpSocket::reopen(int family) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd) {
        failWithErrno();
        return false;
    }
    switchKeepAlive(fd.get());
    fd_ = std::move(fd);
    family_ = family;
    return true;
}

int TcpSocket::connectOne(const sockaddr* address, unsigned length) {
    if (address->sa_family != family_ && !reopen(address->sa_family)) return kSocketError;
    // The connect runs non-blocking so that the idle limit can bound it; the
    // socket is blocking again afterwards either way.
    const int flags = fcntl(fd_.get(), F_GETFL);
    fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd_.get(), address, length);
    int err = rc == 0 ? 0 : errno;
    if (rc != 0 && (err == EINPROGRESS || err == EINTR)) {
        const auto start = Clock::now();
        for (;;) {
            if (stopRequested()) {
                err = EINTR;
                break;
            }
            pollfd p{fd_.get(), POLLOUT, 0};
            // Waits in slices, so that a stop request is seen soon.
            int wait = kStopSliceMs;
            if (idleLimitMs_ > 0 || deadline_ != Clock::time_point::max()) {
                int64_t left = msUntil(deadline_);
                if (idleLimitMs_ > 0) left = std::min<int64_t>(left, idleLimitMs_ - msSince(start));
                if (left <= 0) {
                    err = ETIMEDOUT;
                    break;
                }
                wait = static_cast<int>(std::min<int64_t>(left, wait));
            }
            const int ready = ::poll(&p, 1, wait);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) {
                err = errno;
                break;
            }
            if (ready == 0) continue;
            socklen_t len = sizeof err;
            if (getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            break;
        }
    }
    fcntl(fd_.get(), F_SETFL, flags);
    if (err != 0) return fail(socketCodeFromErrno(err));
    lastError_ = 0;
    return 0;
}

int TcpSocket::connect(const std::string& host, uint16_t port) {
    if (!isOpen()) return fail(SocketCode::NotSocket);
    sockaddr_storage numeric;
    socklen_t numericLength = 0;
    if (parseNumeric(host, port, numeric, numericLength))
        return connectOne(reinterpret_cast<sockaddr*>(&numeric), numericLength);

    AddrInfoPtr list;
    const int32_t code = resolve(host, port, AI_ADDRCONFIG, list);
    if (host.empty() || code != 0) {
        // The stored error stays as it was; the thread's error tells why.
        currentError = code != 0 ? code : SocketCode::HostNotFound;
        return kSocketError;
    }
    int rc = kSocketError;
    bool tried = false;
    for (addrinfo* a = list.get(); a; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
        // A socket whose attempt timed out is still connecting: the next
        // address gets a fresh one, or its connect would only say EALREADY.
        if (tried && !reopen(a->ai_family)) return kSocketError;
        tried = true;
        rc = connectOne(a->ai_addr, a->ai_addrlen);
        if (rc == 0) break;
    }
    return rc;
}

int TcpSocket::close() {
    if (!isOpen()) return fail(SocketCode::NotSocket);
    const int rc = fd_.close();
    family_ = 0;
    if (rc != 0) return failWithErrno();
    return 0;
}

int TcpSocket::shutdownSend() {
    if (!isOpen()) return fail(SocketCode::NotSocket);
    if (::shutdown(fd_.get(), SHUT_WR) != 0) return failWithErrno();
    return 0;
}

int TcpSocket::receive(void* buffer, int32_t length, int32_t timeoutMs) {
    if (!isOpen()) return fail(SocketCode::NotSocket);
    // Nothing asked for: a recv of 0 bytes would read as a closed peer.
    if (length <= 0) return 0;
    pollfd p{fd_.get(), POLLIN, 0};
    int result = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (result < 0) {
        // A signal only cut the wait short: nothing arrived in this slice.
        if (errno == EINTR) return 0;
        return failWithErrno();
    }
    if (result == 0) return 0;
    const ssize_t got = ::recv(fd_.get(), buffer, static_cast<size_t>(length), 0);
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    // A peer that closed reports no error of its own: call it a reset, so
    // the caller's message says what happened.
    const int32_t code = got < 0 ? socketCodeFromErrno(errno) : 0;
    return fail(code != 0 ? code : SocketCode::ConnectionReset);
}

int TcpSocket::receiveAll(void* buffer, int32_t length, const std::atomic<int32_t>* stop,
                          int32_t timeoutMs) {
    if (!isOpen()) return fail(SocketCode::NotSocket);
    auto* bytes = static_cast<uint8_t*>(buffer);
    int32_t received = 0;
    auto lastProgress = Clock::now();
    if (!stop) stop = stop_;
    while (received < length) {
        if (stop && stop->load() != 0) {
            lastError_ = SocketCode::Interrupted;
            currentError = SocketCode::Interrupted;
            return 0;
        }
        const int left = msUntil(deadline_);
        if (left == 0) return fail(SocketCode::TimedOut);
        const int got = receive(bytes + received, length - received, std::min(timeoutMs, left));
        if (got < 0) return kSocketError;
        if (got > 0) {
            received += got;
            lastProgress = Clock::now();
        } else if (idleLimitMs_ > 0 && msSince(lastProgress) >= idleLimitMs_) {
            return fail(SocketCode::TimedOut);
        }
    }
    return length;
}

int TcpSocket::send(const void* buffer, int32_t length, int32_t timeoutMs) {
    if (!isOpen()) return fail(SocketCode::NotSocket);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    int32_t sent = 0;
    auto lastProgress = Clock::now();
    while (sent < length) {
        if (stopRequested()) return fail(SocketCode::Interrupted);
        // Never blocks inside send(): a full buffer is waited for below, in
        // slices, so that the idle limit holds also against a peer that reads
        // nothing. MSG_NOSIGNAL: a closed peer is an error, not a signal.
        const ssize_t n = ::send(fd_.get(), bytes + sent, static_cast<size_t>(length - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += static_cast<int32_t>(n);
            if (n > 0) lastProgress = Clock::now();
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return failWithErrno();
        lastError_ = SocketCode::WouldBlock;
        const int left = msUntil(deadline_);
        if (left == 0 || (idleLimitMs_ > 0 && msSince(lastProgress) >= idleLimitMs_))
            return fail(SocketCode::TimedOut);
        pollfd p{fd_.get(), POLLOUT, 0};
        const int slice = std::min(stop_ ? std::min(timeoutMs, kStopSliceMs) : timeoutMs, left);
        if (::poll(&p, 1, slice < 0 ? 0 : slice) < 0 && errno != EINTR) return failWithErrno();
    }
    return sent;
}

int TcpSocket::peerAddress(std::string& address) {
    address.clear();
    if (!isOpen()) return fail(SocketCode::NotSocket);
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd_.get(), reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return failWithErrno();
    char text[INET6_ADDRSTRLEN] = {};
    const void* where =
        peer.ss_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr)
            : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&peer)->sin_addr);
    if (inet_ntop(peer.ss_family, where, text, sizeof text)) address = text;
    return 0;
}

int TcpSocket::waitReadable(int32_t timeoutMs) {
    if (!isOpen()) return fail(SocketCode::NotSocket);
    pollfd p{fd_.get(), POLLIN, 0};
    const int rc = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (rc < 0) {
        if (errno == EINTR) return 0;
        return failWithErrno();
    }
    return rc > 0 ? 1 : 0;
}

int TcpSocket::bind(const std::string& host, uint16_t port) {
    if (!isOpen()) return fail(SocketCode::NotSocket);
    std::string name = host;
    if (name.empty()) {
        char local[256] = {};
        if (gethostname(local, sizeof local - 1) != 0) return failWithErrno();
        name = local;
    }
    sockaddr_storage numeric;
    socklen_t numericLength = 0;
    AddrInfoPtr list;
    const sockaddr* address = nullptr;
    socklen_t length = 0;
    if (parseNumeric(name, port, numeric, numericLength)) {
        address = reinterpret_cast<sockaddr*>(&numeric);
        length = numericLength;
    } else {
        const int32_t code = resolve(name, port, AI_PASSIVE, list);
        if (code != 0) return fail(code);
        address = list->ai_addr;
        length = list->ai_addrlen;
    }
    if (address->sa_family != family_ && !reopen(address->sa_family)) return kSocketError;
    const int on = 1;
    setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd_.get(), address, length) != 0) return failWithErrno();
    return 0;
}

int TcpSocket::listen(int backlog) {
    if (!isOpen()) return fail(SocketCode::NotSocket);
    if (::listen(fd_.get(), backlog) != 0) return failWithErrno();
    return 0;
}

std::unique_ptr<TcpSocket> TcpSocket::accept() {
    if (!isOpen()) {
        fail(SocketCode::NotSocket);
        return nullptr;
    }
    UniqueFd fd;
    do {
        fd.reset(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    } while (!fd && errno == EINTR);
    if (!fd) {
        failWithErrno();
        return nullptr;
    }
    switchKeepAlive(fd.get());
    auto accepted = std::make_unique<TcpSocket>();
    accepted->fd_ = std::move(fd);
    accepted->family_ = family_;
    return accepted;
}

uint16_t TcpSocket::localPort() const {
    if (!isOpen()) return 0;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    if (local.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

}  // namespace Talvek
